#include "simconnect/MessageFramer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <tuple>
#include <utility>
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

// Feeds `stream` in reads of at most `chunk(free space)` bytes (all of the space by default), as a socket would.
Outcome feed(MessageFramer& framer, const Bytes& stream, const std::function<std::size_t(std::size_t)>& chunk = {}) {
    Outcome out;
    for (std::size_t at = 0; at < stream.size() && out.reason == CloseReason::NONE;) {
        const auto space = framer.freeSpace();
        const std::size_t n = std::min({chunk ? chunk(space.size()) : space.size(), space.size(), stream.size() - at});
        std::memcpy(space.data(), stream.data() + at, n);
        at += n;
        out.reason = framer.commit(n, [&](std::span<const std::byte> m) {
            out.messages.emplace_back(m.begin(), m.end());
            return true;
        });
    }
    return out;
}

TEST(MessageFramerTest, MessagesSplitAtEveryByteBoundaryComeOutWhole) {
    const std::vector<Bytes> sample{message(12, 1), message(20, 2), message(16, 3)};
    const Bytes stream = join(sample);
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        MessageFramer framer(kMax);
        bool first = true;
        const Outcome out =
            feed(framer, stream, [&](std::size_t space) { return std::exchange(first, false) ? split : space; });
        EXPECT_EQ(out.messages, sample) << "split at " << split;
        EXPECT_EQ(out.reason, CloseReason::NONE);
    }
    MessageFramer bytewise(kMax);
    EXPECT_EQ(feed(bytewise, stream, [](std::size_t) { return std::size_t{1}; }).messages, sample);
}

TEST(MessageFramerTest, SizeChecks) {
    const std::tuple<std::uint32_t, CloseReason, std::size_t> cases[] = {
        {3, CloseReason::MESSAGE_TOO_SMALL, 1}, {4, CloseReason::NONE, 3},
        {kMax, CloseReason::NONE, 3},            {kMax + 1, CloseReason::MESSAGE_TOO_LARGE, 1},
    };
    for (const auto& [size, reason, delivered] : cases) {
        MessageFramer framer(kMax);
        // What precedes a bad size is delivered, nothing after it.
        const Outcome out = feed(framer, join({message(12), message(size), message(12)}));
        EXPECT_EQ(out.reason, reason) << "size " << size;
        EXPECT_EQ(out.messages.size(), delivered) << "size " << size;
    }
}

TEST(MessageFramerTest, CompactsBeforeItGrows) {
    MessageFramer framer(kMax);
    ASSERT_EQ(framer.capacity(), 2048u);
    // 12 bytes delivered and the start of a 3000-byte message fill the buffer:
    // moving the partial message to the front gains room, so no growth.
    Bytes partial = message(3000);
    partial.resize(2036);
    EXPECT_EQ(feed(framer, join({message(12), partial})).messages.size(), 1u);
    EXPECT_EQ(std::tuple(framer.capacity(), framer.pending()), std::tuple(2048u, 2036u));
    // Full again with the partial message at the front: now it grows by 2048.
    feed(framer, Bytes(12, std::byte{0xAB}));
    EXPECT_EQ(framer.capacity(), 4096u);
    const Outcome out = feed(framer, Bytes(3000 - 2048, std::byte{0xAB}));
    EXPECT_EQ(out.messages, std::vector<Bytes>{message(3000)});
    EXPECT_EQ(framer.pending(), 0u);
}

TEST(MessageFramerTest, TheBufferCeilingRefusesAMessageInsteadOfStalling) {
    // A configuration file may ask for more than fits.
    MessageFramer largest(4 * 1024 * 1024), framer(4 * 1024 * 1024);
    const Outcome fits = feed(largest, message(1024 * 1024 - 1));
    EXPECT_EQ(std::tuple(fits.reason, fits.messages.size()), std::tuple(CloseReason::NONE, 1u));
    EXPECT_LE(largest.capacity(), MessageFramer::kCapacityCeiling);
    EXPECT_EQ(feed(framer, message(1024 * 1024)).reason, CloseReason::MESSAGE_TOO_LARGE);
}

TEST(MessageFramerTest, ARefusedMessageStopsTheFraming) {
    MessageFramer framer(kMax);
    int taken = 0;
    const Bytes stream = join({message(12), message(12), message(12)});
    std::memcpy(framer.freeSpace().data(), stream.data(), stream.size());
    EXPECT_EQ(framer.commit(stream.size(), [&](auto) { return ++taken < 2; }), CloseReason::OUT_OF_MEMORY);
    // Once failed, the framer stays failed and delivers nothing more.
    EXPECT_EQ(framer.commit(0, [&](auto) { return ++taken > 0; }), CloseReason::OUT_OF_MEMORY);
    EXPECT_EQ(taken, 2);
}

}  // namespace
}  // namespace navorel::simconnect
