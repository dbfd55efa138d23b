#pragma once

// Internal to the server.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace navorel::server_detail {

// The byte stream under a WebSocket connection. Bytes written to it are
// collected and handed to the socket together, so a burst of frames costs one
// send instead of one per frame (on a loopback connection each send also
// wakes the reader once).
//
// A write completes as soon as its bytes are collected; they go to the
// socket right after the current handler, or at once when kBatchBytes are
// waiting. Bytes written while a send is in progress follow it directly.
// Every write is taken whole, so frames written by different parties never
// interleave. unsentBytes() counts what the socket has not taken yet, so that
// the connection's back-pressure rule covers it.
class BatchedWriteStream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;
    using ErrorCode = boost::system::error_code;

    static constexpr std::size_t kBatchBytes = 64 * 1024;
    // A write that would leave more unsent bytes fails (no_buffer_space) and
    // so does every later one. The connection cuts a client that stops
    // reading long before this; only a peer that floods pings and never reads
    // the answers could get here.
    static constexpr std::size_t kMaxUnsentBytes = 8 * 1024 * 1024;

    explicit BatchedWriteStream(boost::beast::tcp_stream&& next);
    ~BatchedWriteStream();
    BatchedWriteStream(const BatchedWriteStream&) = delete;
    BatchedWriteStream& operator=(const BatchedWriteStream&) = delete;

    executor_type get_executor() noexcept { return next_.get_executor(); }
    boost::beast::tcp_stream& next_layer() noexcept { return next_; }
    const boost::beast::tcp_stream& next_layer() const noexcept { return next_; }

    std::size_t unsentBytes() const;
    // Bytes not yet handed to the socket (the send in progress not counted).
    std::size_t waitingBytes() const;
    // Bytes waiting behind a send that has not completed yet: what piles up
    // when the peer stops reading. 0 while no send is in progress, since
    // whatever waits then leaves with the next send.
    std::size_t blockedBytes() const;

    // Collects a frame at once (header, then payload). An error means the
    // connection has failed.
    ErrorCode Write(std::string_view header, std::string_view payload);

    // The next close frame written through this stream (the echo of a peer's
    // close) carries this code instead of the one it was written with.
    void ReplaceNextCloseCode(std::uint16_t code) { replacementCloseCode_ = code; }

    template <class MutableBufferSequence, class ReadToken>
    auto async_read_some(const MutableBufferSequence& buffers, ReadToken&& token) {
        return next_.async_read_some(buffers, std::forward<ReadToken>(token));
    }

    template <class ConstBufferSequence, class WriteToken>
    auto async_write_some(const ConstBufferSequence& buffers, WriteToken&& token) {
        return boost::asio::async_initiate<WriteToken, void(ErrorCode, std::size_t)>(
            [this](auto handler, const ConstBufferSequence& data) {
                std::size_t size = 0;
                const ErrorCode ec = Collect(data, size);
                boost::asio::post(get_executor(), boost::beast::bind_front_handler(std::move(handler), ec, size));
            },
            token, buffers);
    }

    // Completes once every byte written so far has been sent, or with the
    // error that ended the sending.
    template <class FlushToken>
    auto async_flush(FlushToken&& token) {
        return boost::asio::async_initiate<FlushToken, void(ErrorCode)>(
            [this](auto handler) { Flush(FlushHandler(std::move(handler))); }, token);
    }

private:
    using FlushHandler = boost::asio::any_completion_handler<void(ErrorCode)>;
    struct State;

    template <class ConstBufferSequence>
    ErrorCode Collect(const ConstBufferSequence& buffers, std::size_t& size) {
        const std::size_t total = boost::asio::buffer_size(buffers);
        if (const ErrorCode ec = Admit(total)) return ec;
        const std::size_t start = PendingSize();
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
             ++it) {
            const boost::asio::const_buffer buffer(*it);
            Append(static_cast<const char*>(buffer.data()), buffer.size());
        }
        if (replacementCloseCode_ != 0) ReplaceCloseCode(start);
        Collected();
        size = total;
        return {};
    }

    ErrorCode Admit(std::size_t bytes);
    std::size_t PendingSize() const;
    void Append(const char* data, std::size_t size);
    void ReplaceCloseCode(std::size_t frameStart);
    void Collected();
    void Flush(FlushHandler handler);
    static void PostCheck(const std::shared_ptr<State>& state);
    static void StartSend(const std::shared_ptr<State>& state);
    static void OnSent(const std::shared_ptr<State>& state, ErrorCode ec);
    static void FinishFlush(State& state, ErrorCode ec);

    boost::beast::tcp_stream next_;
    std::uint16_t replacementCloseCode_ = 0;
    // Shared with the handlers of the layer's own operations, which may run
    // after the layer is gone.
    std::shared_ptr<State> state_;
};

// A closing connection sends what it still holds (its close frame among it)
// before the socket is shut down.
template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, BatchedWriteStream& stream, TeardownHandler&& handler) {
    stream.async_flush([&stream, role, handler = std::forward<TeardownHandler>(handler)](
                           BatchedWriteStream::ErrorCode ec) mutable {
        if (ec) {
            std::move(handler)(ec);
            return;
        }
        using boost::beast::websocket::async_teardown;
        async_teardown(role, stream.next_layer(), std::move(handler));
    });
}

}  // namespace navorel::server_detail
