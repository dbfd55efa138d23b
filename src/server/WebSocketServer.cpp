#include "server/WebSocketServer.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>

#include "log/Logger.h"
#include "platform/ExclusivePort.h"
#include "server/WebSocketServerImpl.h"

namespace navorel {

using namespace server_detail;

namespace {

constexpr const char* kComponent = "WebSocket";
constexpr const char* kBindAddress = "127.0.0.1";
constexpr auto kStartupWait = std::chrono::seconds(3);
constexpr auto kPortProbeWait = std::chrono::microseconds(100'000);
// Broadcasts waiting for the server thread. The thread takes them within
// microseconds, so these limits only matter if it is stuck.
constexpr std::size_t kMaxPendingBroadcasts = 1024;
constexpr std::size_t kMaxPendingBroadcastBytes = 16 * 1024 * 1024;
// Broadcasts handed to the clients in one turn of the server's loop.
constexpr std::size_t kBroadcastSliceBytes = 64 * 1024;

// The HTTP layer's request header limit, as the environment sets it.
std::uint32_t readMaxHeaderBytes() {
    const char* text = std::getenv("UWS_HTTP_MAX_HEADERS_SIZE");
    if (text == nullptr || *text == '\0') return kDefaultMaxHeaderBytes;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 0xFFFFFFFFull) return kDefaultMaxHeaderBytes;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Public face

WebSocketServer::WebSocketServer(std::uint16_t port, Handlers handlers, std::vector<std::string> allowedOrigins,
                                 const Clock& clock)
    : impl_(std::make_unique<Impl>(port, std::move(handlers), std::move(allowedOrigins), clock)) {}

WebSocketServer::~WebSocketServer() { impl_->Stop(); }

bool WebSocketServer::Start() { return impl_->Start(); }
void WebSocketServer::Stop() { impl_->Stop(); }
std::uint16_t WebSocketServer::GetPort() const { return impl_->GetPort(); }
std::string WebSocketServer::GetLastError() const { return impl_->GetLastError(); }
std::size_t WebSocketServer::GetClientCount() const { return impl_->GetClientCount(); }
bool WebSocketServer::IsRunning() const { return impl_->IsRunning(); }
void WebSocketServer::SetAcceptingConnections(bool accepting) { impl_->SetAcceptingConnections(accepting); }
bool WebSocketServer::IsAcceptingConnections() const { return impl_->IsAcceptingConnections(); }
void WebSocketServer::BroadcastJson(const nlohmann::json& message) { impl_->BroadcastJson(message); }

WebSocketServer::BroadcastHold::BroadcastHold(WebSocketServer& server) : impl_(*server.impl_) {
    impl_.HoldBroadcasts();
}
WebSocketServer::BroadcastHold::~BroadcastHold() { impl_.ReleaseBroadcasts(); }

bool WebSocketServer::IsPortAvailable(std::uint16_t port) {
    net::io_context context;
    tcp::socket socket(context);
    boost::system::error_code ec;
    socket.open(tcp::v4(), ec);
    if (ec) return true;

    bool completed = false;
    boost::system::error_code result;
    net::steady_timer timer(context, kPortProbeWait);
    socket.async_connect(tcp::endpoint(net::ip::make_address_v4(kBindAddress), port),
                         [&](boost::system::error_code connectEc) {
                             completed = true;
                             result = connectEc;
                             timer.cancel();
                         });
    timer.async_wait([&](boost::system::error_code timerEc) {
        if (!timerEc) {
            // Cancel before closing: not every Windows socket layer completes
            // a pending connect when the socket is just closed.
            boost::system::error_code ignored;
            socket.cancel(ignored);
            socket.close(ignored);
        }
    });
    context.run();
    if (!completed || result == net::error::operation_aborted) return true;  // no answer in time
    if (!result) return false;                                               // something accepted us
    return result == boost::system::errc::connection_refused || result == boost::system::errc::address_not_available;
}

std::string WebSocketServer::GenerateClientId(const Clock& clock) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock.steadyNow().time_since_epoch()).count() / 1'000'000;
    std::random_device device;
    std::mt19937 generator(device());
    std::uniform_int_distribution<int> digits(1000, 9999);
    return std::to_string(millis) + "-" + std::to_string(digits(generator));
}

std::string WebSocketServer::FormatPeerAddress(const std::array<std::uint8_t, 4>& ipv4) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ipv4[0], ipv4[1], ipv4[2], ipv4[3]);
    return text;
}

