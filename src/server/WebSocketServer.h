#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"

namespace navorel {

class WebSocketMessageHandler;

// The bridge's local HTTP/WebSocket server on 127.0.0.1: port selection,
// /health and /, up to five WebSocket clients, broadcast. All network work
// runs on the server's own thread; other threads hand it work through
// BroadcastJson. The network stack stays inside the implementation.
class WebSocketServer {
public:
    // Kept with each WebSocket connection from its upgrade on.
    struct PerSocketData {
        std::string clientId;
        std::string remoteAddress;
        SteadyTime connectedAt{};
    };

    // Called on every open (true) and close (false); a document returned on
    // open is sent to the new client when it is not null/empty.
    using ConnectionStatusProvider = std::function<std::unique_ptr<nlohmann::json>(bool connected)>;

    static constexpr std::size_t kMaxConnections = 5;
    static constexpr const char* kServerVersion = "1.0.0";
    static constexpr const char* kServiceName = "Navorel Bridge";
    static constexpr std::size_t kMaxPayloadBytes = 1024 * 1024;
    // Most bytes of frames held for one client that its socket has not taken.
    static constexpr std::size_t kMaxQueuedBytesPerClient = 256 * 1024;
    static constexpr int kIdleTimeoutSeconds = 120;

    explicit WebSocketServer(std::uint16_t port, std::vector<std::string> allowedOrigins = {},
                             const Clock& clock = Clock::real());
    ~WebSocketServer();
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // True once the server listens; waits at most 3 s for the bind result.
    bool Start();
    // Closes every client with 1001 and ends the server thread. Safe to call
    // more than once and before Start.
    void Stop();

    std::uint16_t GetPort() const;
    std::string GetLastError() const;
    std::size_t GetClientCount() const;

    // Any thread; may be replaced while the server runs.
    void SetMessageHandler(std::unique_ptr<WebSocketMessageHandler> handler);
    void SetConnectionStatusProvider(ConnectionStatusProvider provider);

    // Cleared by the owner when it begins to shut down: new upgrades are then
    // refused with 503 while open clients stay.
    void SetAcceptingConnections(bool accepting);
    bool IsAcceptingConnections() const;

    // Serialises once on the caller's thread (invalid UTF-8 throws here) and
    // sends the text to every client on the server thread. Dropped when the
    // server is not running.
    void BroadcastJson(const nlohmann::json& message);

    // Whether something already accepts TCP connections on 127.0.0.1:port
    // ("taken" only when a connection could be made within 100 ms).
    static bool IsPortAvailable(std::uint16_t port);
    // Monotonic milliseconds, "-", four random digits.
    static std::string GenerateClientId(const Clock& clock = Clock::real());
    static std::string FormatPeerAddress(const std::array<std::uint8_t, 4>& ipv4);
    static std::string FormatPeerAddress(const std::array<std::uint8_t, 16>& ipv6);

    class Impl;

    // While a hold lives, broadcasts from every thread wait and then reach the
    // clients together: the messages of one main-loop pass cost each client
    // one send and the server thread one wake-up. Holds may nest.
    class BroadcastHold {
    public:
        explicit BroadcastHold(WebSocketServer& server);
        ~BroadcastHold();
        BroadcastHold(const BroadcastHold&) = delete;
        BroadcastHold& operator=(const BroadcastHold&) = delete;

    private:
        Impl& impl_;
    };

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace navorel
