#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/error.hpp>

#include "log/Logger.h"
#include "server/MessageRules.h"
#include "server/RequestRoute.h"
#include "server/WebSocketServerImpl.h"

namespace navorel {

using namespace server_detail;

namespace {

constexpr const char* kComponent = "WebSocket";
constexpr std::size_t kKeptReadBufferBytes = 64 * 1024;

HttpResponse plainResponse(http::status status, std::string body) {
    HttpResponse response{status, 11};
    response.body() = std::move(body);
    return response;
}

// Closes a connection at once. Pending operations are cancelled first: not
// every Windows socket layer completes them when the socket is just closed.
void closeNow(beast::tcp_stream& stream) {
    boost::system::error_code ignored;
    stream.socket().cancel(ignored);
    stream.close();
}

// Header of an unmasked, unfragmented text frame (RFC 6455, 5.2).
std::string encodeTextFrameHeader(std::size_t payloadSize) {
    std::string header(1, static_cast<char>(0x81));
    if (payloadSize < 126) {
        header.push_back(static_cast<char>(payloadSize));
    } else if (payloadSize <= 0xFFFF) {
        header.push_back(static_cast<char>(126));
        for (int shift = 8; shift >= 0; shift -= 8) header.push_back(static_cast<char>((payloadSize >> shift) & 0xFF));
    } else {
        header.push_back(static_cast<char>(127));
        const auto size = static_cast<std::uint64_t>(payloadSize);
        for (int shift = 56; shift >= 0; shift -= 8) header.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
    return header;
}

std::string peerAddressText(const tcp::socket& socket) {
    boost::system::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) return {};
    const auto address = endpoint.address();
    if (address.is_v4()) return WebSocketServer::FormatPeerAddress(address.to_v4().to_bytes());
    return WebSocketServer::FormatPeerAddress(address.to_v6().to_bytes());
}

}  // namespace

// ---------------------------------------------------------------------------
// HTTP connection

HttpSession::HttpSession(WebSocketServer::Impl& server, tcp::socket socket)
    : server_(server), stream_(std::move(socket)) {}

void HttpSession::ReadRequest() {
    parser_.emplace();
    parser_->header_limit(server_.maxHeaderBytes());
    parser_->body_limit(kMaxHttpBodyBytes);
    stream_.expires_after(kHttpIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](boost::system::error_code ec, std::size_t) { self->OnRead(ec); });
}

void HttpSession::OnRead(boost::system::error_code ec) {
    if (closed_) return;
    if (ec == http::error::header_limit) {
        HttpResponse response = plainResponse(http::status::request_header_fields_too_large, {});
        response.keep_alive(false);
        response.prepare_payload();
        Respond(std::move(response));
        return;
    }
    if (ec) {
        // Not HTTP, a body over the limit, silence or the client went away.
        Close();
        return;
    }
    server_.HandleHttpRequest(shared_from_this(), parser_->release());
}

void HttpSession::Respond(HttpResponse response) {
    if (closed_) return;
    auto message = std::make_shared<HttpResponse>(std::move(response));
    const bool close = message->need_eof();
    stream_.expires_after(kHttpIdleTimeout);
    http::async_write(stream_, *message,
                      [self = shared_from_this(), message, close](boost::system::error_code ec, std::size_t) {
                          self->OnWrite(close, ec);
                      });
}

void HttpSession::OnWrite(bool close, boost::system::error_code ec) {
    if (closed_) return;
    if (ec) {
        Close();
    } else if (close) {
        LingeringClose();
    } else {
        ReadRequest();
    }
}

void HttpSession::LingeringClose() {
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(std::chrono::seconds(1));
    stream_.async_read_some(net::buffer(discard_),
                            [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                                if (self->closed_) return;
                                if (ec) {
                                    self->Close();
                                } else {
                                    self->stream_.async_read_some(
                                        net::buffer(self->discard_),
                                        [self](boost::system::error_code, std::size_t) { self->Close(); });
                                }
                            });
}

void HttpSession::Close() {
    if (closed_) return;
    closeNow(stream_);
    Forget();
}

beast::tcp_stream HttpSession::Detach() {
    stream_.expires_never();
    beast::tcp_stream stream = std::move(stream_);
    Forget();
    return stream;
}

void HttpSession::Forget() {
    closed_ = true;
    server_.OnHttpSessionEnd(shared_from_this());
}

// ---------------------------------------------------------------------------
// WebSocket connection

WsSession::WsSession(WebSocketServer::Impl& server, beast::tcp_stream stream, WebSocketServer::PerSocketData data)
    : server_(server), ws_(std::move(stream)), closeTimer_(ws_.get_executor()), data_(std::move(data)) {}

