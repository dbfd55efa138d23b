#include "app/protocol/Messages.h"

#include <array>

#include "core/RecordRules.h"
#include "core/Text.h"

namespace navorel::protocol {

namespace {

constexpr const char* kServiceName = "Navorel Bridge";
constexpr const char* kBridgeProtocolVersion = "3.0";

constexpr std::array<std::string_view, 33> kSurfaceNames = {
    "Concrete",  "Grass",       "Water FSX",  "Grass Bumpy", "Asphalt",            "Short Grass", "Long Grass",
    "Hard Turf", "Snow",        "Ice",        "Urban",       "Forest",             "Dirt",        "Coral",
    "Gravel",    "Oil Treated", "Steel Mats", "Bituminous",  "Brick",              "Macadam",     "Planks",
    "Sand",      "Shale",       "Tarmac",     "Wright Flyer Track", "Reserved",    "Ocean",       "Water",
    "Pond",      "Lake",        "River",      "Waste Water", "Paint"};

constexpr std::array<std::string_view, 7> kDesignatorLetters = {"", "L", "R", "C", "W", "A", "B"};

constexpr std::array<std::string_view, 8> kCompassNumbers = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

constexpr std::array<std::string_view, 36> kRunwayNumbers = {
    "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12",
    "13", "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", "24",
    "25", "26", "27", "28", "29", "30", "31", "32", "33", "34", "35", "36"};

bool isEmptyPayload(const Json& data) {
    return data.is_null() || ((data.is_object() || data.is_array()) && data.empty());
}

// Starts a message: a pooled document may come back as any JSON value.
Json& begin(Json& m, const char* type) {
    m = Json::object();
    m["type"] = type;
    return m;
}

Json thresholdJson(const RunwayThreshold& threshold) {
    return {{"lengthFt", roundTo(threshold.lengthFt, 0)},
            {"widthFt", roundTo(threshold.widthFt, 0)},
            {"enabled", threshold.enabled},
            {"present", threshold.present}};
}

Json runwayJson(const RunwayEntry& runway) {
    return {{"latitude", roundTo(runway.latitude, 6)},
            {"longitude", roundTo(runway.longitude, 6)},
            {"altitudeFt", roundTo(runway.altitudeFt, 0)},
            {"headingDegrees", roundTo(runway.headingDegrees, 1)},
            {"lengthFt", roundTo(runway.lengthFt, 0)},
            {"widthFt", roundTo(runway.widthFt, 0)},
            {"surfaceCode", runway.surfaceCode},
            {"surface", std::string(runwaySurfaceName(runway.surfaceCode))},
            {"primaryNumber", runway.primaryNumber},
            {"primaryDesignatorCode", runway.primaryDesignatorCode},
            {"secondaryNumber", runway.secondaryNumber},
            {"secondaryDesignatorCode", runway.secondaryDesignatorCode},
            {"primaryDesignator", std::string(runwayDesignatorLetter(runway.primaryDesignatorCode))},
            {"secondaryDesignator", std::string(runwayDesignatorLetter(runway.secondaryDesignatorCode))},
            {"primaryIdent", runwayIdent(runway.primaryNumber, runway.primaryDesignatorCode)},
            {"secondaryIdent", runwayIdent(runway.secondaryNumber, runway.secondaryDesignatorCode)},
            {"primaryThreshold", thresholdJson(runway.primaryThreshold)},
            {"secondaryThreshold", thresholdJson(runway.secondaryThreshold)}};
}

}  // namespace

// ---- On connecting -------------------------------------------------------

void connection(Json& m, const std::string& clientId, std::size_t currentConnections) {
    begin(m, "connection");
    m["status"] = "connected";
    m["message"] = std::string("Connected to ") + kServiceName;
    m["version"] = kServerVersion;
    m["id"] = clientId;
    m["server"] = {{"maxConnections", kMaxConnections}, {"currentConnections", currentConnections}};
}

std::unique_ptr<Json> BuildSimStatus(JsonMessagePool& pool, bool simDetected, bool simConnected,
                                     const std::string& state, std::int64_t timestamp) {
    auto document = pool.AcquireJson();
    begin(*document, "sim_status");
    (*document)["sim_detected"] = simDetected;
    (*document)["sim_connected"] = simConnected;
    (*document)["state"] = state;
    (*document)["timestamp"] = timestamp;
    return document;
}

void acarsInfo(Json& m, const std::string& family, const std::string& variant, const std::string& process,
               std::int64_t timestamp) {
    begin(m, "acars_info");
    m["sim_family"] = family;
    m["sim_variant"] = variant;
    m["sim_process"] = validUtf8(process);
    m["bridge_name"] = kServiceName;
    m["bridge_version"] = kServerVersion;
    m["timestamp"] = timestamp;
}

// ---- Answers to one client --------------------------------------------------

void pong(Json& m, std::int64_t timestamp) {
    begin(m, "pong");
    m["timestamp"] = timestamp;
}

void statusResponse(Json& m, std::size_t connections, bool serverRunning, std::int64_t uptimeSeconds) {
    begin(m, "status_response");
    m["connections"] = connections;
    m["server_running"] = serverRunning;
    m["uptime"] = uptimeSeconds;
}

Json BuildSuccessResponse(const std::string& message, const Json& data, std::int64_t timestamp) {
    Json response = {{"type", "response"}, {"success", true}, {"message", message}, {"timestamp", timestamp}};
    if (!isEmptyPayload(data)) response["data"] = data;
    return response;
}

Json BuildErrorResponse(const std::string& message, const std::string& type, std::int64_t timestamp) {
    return {{"type", type}, {"success", false}, {"error", message}, {"timestamp", timestamp}};
}

void invalidJson(Json& m, const std::string& details) {
    begin(m, "error");
    m["message"] = "Invalid JSON format";
    m["details"] = details;
}

void processingError(Json& m, const std::string& text) {
    begin(m, "error");
    m["message"] = text;
}

Json bridgeStatus(std::int64_t timestamp) {
    return {{"bridge_version", kBridgeProtocolVersion}, {"status", "operational"}, {"timestamp", timestamp}};
}

// ---- Broadcasts ----------------------------------------------------------

std::unique_ptr<Json> BuildHeartbeatWarning(JsonMessagePool& pool, const std::string& message,
                                            std::int64_t timestamp) {
    auto document = pool.AcquireJson();
    begin(*document, "HEARTBEAT_WARNING");
    (*document)["message"] = message;
    (*document)["timestamp"] = timestamp;
    return document;
}

void preflightData(Json& m, const ApplicationStateManager::PreflightSummary& s) {
    begin(m, "preflight_data");
    m["timestamp"] = s.lastUpdate;
    if (s.position) {
        m["latitude"] = s.position->latitude;
        m["longitude"] = s.position->longitude;
        m["groundSpeedGps"] = s.position->groundSpeedGps;
    }
    if (s.parkingBrake) m["parkingBrake"] = *s.parkingBrake;
    if (s.title) m["title"] = *s.title;
    if (s.simOnGround) m["simOnGround"] = *s.simOnGround;
    if (s.fuel) {
        m["fuelVolume"] = s.fuel->volume;
        m["fuelWeight"] = s.fuel->weight;
    }
    if (s.engineRunning) {
        m["engine1Running"] = (*s.engineRunning)[0];
        m["engine2Running"] = (*s.engineRunning)[1];
        m["engine3Running"] = (*s.engineRunning)[2];
        m["engine4Running"] = (*s.engineRunning)[3];
    }
}

void flightData(Json& m, const FlightData& data, std::int64_t timestamp) {
    begin(m, "flight_data");
    m["latitude"] = roundTo(data.latitude, 6);
    m["longitude"] = roundTo(data.longitude, 6);
    m["altitude"] = roundTo(data.altitude, 0);
    m["altitudeIndicated"] = roundTo(data.altitudeIndicated, 0);
    m["altitudeAgl"] = roundTo(data.altitudeAgl, 0);
    m["heading"] = roundTo(data.heading, 1);
    m["airspeedIndicated"] = roundTo(data.airspeedIndicated, 1);
    m["verticalSpeed"] = roundToTens(data.verticalSpeed);
    m["pitch"] = roundTo(data.pitch, 2);
    m["bank"] = roundTo(data.bank, 2);
    m["groundSpeedGps"] = roundTo(data.groundSpeedGps, 1);
    m["fuelVolume"] = roundTo(data.fuelVolume, 1);
    m["fuelWeight"] = roundTo(data.fuelWeight, 0);
    m["pressureAltitude"] = roundTo(data.pressureAltitude, 0);
    m["timestamp"] = timestamp;
}

void aircraftInfo(Json& m, const std::string& title, std::int64_t timestamp) {
    begin(m, "aircraft_info");
    // A title cut inside a character would make the message unsendable.
    m["title"] = validUtf8(title);
    m["timestamp"] = timestamp;
}

void landingData(Json& m, const LandingData& data, std::int64_t timestamp) {
    begin(m, "landing_data");
    m["touchdownBankDegrees"] = data.touchdownBankDegrees;
    m["touchdownHeadingDegreesMagnetic"] = data.touchdownHeadingDegreesMagnetic;
    m["touchdownLatitudeDegrees"] = data.touchdownLatitudeDegrees;
    m["touchdownLongitudeDegrees"] = data.touchdownLongitudeDegrees;
    m["touchdownPitchDegrees"] = data.touchdownPitchDegrees;
    m["touchdownRate"] = data.touchdownRate;
    m["timestamp"] = timestamp;
}

void systemsData(Json& m, const SystemsSnapshot& s, std::int64_t timestamp) {
    begin(m, "systems_data");
    m["autopilotMaster"] = s.autopilotMaster;
    m["flapsHandleIndex"] = s.flapsHandleIndex;
    m["gearTotalPctExtended"] = s.gearTotalPctExtended;
    m["simOnGround"] = s.simOnGround;
    m["onAnyRunway"] = s.onAnyRunway;
    m["simulationRate"] = s.simulationRate;
    m["spoilersHandlePosition"] = s.spoilersHandlePosition;
    m["apuGeneratorActive"] = s.apuGeneratorActive;
    m["engine1Running"] = s.engineRunning[0];
    m["engine2Running"] = s.engineRunning[1];
    m["engine3Running"] = s.engineRunning[2];
    m["engine4Running"] = s.engineRunning[3];
    m["timestamp"] = timestamp;
}

void equipmentData(Json& m, const EquipmentData& data, std::int64_t timestamp) {
    begin(m, "equipment_data");
    m["lightBeacon"] = isOn(data.lightBeacon);
    m["lightNav"] = isOn(data.lightNav);
    m["lightLanding"] = isOn(data.lightLanding);
    m["lightTaxi"] = isOn(data.lightTaxi);
    m["lightStrobe"] = isOn(data.lightStrobe);
    m["doorMain"] = isOn(data.doorMain);
    m["parkingBrake"] = parkingBrakeSet(data);
    m["timestamp"] = timestamp;
}

void alertData(Json& m, const AlertData& data, std::int64_t timestamp) {
    begin(m, "alert_data");
    m["overspeedWarning"] = isOn(data.overspeedWarning);
    m["stallWarning"] = isOn(data.stallWarning);
    m["isSlewActive"] = isOn(data.isSlewActive);
    m["timestamp"] = timestamp;
}

void environmentData(Json& m, const EnvironmentData& data, std::int64_t timestamp) {
    begin(m, "environment_data");
    m["surfaceCondition"] = data.surfaceCondition;
    m["ambientPrecipState"] = data.ambientPrecipState;
    m["seaLevelPressure"] = roundTo(data.seaLevelPressure, 2);
    m["ambientTemperature"] = roundTo(data.ambientTemperature, 1);
    m["ambientVisibility"] = roundTo(data.ambientVisibility, 1);
    m["ambientWindDirection"] = roundTo(data.ambientWindDirection, 0);
    m["ambientWindVelocity"] = roundTo(data.ambientWindVelocity, 1);
    m["timestamp"] = timestamp;
}

void simEvent(Json& m, const char* event, const Json& data, std::int64_t timestamp) {
    begin(m, "sim_event");
    m["event"] = event;
    m["data"] = data;
    m["timestamp"] = timestamp;
}

void runwayInfo(Json& m, const PendingRunwayRequest& request, std::int64_t timestamp) {
    // Fixed-width simulator fields and scenery files are not always UTF-8.
    begin(m, "runway_info");
    m["icao"] = validUtf8(request.icao);
    m["airport"] = {
        {"name", validUtf8(request.name)},
        {"icao", validUtf8(request.airportIcao)},
        {"region", validUtf8(request.region)},
        {"latitude", roundTo(request.latitude, 6)},
        {"longitude", roundTo(request.longitude, 6)},
        {"altitudeFt", request.airportReceived ? roundTo(request.altitudeFt, 0) : 0.0},
        {"magneticVariation", roundTo(request.magneticVariation, 2)},
        {"runwayCount", request.runwayCount},
    };
    Json runways = Json::array();
    for (const RunwayEntry& runway : request.runways) runways.push_back(runwayJson(runway));
    m["runways"] = std::move(runways);
    m["timestamp"] = timestamp;
}

void runwayInfoError(Json& m, const std::string& icao, const std::string& error, std::int64_t timestamp) {
    begin(m, "runway_info_error");
    m["icao"] = validUtf8(icao);
    m["error"] = validUtf8(error);
    m["timestamp"] = timestamp;
}

std::string_view runwaySurfaceName(std::int32_t surfaceCode) {
    if (surfaceCode >= 0 && surfaceCode < static_cast<std::int32_t>(kSurfaceNames.size())) {
        return kSurfaceNames[static_cast<std::size_t>(surfaceCode)];
    }
    return surfaceCode == 255 ? "Undefined" : "Unknown";
}

std::string_view runwayDesignatorLetter(std::int32_t designatorCode) {
    if (designatorCode >= 0 && designatorCode < static_cast<std::int32_t>(kDesignatorLetters.size())) {
        return kDesignatorLetters[static_cast<std::size_t>(designatorCode)];
    }
    return {};
}

std::string_view runwayNumberText(std::int32_t number) {
    if (number >= 1 && number <= 36) return kRunwayNumbers[static_cast<std::size_t>(number - 1)];
    if (number >= 37 && number <= 44) return kCompassNumbers[static_cast<std::size_t>(number - 37)];
    return {};
}

std::string runwayIdent(std::int32_t number, std::int32_t designatorCode) {
    std::string ident(runwayNumberText(number));
    ident += runwayDesignatorLetter(designatorCode);
    return ident;
}

}  // namespace navorel::protocol
