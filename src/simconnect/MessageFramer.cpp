#include "simconnect/MessageFramer.h"

#include <algorithm>
#include <cstring>

#include "simconnect/WireFormat.h"

namespace navorel::simconnect {

MessageFramer::MessageFramer(std::uint32_t maxReceiveSize)
    : buffer_(kInitialCapacity), maxReceiveSize_(maxReceiveSize) {}

CloseReason MessageFramer::commit(std::size_t count, const Deliver& deliver) {
    if (failed_ != CloseReason::NONE) return failed_;
    end_ += std::min(count, buffer_.size() - end_);

    while (end_ - begin_ >= 4) {
        const std::uint32_t size = wire::readU32(buffer_.data() + begin_);
        if (size < 4) return failed_ = CloseReason::MESSAGE_TOO_SMALL;
        // Checked as soon as the size is known: a message that can never fit
        // must not wait for a buffer that will never hold it.
        if (size > maxReceiveSize_ || size >= kCapacityCeiling) return failed_ = CloseReason::MESSAGE_TOO_LARGE;
        if (end_ - begin_ < size) break;
        if (!deliver({buffer_.data() + begin_, size})) return failed_ = CloseReason::OUT_OF_MEMORY;
        begin_ += size;
    }

    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (end_ == buffer_.size()) {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        } else {
            // Full with one incomplete message, which the size check keeps
            // below the ceiling, so the growth always makes room.
            buffer_.resize(buffer_.size() + kGrowthStep);
        }
    }
    return CloseReason::NONE;
}

}  // namespace navorel::simconnect