std::string WebSocketServer::FormatPeerAddress(const std::array<std::uint8_t, 16>& b) {
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0], b[1], b[2],
                  b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// ---------------------------------------------------------------------------
// Lifecycle

WebSocketServer::Impl::Impl(std::uint16_t port, Handlers handlers, std::vector<std::string> allowedOrigins,
                            const Clock& clock)
    : clock_(clock),
      handlers_(std::move(handlers)),
      allowedOrigins_(std::move(allowedOrigins)),
      maxHeaderBytes_(readMaxHeaderBytes()),
      boundPort_(port),
      requestedPort_(port) {}

WebSocketServer::Impl::~Impl() { Stop(); }

bool WebSocketServer::Impl::Start() {
    if (running_.load()) return true;
    // A thread left by a Stop from within a handler has ended or is ending.
    if (serverThread_.joinable()) Stop();
    running_.store(true);
    acceptingConnections_.store(true);
    {
        std::lock_guard lock(startupMutex_);
        startupDone_ = false;
        listening_ = false;
        lastError_.clear();
    }
    {
        std::lock_guard lock(broadcastMutex_);
        pendingBroadcasts_.clear();
        pendingBroadcastBytes_ = 0;
        drainScheduled_ = false;
    }
    ioContext_ = std::make_unique<net::io_context>(1);
    serverThread_ = std::thread([this] { RunServerThread(); });

    std::unique_lock lock(startupMutex_);
    const bool answered = startupCv_.wait_for(lock, kStartupWait, [this] { return startupDone_; });
    if (answered) {
        if (!listening_ && lastError_.empty()) lastError_ = "Failed to start WebSocket server";
        const bool ok = listening_;
        lock.unlock();
        if (ok) return true;
        Stop();
        return false;
    }
    lastError_ = "Timeout while waiting for WebSocket server to bind to a port";
    lock.unlock();
    Stop();
    return false;
}

void WebSocketServer::Impl::RunServerThread() {
    const auto endWithoutLoop = [this] {
        running_.store(false);
        std::lock_guard lock(loopMutex_);
        loop_ = nullptr;
    };
    try {
        {
            std::lock_guard lock(loopMutex_);
            // Stop may have run before this thread got here; it saw no loop
            // and will not post anything, so this run must not begin.
            if (!running_.load()) {
                loop_ = nullptr;
            } else {
                loop_ = ioContext_.get();
            }
        }
        bool listened = false;
        std::string error;
        if (running_.load()) {
            bool tryRequested = true;
            if (requestedPort_ != 0 && !WebSocketServer::IsPortAvailable(requestedPort_)) {
                logLine(LogLevel::WARN, kComponent,
                        "Requested port " + std::to_string(requestedPort_) + " is already in use");
                tryRequested = false;
            }
            if (tryRequested) listened = ListenOnLoopback(requestedPort_, error);
            if (!listened && requestedPort_ != 0) {
                logLine(LogLevel::WARN, kComponent,
                        "Port " + std::to_string(requestedPort_) + " unavailable, attempting automatic port selection");
                listened = ListenOnLoopback(0, error);
            }
        }
        {
            std::lock_guard lock(startupMutex_);
            startupDone_ = true;
            listening_ = listened;
            lastError_ = listened ? std::string() : error;
        }
        startupCv_.notify_all();
        if (!listened) {
            endWithoutLoop();
            return;
        }
        DoAccept();
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, kComponent, std::string("Server error: ") + e.what());
        endWithoutLoop();
        {
            std::lock_guard lock(startupMutex_);
            if (!startupDone_) {
                startupDone_ = true;
                lastError_ = e.what();
            }
        }
        startupCv_.notify_all();
        return;
    }

    // Handlers catch their own failures; anything that still escapes is
    // logged and the loop goes on serving the other connections.
    for (;;) {
        try {
            ioContext_->run();
            break;
        } catch (const std::exception& e) {
            logLine(LogLevel::ERROR, kComponent, std::string("Server error: ") + e.what());
        } catch (...) {
            logLine(LogLevel::ERROR, kComponent, "Server error: unknown exception");
        }
    }
    std::lock_guard lock(loopMutex_);
    loop_ = nullptr;
}

