#pragma once

// Internal to the server: the only header that brings in Asio and Beast.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <nlohmann/json.hpp>

#include "core/JsonMessagePool.h"
#include "server/BatchedWriteStream.h"
#include "server/WebSocketServer.h"

namespace navorel {

namespace server_detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;
using Text = std::shared_ptr<const std::string>;

// Until a request has been read: longer than that, a silent connection is closed.
inline constexpr std::chrono::seconds kHttpIdleTimeout{10};
// A graceful WebSocket close that the peer does not complete within this time
// (or whose close frame cannot even be written) ends with the socket closed.
inline constexpr std::chrono::seconds kCloseTimeout{1};
inline constexpr std::size_t kMaxHttpBodyBytes = 64 * 1024;
// Connections still speaking plain HTTP; more are closed as soon as accepted.
inline constexpr std::size_t kMaxHttpConnections = 32;
inline constexpr std::uint32_t kDefaultMaxHeaderBytes = 4096;

class HttpSession;
class WsSession;

}  // namespace server_detail

class WebSocketServer::Impl {
public:
    using HttpSession = server_detail::HttpSession;
    using WsSession = server_detail::WsSession;
    using Text = server_detail::Text;

    Impl(std::uint16_t port, Handlers handlers, std::vector<std::string> allowedOrigins, const Clock& clock);
    ~Impl();

    bool Start();
    void Stop();

    std::uint16_t GetPort() const { return boundPort_.load(); }
    std::string GetLastError() const;
    std::size_t GetClientCount() const;
    bool IsRunning() const { return running_.load(); }
    void SetAcceptingConnections(bool accepting) { acceptingConnections_.store(accepting); }
    bool IsAcceptingConnections() const { return acceptingConnections_.load(); }
    void BroadcastJson(const nlohmann::json& message);
    void HoldBroadcasts();
    void ReleaseBroadcasts();

    // Server-thread side, used by the sessions.
    const Clock& clock() const { return clock_; }
    std::uint32_t maxHeaderBytes() const { return maxHeaderBytes_; }
    void HandleHttpRequest(const std::shared_ptr<HttpSession>& session, server_detail::HttpRequest&& request);
    void OnHttpSessionEnd(const std::shared_ptr<HttpSession>& session);
    void OnOpen(const std::shared_ptr<WsSession>& session);
    void OnMessage(const std::shared_ptr<WsSession>& session, const std::string& text);
    void OnClose(const std::shared_ptr<WsSession>& session, int code, bool wasOpen);

private:
    void RunServerThread();
    bool ListenOnLoopback(std::uint16_t port, std::string& error);
    void DoAccept();
    void OnAccept(boost::system::error_code ec, server_detail::tcp::socket socket);
    void ShutdownOnLoop();
    void ScheduleBroadcastDrain();
    void DrainBroadcasts();
    void BroadcastOnLoop(const Text& text);

    void HandleUpgrade(const std::shared_ptr<HttpSession>& session, server_detail::HttpRequest&& request,
                       std::string subprotocol);
    server_detail::HttpResponse BuildHealthResponse();
    server_detail::HttpResponse BuildRootResponse();

    void Deliver(WsSession& session, const Text& text);

    const Clock& clock_;
    const Handlers handlers_;
    const std::vector<std::string> allowedOrigins_;
    const std::uint32_t maxHeaderBytes_;

    std::thread serverThread_;
    // The "application": the event loop and the listener of one run; made by
    // Start, destroyed by Stop once the server thread has ended.
    std::unique_ptr<server_detail::net::io_context> ioContext_;
    std::unique_ptr<server_detail::tcp::acceptor> acceptor_;
    std::unique_ptr<server_detail::net::steady_timer> acceptRetryTimer_;

    std::atomic<bool> running_{false};
    std::atomic<bool> acceptingConnections_{true};
    std::atomic<std::uint16_t> boundPort_;
    const std::uint16_t requestedPort_;
    JsonMessagePool messagePool_;

    mutable std::mutex startupMutex_;
    std::condition_variable startupCv_;
    bool startupDone_ = false;
    bool listening_ = false;
    std::string lastError_;

