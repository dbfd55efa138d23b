#pragma once

// A small Beast client for the tests that talk to the server: every operation runs on the
// client's own io_context with a time limit, so a test never hangs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace navorel::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

inline constexpr std::chrono::milliseconds kWait{10000};

class WsTestClient {
public:
    // Connects and shakes hands. A small receive buffer, set before connecting
    // so that the window stays small, plays a client that stops reading.
    ErrorCode Connect(std::uint16_t port, int receiveBufferBytes = 0) {
        auto& socket = beast::get_lowest_layer(ws_).socket();
        ErrorCode ec;
        socket.open(tcp::v4(), ec);
        if (!ec && receiveBufferBytes > 0) {
            socket.set_option(net::socket_base::receive_buffer_size(receiveBufferBytes), ec);
        }
        if (ec) return ec;
        const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), port);
        ec = Run([&](auto handler) { socket.async_connect(endpoint, handler); });
        if (ec) return ec;
        return Run([&](auto handler) { ws_.async_handshake("127.0.0.1", "/", handler); });
    }

    // The next message (text or binary); an error when the connection ended.
    ErrorCode Read(std::string& text, std::chrono::milliseconds limit = kWait) {
        buffer_.consume(buffer_.size());
        const ErrorCode ec = Run([&](auto handler) { ws_.async_read(buffer_, handler); }, limit);
        if (!ec) text = beast::buffers_to_string(buffer_.data());
        return ec;
    }

    nlohmann::json ReadJson() {
        std::string text;
        if (const ErrorCode ec = Read(text)) return {{"read_error", ec.message()}};
        return nlohmann::json::parse(text, nullptr, false);
    }

    ErrorCode WriteText(const std::string& text) {
        return Run([&](auto handler) { ws_.async_write(net::buffer(text), handler); });
    }

    // Reads until the connection ends: the close code the server sent, 1006
    // when the connection ended without a close frame, -1 on time-out.
    int WaitForClose() {
        for (const auto deadline = std::chrono::steady_clock::now() + kWait;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string ignored;
            const ErrorCode ec = left.count() > 0 ? Read(ignored, left) : net::error::timed_out;
            if (ec == net::error::timed_out) return -1;
            if (ec == websocket::error::closed) return ws_.reason().code;
            if (ec) return 1006;
        }
    }

    // Closes with 1000 and waits for the server's end of the connection.
    void Close() {
        Run([&](auto handler) { ws_.async_close(websocket::close_code::normal, handler); });
        std::string ignored;
        Read(ignored, std::chrono::milliseconds(2000));
    }

private:
    // Runs one operation to completion or until the time is up; on time-out
    // the socket is closed and net::error::timed_out returned.
    template <typename Start>
    ErrorCode Run(Start start, std::chrono::milliseconds limit = kWait) {
        std::optional<ErrorCode> result;
        start([&result](ErrorCode ec, auto&&...) { result = ec; });
        context_.restart();
        context_.run_for(limit);
        if (result) return *result;
        beast::get_lowest_layer(ws_).cancel();
        beast::get_lowest_layer(ws_).close();
        context_.restart();
        context_.run();
        return net::error::timed_out;
    }

    net::io_context context_;
    websocket::stream<beast::tcp_stream> ws_{context_};
    beast::flat_buffer buffer_;
};

}  // namespace navorel::test
