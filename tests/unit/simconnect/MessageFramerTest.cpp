#include "simconnect/MessageFramer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "simconnect/WireFormat.h"

namespace navorel::simconnect {
namespace {

using Bytes = std::vector<std::byte>;
constexpr std::uint32_t kMax = 41088;

// A message of `size` bytes; a size no framer may accept gets only a header.
Bytes message(std::uint32_t size, std::uint8_t fill = 0xAB) {
    Bytes bytes(std::clamp<std::uint32_t>(size, 4, 4 * 1024 * 1024), std::byte{fill});
    wire::writeU32(bytes.data(), size);
    return bytes;
}

Bytes join(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Outcome {
    std::vector<Bytes> messages;
    CloseReason reason = CloseReason::NONE;
};

// Feeds `stream` in reads of at most `chunk(free space)` bytes, as a socket would.
template <typename Chunk>
Outcome feed(MessageFramer& framer, const Bytes& stream, Chunk chunk) {
    Outcome out;
    for (std::size_t at = 0; at < stream.size() && out.reason == CloseReason::NONE;) {
        const auto space = framer.freeSpace();
        const std::size_t n = std::min({chunk(space.size()), space.size(), stream.size() - at});
        std::memcpy(space.data(), stream.data() + at, n);
        at += n;
        out.reason = framer.commit(n, [&](std::span<const std::byte> m) {
            out.messages.emplace_back(m.begin(), m.end());
            return true;
        });
    }
    return out;
}

Outcome feedAll(MessageFramer& framer, const Bytes& stream) {
    return feed(framer, stream, [](std::size_t space) { return space; });
}

TEST(MessageFramerTest, MessagesSplitAtEveryByteBoundaryComeOutWhole) {
    const std::vector<Bytes> sample{message(12, 1), message(20, 2), message(16, 3)};
    const Bytes stream = join(sample);
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        MessageFramer framer(kMax);
        bool first = true;
        const Outcome out = feed(framer, stream, [&](std::size_t space) {
            const std::size_t n = first ? split : space;
            first = false;
            return n;
        });
        EXPECT_EQ(out.messages, sample) << "split at " << split;
        EXPECT_EQ(out.reason, CloseReason::NONE);
    }
    MessageFramer bytewise(kMax);
    EXPECT_EQ(feed(bytewise, stream, [](std::size_t) { return std::size_t{1}; }).messages, sample);
}

TEST(MessageFramerTest, SizeChecks) {
    struct Case {
        std::uint32_t size;
        CloseReason reason;
        std::size_t delivered;
    };
    const Case cases[] = {
        {0, CloseReason::MESSAGE_TOO_SMALL, 1},        {3, CloseReason::MESSAGE_TOO_SMALL, 1},
        {4, CloseReason::NONE, 3},                     {kMax, CloseReason::NONE, 3},
        {kMax + 1, CloseReason::MESSAGE_TOO_LARGE, 1}, {0xFFFFFFFF, CloseReason::MESSAGE_TOO_LARGE, 1},
    };
    for (const Case& c : cases) {
        MessageFramer framer(kMax);
        // A good message before and after: what precedes a bad size is delivered, nothing after it.
        const Outcome out = feedAll(framer, join({message(12), message(c.size), message(12)}));
        EXPECT_EQ(out.reason, c.reason) << "size " << c.size;
        EXPECT_EQ(out.messages.size(), c.delivered) << "size " << c.size;
        // Once failed, the framer stays failed.
        if (c.reason != CloseReason::NONE) {
            EXPECT_EQ(framer.commit(0, [](auto) { return true; }), c.reason);
        }
    }
}

TEST(MessageFramerTest, CompactsBeforeItGrows) {
    MessageFramer framer(kMax);
    ASSERT_EQ(framer.capacity(), 2048u);
    // 12 bytes delivered and the start of a 3000-byte message fill the buffer:
    // moving the partial message to the front gains room, so no growth.
    Bytes partial = message(3000);
    partial.resize(2036);
    Outcome out = feedAll(framer, join({message(12), partial}));
    EXPECT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(framer.capacity(), 2048u);
    EXPECT_EQ(framer.pending(), 2036u);
    // Full again with the partial message at the front: now it grows by 2048.
    out = feedAll(framer, Bytes(12, std::byte{0xAB}));
    EXPECT_EQ(framer.capacity(), 4096u);
    out = feedAll(framer, Bytes(3000 - 2048, std::byte{0xAB}));
    ASSERT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(out.messages[0], message(3000));
    EXPECT_EQ(framer.pending(), 0u);
}

TEST(MessageFramerTest, TheBufferCeilingRefusesAMessageInsteadOfStalling) {
    const std::uint32_t raisedLimit = 4 * 1024 * 1024;  // a configuration file may ask for more than fits
    MessageFramer largest(raisedLimit);
    const Outcome fits = feedAll(largest, message(1024 * 1024 - 1));
    EXPECT_EQ(fits.reason, CloseReason::NONE);
    ASSERT_EQ(fits.messages.size(), 1u);
    EXPECT_LE(largest.capacity(), MessageFramer::kCapacityCeiling);

    MessageFramer framer(raisedLimit);
    EXPECT_EQ(feedAll(framer, message(1024 * 1024)).reason, CloseReason::MESSAGE_TOO_LARGE);
}

TEST(MessageFramerTest, ARefusedMessageStopsTheFraming) {
    MessageFramer framer(kMax);
    int taken = 0;
    const Bytes stream = join({message(12), message(12), message(12)});
    std::memcpy(framer.freeSpace().data(), stream.data(), stream.size());
    EXPECT_EQ(framer.commit(stream.size(), [&](auto) { return ++taken < 2; }), CloseReason::OUT_OF_MEMORY);
    EXPECT_EQ(taken, 2);
}

// The plain way: everything in one vector, messages cut from its front.
Outcome referenceFraming(const Bytes& stream, std::uint32_t max) {
    Outcome out;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        const std::uint32_t size = wire::readU32(stream.data() + at);
        if (size < 4) return out.reason = CloseReason::MESSAGE_TOO_SMALL, out;
        if (size > max || size >= MessageFramer::kCapacityCeiling) return out.reason = CloseReason::MESSAGE_TOO_LARGE, out;
        if (stream.size() - at < size) break;
        out.messages.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                  stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    return out;
}

TEST(MessageFramerTest, RandomStreamsSplitAtRandomMatchTheReference) {
    std::mt19937 random(20240607);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int round = 0; round < 3000 && std::chrono::steady_clock::now() < deadline; ++round) {
        const std::uint32_t max = round % 2 ? kMax : 100000;
        std::vector<Bytes> parts;
        const int count = std::uniform_int_distribution<int>(1, 30)(random);
        for (int i = 0; i < count; ++i) {
            const int kind = std::uniform_int_distribution<int>(0, 99)(random);
            std::uint32_t size = std::uniform_int_distribution<std::uint32_t>(12, 300)(random);
            if (kind < 10) size = std::uniform_int_distribution<std::uint32_t>(300, max)(random);
            if (kind == 98) size = std::uniform_int_distribution<std::uint32_t>(0, 3)(random);
            if (kind == 99) size = max + std::uniform_int_distribution<std::uint32_t>(1, 1000)(random);
            parts.push_back(message(size, static_cast<std::uint8_t>(i)));
        }
        Bytes stream = join(parts);
        stream.resize(stream.size() - std::uniform_int_distribution<std::size_t>(0, 3)(random));  // a cut tail

        MessageFramer framer(max);
        const Outcome out = feed(framer, stream, [&](std::size_t space) {
            return std::uniform_int_distribution<std::size_t>(1, space)(random);
        });
        const Outcome expected = referenceFraming(stream, max);
        ASSERT_EQ(out.reason, expected.reason) << "round " << round;
        ASSERT_EQ(out.messages, expected.messages) << "round " << round;
    }
}

}  // namespace
}  // namespace navorel::simconnect