    std::mutex loopMutex_;
    server_detail::net::io_context* loop_ = nullptr;  // guarded by loopMutex_

    std::set<std::shared_ptr<WsSession>> clients_;  // open connections, guarded by clientsMutex_
    mutable std::mutex clientsMutex_;

    // Broadcasts on their way to the server thread, taken a slice per loop turn.
    std::mutex broadcastMutex_;
    std::deque<Text> pendingBroadcasts_;
    std::size_t pendingBroadcastBytes_ = 0;
    bool drainScheduled_ = false;
    int broadcastHolds_ = 0;
    bool droppingBroadcasts_ = false;

    // Server thread only: every connection that is not yet an open client.
    std::set<std::shared_ptr<HttpSession>> httpSessions_;
    std::set<std::shared_ptr<WsSession>> handshakes_;
};

namespace server_detail {

// One TCP connection while it speaks HTTP: reads requests (keep-alive) until
// it is closed or handed over to a WsSession by an upgrade.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(WebSocketServer::Impl& server, tcp::socket socket);
    void Start() { ReadRequest(); }
    // Writes the response, then reads the next request or closes.
    void Respond(HttpResponse response);
    // Closes the connection at once; the server forgets the session.
    void Close();
    // Gives the connection to a WebSocket session; this session ends.
    beast::tcp_stream Detach();
    tcp::socket& socket() { return stream_.socket(); }

private:
    void ReadRequest();
    void OnRead(boost::system::error_code ec);
    void OnWrite(bool close, boost::system::error_code ec);
    // Half-closes, then reads and discards what the client still sends for a
    // moment, so that the response is not lost to a reset.
    void LingeringClose();
    void Forget();

    WebSocketServer::Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::array<char, 512> discard_{};
    bool closed_ = false;
};

// One WebSocket connection, from the upgrade to the close.
//
// Back-pressure rule: a client is cut when its socket has stopped taking
// data, which shows as more than kMaxQueuedBytesPerClient (256 KiB) waiting
// behind a send that has not completed when the next frame comes. It is then
// disconnected at once, without a close frame (its close code is 1006), and
// the frame is dropped. The new frame's size does not count, nor does a send
// that is merely about to start, so a large reply to a client that reads
// normally never gets it cut; the bridge holds at most 256 KiB plus one frame
// besides the send in progress. Broadcasts reach the server thread in slices
// of at most 64 KiB per loop turn, after the sends that completed meanwhile,
// so a client whose socket drains is never cut inside a burst.
class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(WebSocketServer::Impl& server, beast::tcp_stream stream, WebSocketServer::PerSocketData data);

    void Accept(HttpRequest request, std::string subprotocol);
    // False when the frame does not fit the back-pressure limit; the caller
    // then aborts the session.
    bool Enqueue(const Text& text);
    // Graceful close: close frame with code and reason, then socket close.
    void Close(int code, const std::string& reason);
    // Immediate close of the socket, no close frame.
    void Abort();
    bool IsClosing() const { return closeRequested_ || aborted_; }
    // Bytes waiting behind the send in progress: a socket that drains takes
    // them with the next send, so they pile up only when it has stopped.
    std::size_t queuedBytes() const { return ws_.next_layer().blockedBytes(); }
    const WebSocketServer::PerSocketData& data() const { return data_; }

private:
    void OnAccept(boost::system::error_code ec);
    void ReadMessage();
    void OnRead(boost::system::error_code ec);
    void StartClose();
    void Finish(boost::system::error_code ec);
    int CloseCodeFor(boost::system::error_code ec) const;

    WebSocketServer::Impl& server_;
    websocket::stream<BatchedWriteStream> ws_;
    HttpRequest request_;
    beast::flat_buffer readBuffer_;
    net::steady_timer closeTimer_;
    const WebSocketServer::PerSocketData data_;
    bool open_ = false;
    bool closeRequested_ = false;
    bool aborted_ = false;
    bool finished_ = false;
    int closeCode_ = 0;
    std::string closeReason_;
};

}  // namespace server_detail

}  // namespace navorel
