#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/protocol/CommandResult.h"
#include "core/ApplicationState.h"
#include "core/Clock.h"
#include "core/JsonMessagePool.h"
#include "log/Logger.h"

namespace navorel {

// Everything a client may send, read once and answered here:
//
//   {"type":"ping"}                       -> "pong"
//   {"type":"status"}                     -> "status_response"
//   {"type":"SET_STATE","state":"IDLE"|"PREFLIGHT"|"ACTIVE","reason"?}
//   {"type":"HEARTBEAT"}
//   {"type":"SHUTDOWN","reason"?}
//   {"type":"STATUS"}
//   {"type":"REQUEST_RUNWAY_INFO","icao":"KSFO"}
//   {"type":"SIM_CONTROL","action":"SET_PAUSE","paused":true|1|"yes"|...,"reason"?}
//
// Commands are answered with "response" or "error" (the builders are in
// Messages.h). Text taken from the client is echoed into replies and log
// lines only up to kClientTextEchoLimit bytes.
//
// Runs on the server thread; the setters are called before the server starts.
class WebSocketMessageHandler {
public:
    using StateChangeCallback = std::function<void(ApplicationState state, const std::string& reason)>;
    using HeartbeatCallback = std::function<void()>;
    using ShutdownCallback = std::function<void()>;
    using RunwayInfoCallback = std::function<CommandResult(const std::string& icao)>;
    using SimControlCallback = std::function<CommandResult(bool paused, const std::string& reason)>;
    // What "status" reports about the server: its client count and whether it runs.
    struct ServerStatus {
        std::size_t connections = 0;
        bool running = false;
    };
    using ServerStatusFunction = std::function<ServerStatus()>;

    explicit WebSocketMessageHandler(const Clock& clock = Clock::real(), Logger& logger = Logger::instance())
        : clock_(clock), logger_(logger) {}

    void SetStateChangeCallback(StateChangeCallback callback) { stateChangeCallback_ = std::move(callback); }
    void SetHeartbeatCallback(HeartbeatCallback callback) { heartbeatCallback_ = std::move(callback); }
    void SetShutdownCallback(ShutdownCallback callback) { shutdownCallback_ = std::move(callback); }
    void SetRunwayInfoCallback(RunwayInfoCallback callback) { runwayInfoCallback_ = std::move(callback); }
    void SetSimControlCallback(SimControlCallback callback) { simControlCallback_ = std::move(callback); }
    void SetServerStatusFunction(ServerStatusFunction function) { serverStatus_ = std::move(function); }

    // One text message from a client in, the reply for that client out (empty
    // when there is none). Never throws: a failing callback becomes an error
    // reply.
    std::string HandleClientText(std::string_view text, SteadyTime connectedAt);

    // The command part: one parsed message whose "type" is a string other
    // than "ping" and "status". Exceptions of the callbacks pass through.
    CommandResult HandleCommand(const nlohmann::json& command, const std::string& type);

private:
    CommandResult HandleSetState(const nlohmann::json& command);
    CommandResult HandleHeartbeat(const nlohmann::json& command);
    CommandResult HandleShutdown(const nlohmann::json& command);
    CommandResult HandleStatus(const nlohmann::json& command);
    CommandResult HandleRunwayInfo(const nlohmann::json& command);
    CommandResult HandleSimControl(const nlohmann::json& command);

    std::string Serialize(nlohmann::json document);
    std::int64_t Now() const;
    void Log(LogLevel level, std::string_view component, const std::string& text);

    const Clock& clock_;
    Logger& logger_;
    JsonMessagePool pool_;
    StateChangeCallback stateChangeCallback_;
    HeartbeatCallback heartbeatCallback_;
    ShutdownCallback shutdownCallback_;
    RunwayInfoCallback runwayInfoCallback_;
    SimControlCallback simControlCallback_;
    ServerStatusFunction serverStatus_;
};

}  // namespace navorel
