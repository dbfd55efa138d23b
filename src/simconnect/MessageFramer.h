#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace navorel::simconnect {

// Why a connection closed; CloseReason::NONE while it is healthy.
enum class CloseReason : std::uint32_t {
    NONE = 0,
    MESSAGE_TOO_LARGE = 1,
    MESSAGE_TOO_SMALL = 2,
    OUT_OF_MEMORY = 3,
    PEER_CLOSED = 4,
    DISCONNECTED = 5,
    CANCELLED = 8,
    OTHER_ERROR = 9,
};

// Cuts a received byte stream into messages, each announced by the
// little-endian size in its first four bytes. Reads go straight into the
// framer's buffer: 2048 bytes at first, compacted when full, and grown by 2048
// bytes when compaction gains nothing. The buffer never reaches 1 MiB: a
// message that would need that much is refused like one above the
// connection's limit, so neither an overflow nor a stall can follow.
//
// Not thread-safe; a connection feeds its framer from its I/O thread only.
class MessageFramer {
public:
    static constexpr std::size_t kInitialCapacity = 2048;
    static constexpr std::size_t kGrowthStep = 2048;
    static constexpr std::size_t kCapacityCeiling = 1024 * 1024;

    // Takes one complete message; false refuses it, which stops the framing
    // with CloseReason::OUT_OF_MEMORY.
    using Deliver = std::function<bool(std::span<const std::byte> message)>;

    explicit MessageFramer(std::uint32_t maxReceiveSize);

    // Where the next read puts its bytes; never empty.
    std::span<std::byte> freeSpace() { return {buffer_.data() + end_, buffer_.size() - end_}; }

    // Takes `count` bytes that a read put at the start of freeSpace() and
    // delivers every message they complete, in order. Returns the reason to
    // close the connection; once failed, the framer stays failed. A throwing
    // deliver (or growth) leaves the framer consistent.
    CloseReason commit(std::size_t count, const Deliver& deliver);

    std::size_t capacity() const { return buffer_.size(); }
    // Received bytes not yet delivered.
    std::size_t pending() const { return end_ - begin_; }

private:
    std::vector<std::byte> buffer_;
    std::size_t begin_ = 0;  // start of the first undelivered message
    std::size_t end_ = 0;    // end of the received bytes
    std::uint32_t maxReceiveSize_;
    CloseReason failed_ = CloseReason::NONE;
};

}  // namespace navorel::simconnect
