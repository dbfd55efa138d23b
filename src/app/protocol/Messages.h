#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/RunwayRecords.h"
#include "app/TelemetryFilters.h"
#include "core/JsonMessagePool.h"
#include "core/TelemetryRecords.h"
#include "supervision/ApplicationStateManager.h"

// Every message the bridge sends to its clients, in the order a client meets
// them. Each builder fills one JSON object; the objects are ordered maps, so
// keys reach the wire in ascending order wherever they are set here.
// "timestamp" is always the caller's system time in 100-ns units since 1970.

namespace navorel::protocol {

using Json = nlohmann::json;

inline constexpr const char* kServerVersion = "1.0.0";
inline constexpr std::size_t kMaxConnections = 5;

// ---- On connecting -------------------------------------------------------

// "connection": the welcome, sent once right after the upgrade.
void connection(Json& m, const std::string& clientId, std::size_t currentConnections);

// "sim_status": after the welcome, then on every change.
std::unique_ptr<Json> BuildSimStatus(JsonMessagePool& pool, bool simDetected, bool simConnected,
                                     const std::string& state, std::int64_t timestamp);

// "acars_info": which simulator and bridge the flight is logged with.
void acarsInfo(Json& m, const std::string& family, const std::string& variant, const std::string& process,
               std::int64_t timestamp);

// ---- Answers to one client --------------------------------------------------

// Answer to {"type":"ping"}.
void pong(Json& m, std::int64_t timestamp);
// Answer to {"type":"status"}.
void statusResponse(Json& m, std::size_t connections, bool serverRunning, std::int64_t uptimeSeconds);

// "response": a command succeeded; "data" only when it is not null or empty.
Json BuildSuccessResponse(const std::string& message, const Json& data, std::int64_t timestamp);
// "error" with "success" false: a command failed.
Json BuildErrorResponse(const std::string& message, const std::string& type, std::int64_t timestamp);
// "error" for a text that is not JSON (details: the parser's text).
void invalidJson(Json& m, const std::string& details);
// "error" for a message that could not be handled (message: why).
void processingError(Json& m, const std::string& text);
// The "data" of the STATUS command's response.
Json bridgeStatus(std::int64_t timestamp);

// ---- Broadcasts ----------------------------------------------------------

std::unique_ptr<Json> BuildHeartbeatWarning(JsonMessagePool& pool, const std::string& message,
                                            std::int64_t timestamp);
inline constexpr const char* kHeartbeatWarningText =
    "No ACARS heartbeat received in 9 minutes. Bridge will shutdown in 1 minute.";

// "preflight_data": the PREFLIGHT summary, with the groups seen so far.
void preflightData(Json& m, const ApplicationStateManager::PreflightSummary& summary);

// Telemetry in ACTIVE.
void flightData(Json& m, const FlightData& data, std::int64_t timestamp);
void aircraftInfo(Json& m, const std::string& title, std::int64_t timestamp);
void landingData(Json& m, const LandingData& data, std::int64_t timestamp);
void systemsData(Json& m, const SystemsSnapshot& snapshot, std::int64_t timestamp);
void equipmentData(Json& m, const EquipmentData& data, std::int64_t timestamp);
void alertData(Json& m, const AlertData& data, std::int64_t timestamp);
void environmentData(Json& m, const EnvironmentData& data, std::int64_t timestamp);
// "sim_event": "pause" (data 1/0), "crashed", "sim_stop" or "unknown".
void simEvent(Json& m, const char* event, const Json& data, std::int64_t timestamp);

// "runway_info" and "runway_info_error": the answers to REQUEST_RUNWAY_INFO.
void runwayInfo(Json& m, const PendingRunwayRequest& request, std::int64_t timestamp);
void runwayInfoError(Json& m, const std::string& icao, const std::string& error, std::int64_t timestamp);

// Code tables of the runway messages (the simulator's facility codes; the
// X-Plane database maps its own codes onto them).
std::string_view runwaySurfaceName(std::int32_t surfaceCode);
std::string_view runwayDesignatorLetter(std::int32_t designatorCode);
std::string_view runwayNumberText(std::int32_t number);
// Number text followed by the designator letter, e.g. 9 and 1 give "09L".
std::string runwayIdent(std::int32_t number, std::int32_t designatorCode);

}  // namespace navorel::protocol