bool WebSocketServer::Impl::ListenOnLoopback(std::uint16_t port, std::string& error) {
    auto acceptor = std::make_unique<tcp::acceptor>(*ioContext_);
    const tcp::endpoint endpoint(net::ip::make_address_v4(kBindAddress), port);
    boost::system::error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec && !platform::makePortExclusive(static_cast<std::intptr_t>(acceptor->native_handle()))) {
        ec = net::error::invalid_argument;
    }
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "Failed to listen on 127.0.0.1:" + std::to_string(port);
        logLine(LogLevel::ERROR, kComponent, error);
        logLine(LogLevel::ERROR, kComponent, "Check if port is already in use or if you have permission");
        return false;
    }
    const std::uint16_t bound = acceptor->local_endpoint(ec).port();
    if (ec || bound == 0) {
        error = "Failed to determine bound port for listener";
        logLine(LogLevel::ERROR, kComponent, error);
        return false;
    }
    boundPort_.store(bound);
    error.clear();
    const std::string portText = std::to_string(bound);
    if (port == 0) logLine(LogLevel::INFO, kComponent, "Automatically selected available port " + portText);
    logLine(LogLevel::INFO, kComponent, "Navorel Bridge listening on ws://127.0.0.1:" + portText);
    logLine(LogLevel::INFO, kComponent, "Health check at http://127.0.0.1:" + portText + "/health");
    logLine(LogLevel::INFO, kComponent, "Security: Only accepting local connections");
    acceptor_ = std::move(acceptor);
    return true;
}

void WebSocketServer::Impl::Stop() {
    const bool wasRunning = running_.exchange(false);
    acceptingConnections_.store(false);

    if (serverThread_.joinable() && serverThread_.get_id() == std::this_thread::get_id()) {
        // Called from a handler: the thread cannot join itself. The loop ends
        // after the shutdown; the owner's Stop or the destructor joins it.
        ShutdownOnLoop();
        return;
    }
    {
        std::lock_guard lock(loopMutex_);
        if (loop_ != nullptr) {
            net::post(*loop_, [this] { ShutdownOnLoop(); });
        }
    }
    if (serverThread_.joinable()) serverThread_.join();
    // The thread is over: nothing else touches the loop or its objects now.
    acceptRetryTimer_.reset();
    acceptor_.reset();
    httpSessions_.clear();
    handshakes_.clear();
    {
        std::lock_guard lock(clientsMutex_);
        clients_.clear();
    }
    ioContext_.reset();

    if (!wasRunning) {
        {
            std::lock_guard lock(startupMutex_);
            if (!startupDone_) startupDone_ = true;
        }
        startupCv_.notify_all();
    }
}

void WebSocketServer::Impl::ShutdownOnLoop() {
    if (!acceptor_) return;
    std::vector<std::shared_ptr<WsSession>> open;
    {
        std::lock_guard lock(clientsMutex_);
        open.assign(clients_.begin(), clients_.end());
    }
    for (const auto& session : open) session->Close(1001, "Server shutting down");

    boost::system::error_code ignored;
    acceptor_->cancel(ignored);
    acceptor_->close(ignored);
    if (acceptRetryTimer_) acceptRetryTimer_->cancel();
    // Copies: closing a session removes it from these sets.
    const auto http = httpSessions_;
    for (const auto& session : http) session->Close();
    const auto handshakes = handshakes_;
    for (const auto& session : handshakes) session->Abort();
}

std::string WebSocketServer::Impl::GetLastError() const {
    std::lock_guard lock(startupMutex_);
    return lastError_;
}

std::size_t WebSocketServer::Impl::GetClientCount() const {
    std::lock_guard lock(clientsMutex_);
    return clients_.size();
}

// ---------------------------------------------------------------------------
// Accepting

void WebSocketServer::Impl::DoAccept() {
    acceptor_->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        OnAccept(ec, std::move(socket));
    });
}

void WebSocketServer::Impl::OnAccept(boost::system::error_code ec, tcp::socket socket) {
    if (!acceptor_->is_open() || ec == net::error::operation_aborted) return;
    if (ec) {
        // Out of descriptors and the like: try again shortly instead of spinning.
        logLine(LogLevel::ERROR, kComponent, "Accept error: " + ec.message());
        if (!acceptRetryTimer_) acceptRetryTimer_ = std::make_unique<net::steady_timer>(*ioContext_);
        acceptRetryTimer_->expires_after(std::chrono::milliseconds(100));
        acceptRetryTimer_->async_wait([this](boost::system::error_code timerEc) {
            if (!timerEc && acceptor_->is_open()) DoAccept();
        });
        return;
    }
    if (httpSessions_.size() >= kMaxHttpConnections) {
        boost::system::error_code ignored;
        socket.close(ignored);
    } else {
        socket.set_option(tcp::no_delay(true), ec);
        auto session = std::make_shared<HttpSession>(*this, std::move(socket));
        httpSessions_.insert(session);
        session->Start();
    }
    DoAccept();
}

