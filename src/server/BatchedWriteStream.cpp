#include "server/BatchedWriteStream.h"

#include <array>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

namespace navorel::server_detail {

namespace net = boost::asio;
using ErrorCode = BatchedWriteStream::ErrorCode;

struct BatchedWriteStream::State {
    boost::beast::tcp_stream* stream = nullptr;  // null once the layer is gone
    std::string pending;                         // collected, not yet handed to the socket
    std::string sending;                         // held by the send in progress
    bool sendInProgress = false;
    bool checkPosted = false;
    ErrorCode error;
    FlushHandler flushWaiter;
};

void BatchedWriteStream::FinishFlush(State& state, ErrorCode ec) {
    if (!state.flushWaiter) return;
    // Swapped, never move-assigned: this Asio's move assignment recurses.
    FlushHandler waiter;
    waiter.swap(state.flushWaiter);
    std::move(waiter)(ec);
}

void BatchedWriteStream::OnSent(const std::shared_ptr<State>& state, ErrorCode ec) {
    state->sendInProgress = false;
    state->sending.clear();
    // A burst may have grown the buffer; do not keep that much for every client.
    if (state->sending.capacity() > 2 * kBatchBytes) state->sending.shrink_to_fit();
    if (!ec && state->stream == nullptr) ec = net::error::operation_aborted;
    if (ec) {
        if (!state->error) state->error = ec;
        state->pending.clear();
        FinishFlush(*state, state->error);
        return;
    }
    if (!state->pending.empty()) {
        StartSend(state);
        return;
    }
    FinishFlush(*state, {});
}

void BatchedWriteStream::StartSend(const std::shared_ptr<State>& state) {
    state->sending.swap(state->pending);
    state->sendInProgress = true;
    net::async_write(*state->stream, net::buffer(state->sending),
                     [state](ErrorCode ec, std::size_t) { OnSent(state, ec); });
}

// Sends after the current handler: whatever else it writes joins this send.
void BatchedWriteStream::PostCheck(const std::shared_ptr<State>& state) {
    state->checkPosted = true;
    net::post(state->stream->get_executor(), [state] {
        state->checkPosted = false;
        if (state->stream == nullptr || state->sendInProgress || state->pending.empty() || state->error) return;
        StartSend(state);
    });
}

BatchedWriteStream::BatchedWriteStream(boost::beast::tcp_stream&& next)
    : next_(std::move(next)), state_(std::make_shared<State>()) {
    state_->stream = &next_;
}

BatchedWriteStream::~BatchedWriteStream() { state_->stream = nullptr; }

std::size_t BatchedWriteStream::unsentBytes() const { return state_->pending.size() + state_->sending.size(); }

std::size_t BatchedWriteStream::waitingBytes() const { return state_->pending.size(); }

std::size_t BatchedWriteStream::blockedBytes() const { return state_->sendInProgress ? state_->pending.size() : 0; }

ErrorCode BatchedWriteStream::Admit(std::size_t bytes) {
    if (state_->error) return state_->error;
    if (bytes > kMaxUnsentBytes || unsentBytes() > kMaxUnsentBytes - bytes) {
        state_->error = net::error::no_buffer_space;
        return state_->error;
    }
    return {};
}

void BatchedWriteStream::Append(const char* data, std::size_t size) { state_->pending.append(data, size); }

std::size_t BatchedWriteStream::PendingSize() const { return state_->pending.size(); }

// A server's close frame: 0x88, an unmasked length below 126, the code.
void BatchedWriteStream::ReplaceCloseCode(std::size_t frameStart) {
    std::string& bytes = state_->pending;
    if (bytes.size() < frameStart + 4 || static_cast<unsigned char>(bytes[frameStart]) != 0x88) return;
    bytes[frameStart + 2] = static_cast<char>(replacementCloseCode_ >> 8);
    bytes[frameStart + 3] = static_cast<char>(replacementCloseCode_ & 0xFF);
    replacementCloseCode_ = 0;
}

void BatchedWriteStream::Collected() {
    if (state_->sendInProgress) return;
    if (state_->pending.size() >= kBatchBytes) {
        StartSend(state_);
    } else if (!state_->checkPosted) {
        PostCheck(state_);
    }
}

ErrorCode BatchedWriteStream::Write(std::string_view header, std::string_view payload) {
    const std::array<net::const_buffer, 2> buffers{net::buffer(header), net::buffer(payload)};
    std::size_t size = 0;
    return Collect(buffers, size);
}

void BatchedWriteStream::Flush(FlushHandler handler) {
    const auto complete = [this](FlushHandler h, ErrorCode ec) {
        net::post(get_executor(), [h = std::move(h), ec]() mutable { std::move(h)(ec); });
    };
    if (state_->error) return complete(std::move(handler), state_->error);
    if (!state_->sendInProgress && state_->pending.empty()) return complete(std::move(handler), {});
    if (state_->flushWaiter) return complete(std::move(handler), net::error::in_progress);
    state_->flushWaiter.swap(handler);
    if (!state_->sendInProgress) StartSend(state_);
}

}  // namespace navorel::server_detail