void WsSession::Accept(HttpRequest request, std::string subprotocol) {
    request_ = std::move(request);
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(5);
    // With keep-alive pings the peer is pinged after half the idle time and
    // dropped when it has sent nothing, not even the pong, for the other half.
    timeouts.idle_timeout = std::chrono::seconds(WebSocketServer::kIdleTimeoutSeconds);
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator([subprotocol](websocket::response_type& response) {
        if (!subprotocol.empty()) response.set(http::field::sec_websocket_protocol, subprotocol);
    }));
    ApplyMessageRules(ws_, [this] {
        ws_.next_layer().ReplaceNextCloseCode(static_cast<std::uint16_t>(websocket::close_code::protocol_error));
    });
    ws_.async_accept(request_, [self = shared_from_this()](boost::system::error_code ec) { self->OnAccept(ec); });
}

void WsSession::OnAccept(boost::system::error_code ec) {
    request_ = {};
    if (ec || aborted_) {
        Finish(ec ? ec : net::error::operation_aborted);
        return;
    }
    open_ = true;
    server_.OnOpen(shared_from_this());
    ReadMessage();
}

void WsSession::ReadMessage() {
    ws_.async_read(readBuffer_,
                   [self = shared_from_this()](boost::system::error_code ec, std::size_t) { self->OnRead(ec); });
}

void WsSession::OnRead(boost::system::error_code ec) {
    if (ec) {
        Finish(ec);
        return;
    }
    if (ws_.got_text() && !IsClosing()) {
        const std::string text = beast::buffers_to_string(readBuffer_.data());
        readBuffer_.consume(readBuffer_.size());
        server_.OnMessage(shared_from_this(), text);
    } else {
        readBuffer_.consume(readBuffer_.size());
    }
    if (readBuffer_.capacity() > kKeptReadBufferBytes) readBuffer_.shrink_to_fit();
    if (!finished_) ReadMessage();
}

bool WsSession::Enqueue(const Text& text) {
    // Beast marks the stream closing as soon as it answers a close frame: no
    // data frame may follow that.
    if (IsClosing() || finished_ || !open_ || !ws_.is_open()) return true;
    BatchedWriteStream& stream = ws_.next_layer();
    if (queuedBytes() > WebSocketServer::kMaxQueuedBytesPerClient) return false;
    // Data frames are framed here and written whole next to the control
    // frames Beast writes itself, so the frames of one turn leave in one send.
    const std::string header = encodeTextFrameHeader(text->size());
    if (stream.Write(header, *text)) {
        // The socket has failed; the read side reports the close.
        Abort();
    }
    return true;
}

void WsSession::Close(int code, const std::string& reason) {
    if (closeRequested_ || aborted_ || finished_) return;
    closeRequested_ = true;
    closeCode_ = code;
    closeReason_ = reason;
    closeTimer_.expires_after(kCloseTimeout);
    closeTimer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (!ec) self->Abort();
    });
    StartClose();
}

void WsSession::StartClose() {
    websocket::close_reason reason(static_cast<websocket::close_code>(closeCode_), closeReason_);
    ws_.async_close(reason, [self = shared_from_this()](boost::system::error_code) {
        // The pending read completes as well and finishes the session.
    });
}

void WsSession::Abort() {
    if (aborted_ || finished_) return;
    aborted_ = true;
    closeNow(beast::get_lowest_layer(ws_));
}

void WsSession::Finish(boost::system::error_code ec) {
    if (finished_) return;
    finished_ = true;
    closeTimer_.cancel();
    const int code = CloseCodeFor(ec);
    closeNow(beast::get_lowest_layer(ws_));
    server_.OnClose(shared_from_this(), code, open_);
}

int WsSession::CloseCodeFor(boost::system::error_code ec) const {
    if (closeRequested_) return closeCode_;
    if (aborted_) return 1006;
    if (ec == websocket::error::closed) {
        const auto code = ws_.reason().code;
        return code == websocket::close_code::none ? 1005 : static_cast<int>(code);
    }
    if (ec == websocket::error::message_too_big) return 1009;
    if (ec == websocket::error::bad_frame_payload) return 1007;
    if (ec == websocket::condition::protocol_violation) return 1002;
    return 1006;
}

// ---------------------------------------------------------------------------
// Routes and upgrades

void WebSocketServer::Impl::HandleHttpRequest(const std::shared_ptr<HttpSession>& session, HttpRequest&& request) {
    std::size_t connections = 0;
    {
        // Handshakes under way count too: the limit holds even when several
        // clients connect at the same moment.
        std::lock_guard lock(clientsMutex_);
        connections = clients_.size() + handshakes_.size();
    }
    RouteDecision decision = DecideRoute(request, allowedOrigins_, acceptingConnections_.load(), connections);
    const auto refuse = [&](http::status status, std::string body) {
        HttpResponse response = plainResponse(status, std::move(body));
        response.keep_alive(false);
        response.prepare_payload();
        session->Respond(std::move(response));
    };
    HttpResponse response;
    switch (decision.route) {
        case Route::ForeignHost:
            logLine(LogLevel::WARN, kComponent,
                    "Refused request with Host '" + std::string(decision.refusedValue) + "'");
            refuse(http::status::forbidden, "Forbidden");
            return;
        case Route::ForeignOrigin:
            logLine(LogLevel::WARN, kComponent,
                    "Refused WebSocket upgrade from Origin '" + std::string(decision.refusedValue) + "'");
            refuse(http::status::forbidden, "Forbidden");
            return;
        case Route::ShuttingDown:
            refuse(http::status::service_unavailable, "Server is shutting down");
            return;
        case Route::ConnectionLimit:
            refuse(http::status::service_unavailable, "Connection limit reached");
            return;
        case Route::Upgrade:
            HandleUpgrade(session, std::move(request), std::move(decision.subprotocol));
            return;
        case Route::Health:
            response = BuildHealthResponse();
            break;
        case Route::Root:
            response = BuildRootResponse();
            break;
        case Route::NotFound:
            response = plainResponse(http::status::not_found, {});
            break;
    }
    response.version(request.version());
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    session->Respond(std::move(response));
}