void WebSocketServer::Impl::OnHttpSessionEnd(const std::shared_ptr<HttpSession>& session) {
    httpSessions_.erase(session);
}

// ---------------------------------------------------------------------------
// Broadcast

void WebSocketServer::Impl::BroadcastJson(const nlohmann::json& message) {
    if (!running_.load()) return;
    auto text = std::make_shared<const std::string>(
        message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
    bool schedule = false;
    {
        std::lock_guard lock(broadcastMutex_);
        if (pendingBroadcasts_.size() >= kMaxPendingBroadcasts ||
            pendingBroadcastBytes_ + text->size() > kMaxPendingBroadcastBytes) {
            if (!droppingBroadcasts_) {
                droppingBroadcasts_ = true;
                logLine(LogLevel::WARN, kComponent, "Broadcast backlog full, dropping messages");
            }
            return;
        }
        droppingBroadcasts_ = false;
        pendingBroadcastBytes_ += text->size();
        pendingBroadcasts_.push_back(std::move(text));
        if (!drainScheduled_ && broadcastHolds_ == 0) drainScheduled_ = schedule = true;
    }
    if (schedule) ScheduleBroadcastDrain();
}

void WebSocketServer::Impl::HoldBroadcasts() {
    std::lock_guard lock(broadcastMutex_);
    ++broadcastHolds_;
}

void WebSocketServer::Impl::ReleaseBroadcasts() {
    bool schedule = false;
    {
        std::lock_guard lock(broadcastMutex_);
        if (--broadcastHolds_ == 0 && !pendingBroadcasts_.empty() && !drainScheduled_) {
            drainScheduled_ = schedule = true;
        }
    }
    if (schedule) ScheduleBroadcastDrain();
}

void WebSocketServer::Impl::ScheduleBroadcastDrain() {
    {
        std::lock_guard lock(loopMutex_);
        // Posting under the lock: the loop outlives the pointer (the server
        // thread clears it before it ends, Stop destroys the loop after that).
        if (loop_ != nullptr) {
            net::post(*loop_, [this] { DrainBroadcasts(); });
            return;
        }
    }
    // No loop: the server is starting or stopping, and the messages are dropped.
    std::lock_guard lock(broadcastMutex_);
    pendingBroadcasts_.clear();
    pendingBroadcastBytes_ = 0;
    drainScheduled_ = false;
}

void WebSocketServer::Impl::DrainBroadcasts() {
    std::vector<Text> slice;
    bool more = false;
    {
        std::lock_guard lock(broadcastMutex_);
        std::size_t bytes = 0;
        while (!pendingBroadcasts_.empty()) {
            const std::size_t size = pendingBroadcasts_.front()->size();
            if (!slice.empty() && bytes + size > kBroadcastSliceBytes) break;
            bytes += size;
            pendingBroadcastBytes_ -= size;
            slice.push_back(std::move(pendingBroadcasts_.front()));
            pendingBroadcasts_.pop_front();
        }
        more = !pendingBroadcasts_.empty();
        if (!more) drainScheduled_ = false;
    }
    for (const auto& text : slice) BroadcastOnLoop(text);
    // Posted behind the sends this slice has started, so that the clients'
    // sockets drain between two slices of a long burst.
    if (more) net::post(*ioContext_, [this] { DrainBroadcasts(); });
}

void WebSocketServer::Impl::BroadcastOnLoop(const Text& text) {
    if (!running_.load() || !acceptor_) return;
    try {
        std::vector<std::shared_ptr<WsSession>> targets;
        {
            std::lock_guard lock(clientsMutex_);
            targets.assign(clients_.begin(), clients_.end());
        }
        std::vector<std::shared_ptr<WsSession>> stalled;
        for (const auto& session : targets) {
            try {
                if (!session->Enqueue(text)) stalled.push_back(session);
            } catch (const std::exception& e) {
                logLine(LogLevel::ERROR, {}, std::string("Failed to send to WebSocket client: ") + e.what());
            }
        }
        for (const auto& session : stalled) {
            if (session->IsClosing()) continue;
            logLine(LogLevel::WARN, kComponent,
                    "Client " + session->data().clientId + " is not taking data (" +
                        std::to_string(session->queuedBytes()) + " bytes queued), disconnecting");
            session->Abort();
        }
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("BroadcastJson error: ") + e.what());
    }
}

}  // namespace navorel
