#pragma once

// A small Beast client for the tests that talk to the server: every operation runs on the
// client's own io_context with a time limit, so a test never hangs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace navorel::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

inline constexpr std::chrono::milliseconds kWait{10000};

using Headers = std::vector<std::pair<std::string, std::string>>;

// Runs one asynchronous operation to completion or until the time is up; on
// time-out the stream is closed and net::error::timed_out returned.
template <typename Closer, typename Start>
ErrorCode runWithLimit(net::io_context& context, Closer close, Start start, std::chrono::milliseconds limit) {
    std::optional<ErrorCode> result;
    start([&result](ErrorCode ec, auto&&...) { result = ec; });
    context.restart();
    context.run_for(limit);
    if (!result) {
        close();
        context.restart();
        context.run();
        return net::error::timed_out;
    }
    return *result;
}

struct ClientOptions {
    std::string host = "127.0.0.1";
    std::string target = "/";
    Headers headers;
    int receiveBufferBytes = 0;  // 0: the system's default

    static ClientOptions WithHost(std::string name) {
        ClientOptions options;
        options.host = std::move(name);
        return options;
    }
    static ClientOptions WithHeader(std::string name, std::string value) {
        ClientOptions options;
        options.headers.emplace_back(std::move(name), std::move(value));
        return options;
    }
    static ClientOptions WithReceiveBuffer(int bytes) {
        ClientOptions options;
        options.receiveBufferBytes = bytes;
        return options;
    }
};

class WsTestClient {
public:
    using Options = ClientOptions;

    // Connects and shakes hands; the server's HTTP answer is in response().
    ErrorCode Connect(std::uint16_t port, const Options& options = {}) {
        auto& socket = beast::get_lowest_layer(ws_).socket();
        ErrorCode ec;
        socket.open(tcp::v4(), ec);
        if (ec) return ec;
        if (options.receiveBufferBytes > 0) {
            socket.set_option(net::socket_base::receive_buffer_size(options.receiveBufferBytes), ec);
        }
        const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), port);
        ec = Run([&](auto handler) { socket.async_connect(endpoint, handler); });
        if (ec) return ec;
        ws_.set_option(websocket::stream_base::decorator([headers = options.headers](websocket::request_type& req) {
            for (const auto& [name, value] : headers) req.set(name, value);
        }));
        return Run([&](auto handler) { ws_.async_handshake(response_, options.host, options.target, handler); });
    }

    const websocket::response_type& response() const { return response_; }

    // The next message (text or binary); an error when the connection ended.
    ErrorCode Read(std::string& text, std::chrono::milliseconds limit = kWait) {
        buffer_.consume(buffer_.size());
        const ErrorCode ec = Run([&](auto handler) { ws_.async_read(buffer_, handler); }, limit);
        if (!ec) text = beast::buffers_to_string(buffer_.data());
        return ec;
    }

    nlohmann::json ReadJson() {
        std::string text;
        const ErrorCode ec = Read(text);
        if (ec) return {{"read_error", ec.message()}};
        return nlohmann::json::parse(text, nullptr, false);
    }

    ErrorCode WriteText(const std::string& text) {
        ws_.text(true);
        return Run([&](auto handler) { ws_.async_write(net::buffer(text), handler); });
    }

    ErrorCode WriteBinary(const std::string& bytes) {
        ws_.binary(true);
        return Run([&](auto handler) { ws_.async_write(net::buffer(bytes), handler); });
    }

    // Reads until the connection ends: the close code the server sent, or
    // 1006 when the connection ended without a close frame.
    int WaitForClose(std::chrono::milliseconds limit = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            std::string ignored;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            const ErrorCode ec = Read(ignored, left);
            if (!ec) continue;
            if (ec == net::error::timed_out) return -1;
            if (ec == websocket::error::closed) return ws_.reason().code;
            return 1006;
        }
    }

    std::string closeReason() const {
        const auto& reason = ws_.reason().reason;
        return std::string(reason.begin(), reason.end());
    }

    void Close() {
        Run([&](auto handler) { ws_.async_close(websocket::close_code::normal, handler); });
        // Read until the server's answer to the close frame tears down.
        std::string ignored;
        Read(ignored, std::chrono::milliseconds(2000));
    }

private:
    template <typename Start>
    ErrorCode Run(Start start, std::chrono::milliseconds limit = kWait) {
        return runWithLimit(
            context_,
            [this] {
                beast::get_lowest_layer(ws_).cancel();
                beast::get_lowest_layer(ws_).close();
            },
            start, limit);
    }

    net::io_context context_;
    websocket::stream<beast::tcp_stream> ws_{context_};
    beast::flat_buffer buffer_;
    websocket::response_type response_;
};

// One HTTP exchange on a fresh connection.
struct HttpResult {
    ErrorCode error;
    http::response<http::string_body> response;
};

inline HttpResult httpExchange(std::uint16_t port, const std::string& rawRequest) {
    net::io_context context;
    beast::tcp_stream stream(context);
    HttpResult result;
    const auto close = [&] {
        stream.cancel();
        stream.close();
    };
    const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), port);
    result.error = runWithLimit(context, close, [&](auto handler) { stream.async_connect(endpoint, handler); }, kWait);
    if (result.error) return result;
    result.error = runWithLimit(
        context, close, [&](auto handler) { net::async_write(stream, net::buffer(rawRequest), handler); }, kWait);
    if (result.error) return result;
    beast::flat_buffer buffer;
    result.error = runWithLimit(
        context, close, [&](auto handler) { http::async_read(stream, buffer, result.response, handler); }, kWait);
    return result;
}

// An empty host sends no Host header at all.
inline HttpResult httpGet(std::uint16_t port, const std::string& target, const Headers& headers = {},
                          const std::string& host = "127.0.0.1") {
    std::string request = "GET " + target + " HTTP/1.1\r\n";
    if (!host.empty()) request += "Host: " + host + "\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    request += "Connection: close\r\n\r\n";
    return httpExchange(port, request);
}

}  // namespace navorel::test
