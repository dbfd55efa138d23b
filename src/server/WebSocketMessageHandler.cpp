#include "server/WebSocketMessageHandler.h"

#include <array>
#include <utility>

#include "log/Logger.h"
#include "server/JsonMessagePool.h"

namespace navorel {

namespace {

constexpr const char* kComponent = "WebSocketMessageHandler";
constexpr const char* kBridgeProtocolVersion = "3.0";

using json = nlohmann::json;

std::int64_t nowTicks(const Clock& clock) { return toUnixTicks100ns(clock.systemNow()); }

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
    std::string text = value.get<std::string>();
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
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

bool isEmptyPayload(const json& data) {
    return data.is_null() || ((data.is_object() || data.is_array()) && data.empty());
}

}  // namespace

void WebSocketMessageHandler::Log(LogLevel level, const std::string& text) {
    if (logger_.wouldLog(level)) logger_.log(level, kComponent, text);
}

CommandResult WebSocketMessageHandler::HandleMessage(std::string_view text) {
    json command;
    try {
        command = json::parse(text);
    } catch (const json::exception& e) {
        Log(LogLevel::DEBUG, std::string("JSON parse error: ") + e.what());
        Log(LogLevel::WARN, "Received invalid JSON: " + std::string(text));
        return CommandResult::Failure("Invalid JSON format");
    }

    const std::string* type = command.is_object() ? stringMemberOrNull(command, "type") : nullptr;
    if (type == nullptr) {
        Log(LogLevel::WARN, "Message missing 'type' field");
        return CommandResult::Failure("Message must contain 'type' field");
    }
    Log(LogLevel::DEBUG, "Processing command: " + *type);

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
        if (*type == name) return (this->*handler)(command);
    }
    Log(LogLevel::WARN, "Unknown command type: " + *type);
    return CommandResult::Failure("Unknown command type: " + *type);
}

CommandResult WebSocketMessageHandler::HandleSetState(const json& command) {
    const std::string* stateText = stringMemberOrNull(command, "state");
    if (stateText == nullptr) return CommandResult::Failure("SET_STATE command requires 'state' field");
    ApplicationState state{};
    if (!parseState(*stateText, state)) {
        return CommandResult::Failure("Invalid state: " + *stateText + ". Valid states: IDLE, PREFLIGHT, ACTIVE");
    }
    const std::string reason = stringMember(command, "reason", "ACARS command");
    Log(LogLevel::INFO, "State change requested: " + *stateText + " (" + reason + ")");
    if (stateChangeCallback_) stateChangeCallback_(state, reason);
    return CommandResult::Success("State changed to " + *stateText);
}

CommandResult WebSocketMessageHandler::HandleHeartbeat(const json&) {
    Log(LogLevel::DEBUG, "Heartbeat received from ACARS");
    if (heartbeatCallback_) heartbeatCallback_();
    return CommandResult::Success("Heartbeat acknowledged");
}

CommandResult WebSocketMessageHandler::HandleShutdown(const json& command) {
    const std::string reason = stringMember(command, "reason", "ACARS shutdown request");
    Log(LogLevel::INFO, "Shutdown requested: " + reason);
    if (shutdownCallback_) shutdownCallback_();
    return CommandResult::Success("Shutdown initiated");
}

CommandResult WebSocketMessageHandler::HandleStatus(const json&) {
    json data = {{"bridge_version", kBridgeProtocolVersion},
                 {"status", "operational"},
                 {"timestamp", nowTicks(clock_)}};
    return CommandResult::Success("Status retrieved", std::move(data));
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
    if (*action != "SET_PAUSE") return CommandResult::Failure("Unsupported SIM_CONTROL action: " + *action);
    const auto pausedIt = command.find("paused");
    if (pausedIt == command.end()) return CommandResult::Failure("SET_PAUSE command requires 'paused' field");
    bool paused = false;
    if (!readBooleanLike(*pausedIt, paused)) {
        return CommandResult::Failure("SET_PAUSE 'paused' value must be boolean-like");
    }
    const std::string reason = stringMember(command, "reason", "ACARS sim control");
    if (!simControlCallback_) return CommandResult::Failure("SIM_CONTROL handler not configured");
    return simControlCallback_(paused, reason);
}

json WebSocketMessageHandler::BuildSuccessResponse(const std::string& message, const json& data,
                                                   const Clock& clock) {
    json response = {{"type", "response"}, {"success", true}, {"message", message}, {"timestamp", nowTicks(clock)}};
    if (!isEmptyPayload(data)) response["data"] = data;
    return response;
}

json WebSocketMessageHandler::BuildErrorResponse(const std::string& message, const std::string& type,
                                                 const Clock& clock) {
    return {{"type", type}, {"success", false}, {"error", message}, {"timestamp", nowTicks(clock)}};
}

std::unique_ptr<json> WebSocketMessageHandler::BuildHeartbeatWarning(JsonMessagePool& pool, const std::string& message,
                                                                     const Clock& clock) {
    auto document = pool.AcquireJson();
    *document = {{"type", "HEARTBEAT_WARNING"}, {"message", message}, {"timestamp", nowTicks(clock)}};
    return document;
}

std::unique_ptr<json> WebSocketMessageHandler::BuildSimStatus(JsonMessagePool& pool, bool simDetected,
                                                              bool simConnected, const std::string& state,
                                                              const Clock& clock) {
    auto document = pool.AcquireJson();
    *document = {{"type", "sim_status"},
                 {"sim_detected", simDetected},
                 {"sim_connected", simConnected},
                 {"state", state},
                 {"timestamp", nowTicks(clock)}};
    return document;
}

}  // namespace navorel
