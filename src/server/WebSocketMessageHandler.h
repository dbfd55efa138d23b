#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "log/Logger.h"
#include "platform/Clock.h"
#include "server/CommandResult.h"
#include "supervision/ApplicationState.h"

namespace navorel {

class JsonMessagePool;

// Parses the client's JSON commands, checks their fields and hands them to the
// callbacks the bridge installs. Runs on the server thread; the setters are
// called before the handler is given to the server.
class WebSocketMessageHandler {
public:
    using StateChangeCallback = std::function<void(ApplicationState state, const std::string& reason)>;
    using HeartbeatCallback = std::function<void()>;
    using ShutdownCallback = std::function<void()>;
    using RunwayInfoCallback = std::function<CommandResult(const std::string& icao)>;
    using SimControlCallback = std::function<CommandResult(bool paused, const std::string& reason)>;

    explicit WebSocketMessageHandler(const Clock& clock = Clock::real(), Logger& logger = Logger::instance())
        : clock_(clock), logger_(logger) {}

    void SetStateChangeCallback(StateChangeCallback callback) { stateChangeCallback_ = std::move(callback); }
    void SetHeartbeatCallback(HeartbeatCallback callback) { heartbeatCallback_ = std::move(callback); }
    void SetShutdownCallback(ShutdownCallback callback) { shutdownCallback_ = std::move(callback); }
    void SetRunwayInfoCallback(RunwayInfoCallback callback) { runwayInfoCallback_ = std::move(callback); }
    void SetSimControlCallback(SimControlCallback callback) { simControlCallback_ = std::move(callback); }

    // One command text in, one result out. Malformed commands never throw;
    // exceptions of the callbacks pass through to the server.
    CommandResult HandleMessage(std::string_view text);

    static nlohmann::json BuildSuccessResponse(const std::string& message, const nlohmann::json& data,
                                               const Clock& clock = Clock::real());
    static nlohmann::json BuildErrorResponse(const std::string& message, const std::string& type,
                                             const Clock& clock = Clock::real());
    static std::unique_ptr<nlohmann::json> BuildHeartbeatWarning(JsonMessagePool& pool, const std::string& message,
                                                                  const Clock& clock = Clock::real());
    static std::unique_ptr<nlohmann::json> BuildSimStatus(JsonMessagePool& pool, bool simDetected,
                                                          bool simConnected, const std::string& state,
                                                          const Clock& clock = Clock::real());

private:
    CommandResult HandleSetState(const nlohmann::json& command);
    CommandResult HandleHeartbeat(const nlohmann::json& command);
    CommandResult HandleShutdown(const nlohmann::json& command);
    CommandResult HandleStatus(const nlohmann::json& command);
    CommandResult HandleRunwayInfo(const nlohmann::json& command);
    CommandResult HandleSimControl(const nlohmann::json& command);

    void Log(LogLevel level, const std::string& text);

    const Clock& clock_;
    Logger& logger_;
    StateChangeCallback stateChangeCallback_;
    HeartbeatCallback heartbeatCallback_;
    ShutdownCallback shutdownCallback_;
    RunwayInfoCallback runwayInfoCallback_;
    SimControlCallback simControlCallback_;
};

}  // namespace navorel
