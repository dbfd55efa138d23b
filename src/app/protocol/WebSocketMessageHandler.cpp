#include "app/protocol/WebSocketMessageHandler.h"

#include <array>
#include <exception>
#include <utility>

#include "app/protocol/Messages.h"
#include "core/Text.h"

namespace navorel {

namespace {

constexpr std::string_view kServerComponent = "WebSocket";
constexpr std::string_view kComponent = "WebSocketMessageHandler";
// Parser and callback texts may quote the client's input at length.
constexpr std::size_t kErrorTextEchoLimit = 256;

using json = nlohmann::json;

// A client's text, bounded and always valid UTF-8.
std::string echo(std::string_view text, std::size_t limit = kClientTextEchoLimit) {
    return validUtf8(clientTextEcho(text, limit));
}

// A present string member, else the fallback (a member of another type counts
// as absent).
std::string stringMember(const json& command, const char* key, const char* fallback) {
    const auto it = command.find(key);
    if (it != command.end() && it->is_string()) return it->get<std::string>();
    return fallback;
}

const std::string* stringMemberOrNull(const json& command, const char* key) {
    const auto it = command.find(key);
    if (it == command.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

bool parseState(const std::string& text, ApplicationState& state) {
    static constexpr std::array<std::pair<const char*, ApplicationState>, 3> kStates{{
        {"IDLE", ApplicationState::IDLE},
        {"PREFLIGHT", ApplicationState::PREFLIGHT},
        {"ACTIVE", ApplicationState::ACTIVE},
    }};
    for (const auto& [name, value] : kStates) {
        if (text == name) {
            state = value;
            return true;
        }
    }
    return false;
}

// "paused" accepts booleans, numbers and a few words; false when the value is
// none of those.
bool readBooleanLike(const json& value, bool& result) {
    if (value.is_boolean()) {
        result = value.get<bool>();
        return true;
    }
    if (value.is_number()) {
        result = value.get<double>() != 0.0;
        return true;
    }
    if (!value.is_string()) return false;
    const std::string text = asciiLower(value.get<std::string>());
    if (text == "true" || text == "1" || text == "yes") {
        result = true;
        return true;
    }
    if (text == "false" || text == "0" || text == "no") {
        result = false;
        return true;
    }
    return false;
}

}  // namespace

void WebSocketMessageHandler::Log(LogLevel level, std::string_view component, const std::string& text) {
    if (logger_.wouldLog(level)) logger_.log(level, component, text);
}

std::int64_t WebSocketMessageHandler::Now() const { return toUnixTicks100ns(clock_.systemNow()); }

std::string WebSocketMessageHandler::Serialize(json document) {
    std::string text;
    try {
        text = document.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        // Only text that came from outside can be broken; the client still gets its answer.
        text = document.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    return text;
}

std::string WebSocketMessageHandler::HandleClientText(std::string_view text, SteadyTime connectedAt) {
    auto reply = pool_.AcquireJson();
    try {
        const json message = json::parse(text);
        if (!message.is_object() || !message.contains("type")) {
            throw std::runtime_error("Message missing 'type' field");
        }
        const std::string type = message.at("type").get<std::string>();
        if (type == "ping") {
            protocol::pong(*reply, Now());
        } else if (type == "status") {
            const ServerStatus server = serverStatus_ ? serverStatus_() : ServerStatus{};
            const auto uptime =
                std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.steadyNow() - connectedAt).count() /
                1'000'000'000;
            protocol::statusResponse(*reply, server.connections, server.running, uptime);
        } else {
            const CommandResult result = HandleCommand(message, type);
            *reply = result.success ? protocol::BuildSuccessResponse(result.message, result.data, Now())
                                    : protocol::BuildErrorResponse(result.message, "error", Now());
        }
    } catch (const json::exception& e) {
        const std::string details = echo(e.what(), kErrorTextEchoLimit);
        Log(LogLevel::ERROR, kServerComponent, "JSON parsing error: " + details);
        protocol::invalidJson(*reply, details);
    } catch (const std::exception& e) {
        const std::string what = echo(e.what(), kErrorTextEchoLimit);
        Log(LogLevel::ERROR, kServerComponent, "Message processing error: " + what);
        protocol::processingError(*reply, what);
    }
    std::string answer = Serialize(std::move(*reply));
    pool_.ReleaseJson(std::move(reply));
    return answer;
}

CommandResult WebSocketMessageHandler::HandleCommand(const json& command, const std::string& type) {
    Log(LogLevel::DEBUG, kComponent, "Processing command: " + echo(type));
    using Command = CommandResult (WebSocketMessageHandler::*)(const json&);
    static constexpr std::array<std::pair<const char*, Command>, 6> kCommands{{
        {"SET_STATE", &WebSocketMessageHandler::HandleSetState},
        {"HEARTBEAT", &WebSocketMessageHandler::HandleHeartbeat},
        {"SHUTDOWN", &WebSocketMessageHandler::HandleShutdown},
        {"STATUS", &WebSocketMessageHandler::HandleStatus},
        {"REQUEST_RUNWAY_INFO", &WebSocketMessageHandler::HandleRunwayInfo},
        {"SIM_CONTROL", &WebSocketMessageHandler::HandleSimControl},
    }};
    for (const auto& [name, handler] : kCommands) {
        if (type == name) return (this->*handler)(command);
    }
    const std::string unknown = "Unknown command type: " + echo(type);
    Log(LogLevel::WARN, kComponent, unknown);
    return CommandResult::Failure(unknown);
}

CommandResult WebSocketMessageHandler::HandleSetState(const json& command) {
    const std::string* stateText = stringMemberOrNull(command, "state");
    if (stateText == nullptr) return CommandResult::Failure("SET_STATE command requires 'state' field");
    ApplicationState state{};
    if (!parseState(*stateText, state)) {
        return CommandResult::Failure("Invalid state: " + echo(*stateText) +
                                      ". Valid states: IDLE, PREFLIGHT, ACTIVE");
    }
    const std::string reason = echo(stringMember(command, "reason", "ACARS command"));
    Log(LogLevel::INFO, kComponent, "State change requested: " + *stateText + " (" + reason + ")");
    if (stateChangeCallback_) stateChangeCallback_(state, reason);
    return CommandResult::Success("State changed to " + *stateText);
}

CommandResult WebSocketMessageHandler::HandleHeartbeat(const json&) {
    Log(LogLevel::DEBUG, kComponent, "Heartbeat received from ACARS");
    if (heartbeatCallback_) heartbeatCallback_();
    return CommandResult::Success("Heartbeat acknowledged");
}

CommandResult WebSocketMessageHandler::HandleShutdown(const json& command) {
    const std::string reason = echo(stringMember(command, "reason", "ACARS shutdown request"));
    Log(LogLevel::INFO, kComponent, "Shutdown requested: " + reason);
    if (shutdownCallback_) shutdownCallback_();
    return CommandResult::Success("Shutdown initiated");
}

CommandResult WebSocketMessageHandler::HandleStatus(const json&) {
    return CommandResult::Success("Status retrieved", protocol::bridgeStatus(Now()));
}

CommandResult WebSocketMessageHandler::HandleRunwayInfo(const json& command) {
    const std::string* icao = stringMemberOrNull(command, "icao");
    if (icao == nullptr) return CommandResult::Failure("REQUEST_RUNWAY_INFO command requires 'icao' field");
    if (icao->empty()) return CommandResult::Failure("ICAO code cannot be empty");
    if (!runwayInfoCallback_) return CommandResult::Failure("Runway info handler not configured");
    return runwayInfoCallback_(*icao);
}

CommandResult WebSocketMessageHandler::HandleSimControl(const json& command) {
    const std::string* action = stringMemberOrNull(command, "action");
    if (action == nullptr) return CommandResult::Failure("SIM_CONTROL command requires 'action' field");
    if (*action != "SET_PAUSE") return CommandResult::Failure("Unsupported SIM_CONTROL action: " + echo(*action));
    const auto pausedIt = command.find("paused");
    if (pausedIt == command.end()) return CommandResult::Failure("SET_PAUSE command requires 'paused' field");
    bool paused = false;
    if (!readBooleanLike(*pausedIt, paused)) {
        return CommandResult::Failure("SET_PAUSE 'paused' value must be boolean-like");
    }
    const std::string reason = echo(stringMember(command, "reason", "ACARS sim control"));
    if (!simControlCallback_) return CommandResult::Failure("SIM_CONTROL handler not configured");
    return simControlCallback_(paused, reason);
}

}  // namespace navorel
