#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Clock.h"

namespace navorel {

// The bridge's local HTTP/WebSocket server on 127.0.0.1: port selection,
// /health and /, up to five WebSocket clients, back-pressure, broadcast. It is
// transport only: what the messages say is the application's, through the
// handlers below. All network work runs on the server's own thread; other
// threads hand it work through BroadcastJson. The network stack stays inside
// the implementation.
class WebSocketServer {
public:
    // Kept with each WebSocket connection from its upgrade on.
    struct PerSocketData {
        std::string clientId;
        std::string remoteAddress;
        SteadyTime connectedAt{};
    };

    // The application's side of every connection, called on the server
    // thread. Given to the constructor, so no client can reach a server that
    // is not wired yet.
    struct Handlers {
        // A client has connected (clientCount includes it): the texts to send
        // it first, in order.
        std::function<std::vector<std::string>(const PerSocketData& client, std::size_t clientCount)> onOpen;
        // One text message from a client: the reply to it, or empty for none.
        std::function<std::string(const PerSocketData& client, std::string_view text)> onMessage;
        // A client has gone.
        std::function<void(const PerSocketData& client)> onClose;
    };

    static constexpr std::size_t kMaxConnections = 5;
    static constexpr const char* kServerVersion = "1.0.0";
    static constexpr const char* kServiceName = "Navorel Bridge";
    static constexpr std::size_t kMaxPayloadBytes = 1024 * 1024;
    // Most bytes of frames held for one client that its socket has not taken.
    static constexpr std::size_t kMaxQueuedBytesPerClient = 256 * 1024;
    static constexpr int kIdleTimeoutSeconds = 120;

    explicit WebSocketServer(std::uint16_t port, Handlers handlers = {}, std::vector<std::string> allowedOrigins = {},
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
    // True from Start until Stop begins.
    bool IsRunning() const;

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