HttpResponse WebSocketServer::Impl::BuildHealthResponse() {
    auto document = messagePool_.AcquireJson();
    *document = {{"status", running_.load() ? "healthy" : "shutting_down"},
                 {"service", kServiceName},
                 {"version", kServerVersion},
                 {"connections", GetClientCount()},
                 {"maxConnections", kMaxConnections},
                 {"acceptingConnections", acceptingConnections_.load()},
                 {"timestamp", toUnixTicks100ns(clock_.systemNow())}};
    auto body = messagePool_.AcquireString();
    *body = document->dump();
    messagePool_.ReleaseJson(std::move(document));
    HttpResponse response = plainResponse(http::status::ok, *body);
    messagePool_.ReleaseString(std::move(body));
    response.set(http::field::content_type, "application/json");
    response.set(http::field::access_control_allow_origin, "*");
    return response;
}

HttpResponse WebSocketServer::Impl::BuildRootResponse() {
    const std::string port = std::to_string(boundPort_.load());
    HttpResponse response = plainResponse(http::status::ok, std::string(kServiceName) + " WebSocket Server " +
                                                                kServerVersion + "\nWebSocket endpoint: ws://localhost:" +
                                                                port + "/\nHealth check: http://localhost:" + port +
                                                                "/health");
    response.set(http::field::content_type, "text/plain");
    return response;
}

void WebSocketServer::Impl::HandleUpgrade(const std::shared_ptr<HttpSession>& session, HttpRequest&& request,
                                          std::string subprotocol) {
    PerSocketData data{WebSocketServer::GenerateClientId(clock_), peerAddressText(session->socket()),
                       clock_.steadyNow()};
    auto ws = std::make_shared<WsSession>(*this, session->Detach(), std::move(data));
    handshakes_.insert(ws);
    ws->Accept(std::move(request), std::move(subprotocol));
}

// ---------------------------------------------------------------------------
// Connection lifecycle and messages

void WebSocketServer::Impl::OnOpen(const std::shared_ptr<WsSession>& session) {
    handshakes_.erase(session);
    std::size_t total = 0;
    {
        std::lock_guard lock(clientsMutex_);
        clients_.insert(session);
        total = clients_.size();
    }
    const PerSocketData& data = session->data();
    logLine(LogLevel::INFO, kComponent,
            "Client connected from " + data.remoteAddress + " (ID: " + data.clientId + "). Total: " +
                std::to_string(total));
    if (!handlers_.onOpen) return;
    try {
        for (std::string& text : handlers_.onOpen(data, total)) {
            Deliver(*session, std::make_shared<const std::string>(std::move(text)));
        }
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, kComponent, std::string("Failed to greet client: ") + e.what());
    }
}

void WebSocketServer::Impl::OnClose(const std::shared_ptr<WsSession>& session, int code, bool wasOpen) {
    handshakes_.erase(session);
    if (!wasOpen) return;
    std::size_t total = 0;
    {
        std::lock_guard lock(clientsMutex_);
        clients_.erase(session);
        total = clients_.size();
    }
    logLine(LogLevel::INFO, kComponent,
            "Client disconnected (ID: " + session->data().clientId + ", Code: " + std::to_string(code) +
                "). Total: " + std::to_string(total));
    if (!handlers_.onClose) return;
    try {
        handlers_.onClose(session->data());
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, kComponent, std::string("Connection status provider error: ") + e.what());
    }
}

void WebSocketServer::Impl::OnMessage(const std::shared_ptr<WsSession>& session, const std::string& text) {
    if (!handlers_.onMessage) return;
    try {
        std::string reply = handlers_.onMessage(session->data(), text);
        if (!reply.empty()) Deliver(*session, std::make_shared<const std::string>(std::move(reply)));
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, kComponent, std::string("Message processing error: ") + e.what());
    }
}

void WebSocketServer::Impl::Deliver(WsSession& session, const Text& text) {
    if (session.Enqueue(text)) return;
    logLine(LogLevel::WARN, kComponent,
            "Client " + session.data().clientId + " is not taking data (" + std::to_string(session.queuedBytes()) +
                " bytes queued), disconnecting");
    session.Abort();
}

}  // namespace navorel
