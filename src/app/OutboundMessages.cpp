#include "app/OutboundMessages.h"

#include <cstring>
#include <exception>

#include <nlohmann/json.hpp>

#include "app/CommandLine.h"
#include "app/records/RecordRules.h"
#include "log/Logger.h"
#include "server/JsonMessagePool.h"
#include "server/WebSocketMessageHandler.h"
#include "supervision/ApplicationStateManager.h"

namespace navorel {

namespace {
constexpr const char* kMd11Prefix = "TFDi Design MD-11";
constexpr std::size_t kMd11PrefixLength = 17;
constexpr const char* kHeartbeatWarningText =
    "No ACARS heartbeat received in 9 minutes. Bridge will shutdown in 1 minute.";
}  // namespace

OutboundMessages::OutboundMessages(JsonMessagePool& pool, ApplicationStateManager& stateManager, Hooks hooks,
                                   const Clock& clock)
    : pool_(pool), stateManager_(stateManager), hooks_(std::move(hooks)), clock_(clock) {}

bool OutboundMessages::hasClient() const { return hooks_.clientCount() > 0; }

bool OutboundMessages::telemetryGateOpen() const { return hasClient() && stateManager_.isActive(); }

bool OutboundMessages::publish(const char* errorPrefix, const std::function<void(nlohmann::json&)>& fill) {
    try {
        std::unique_ptr<nlohmann::json> message = pool_.AcquireJson();
        *message = nlohmann::json::object();
        fill(*message);
        (*message)["timestamp"] = toUnixTicks100ns(clock_.systemNow());
        hooks_.broadcast(*message);
        pool_.ReleaseJson(std::move(message));
        return true;
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string(errorPrefix) + e.what());
        return false;
    }
}

void OutboundMessages::sendFlightData(const FlightData& data) {
    if (!hasClient()) return;
    stateManager_.updateFlight(data);
    if (!stateManager_.isActive()) return;
    publish("Error processing flight data: ", [&](nlohmann::json& m) {
        m["type"] = "flight_data";
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
    });
}

void OutboundMessages::sendAircraftInfo(const AircraftInfo& data, SampleSource source) {
    if (!hasClient()) return;
    // The record's field is fixed-size; never read past it.
    const std::string title(data.title, strnlen(data.title, sizeof data.title));
    if (source == SampleSource::SimConnect) {
        std::lock_guard lock(filtersMutex_);
        aircraftTitle_ = title;
    }
    stateManager_.updateTitle(title.c_str());
    if (!stateManager_.isActive()) return;
    publish("Error processing aircraft info: ", [&](nlohmann::json& m) {
        m["type"] = "aircraft_info";
        m["title"] = title;
    });
}

void OutboundMessages::sendLandingData(const LandingData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing landing data: ", [&](nlohmann::json& m) {
        m["type"] = "landing_data";
        m["touchdownBankDegrees"] = data.touchdownBankDegrees;
        m["touchdownHeadingDegreesMagnetic"] = data.touchdownHeadingDegreesMagnetic;
        m["touchdownLatitudeDegrees"] = data.touchdownLatitudeDegrees;
        m["touchdownLongitudeDegrees"] = data.touchdownLongitudeDegrees;
        m["touchdownPitchDegrees"] = data.touchdownPitchDegrees;
        m["touchdownRate"] = data.touchdownRate;
    });
}

void OutboundMessages::sendSystemsData(const SystemsData& data, SampleSource source) {
    if (!hasClient()) return;
    stateManager_.updateSystems(data);
    if (!stateManager_.isActive()) return;
    std::optional<SystemsSnapshot> toSend;
    {
        std::lock_guard lock(filtersMutex_);
        const bool md11 = source == SampleSource::SimConnect && aircraftTitle_.size() >= kMd11PrefixLength &&
                          std::memcmp(aircraftTitle_.data(), kMd11Prefix, kMd11PrefixLength) == 0;
        toSend = systemsFilter_.accept(data, md11, clock_.steadyNow());
    }
    if (toSend) sendSystemsSnapshot(*toSend);
}

void OutboundMessages::recheckSpoilers(SteadyTime now) {
    std::optional<SystemsSnapshot> toSend;
    {
        std::lock_guard lock(filtersMutex_);
        toSend = systemsFilter_.recheck(now);
    }
    if (toSend && telemetryGateOpen()) sendSystemsSnapshot(*toSend);
}

void OutboundMessages::sendSystemsSnapshot(const SystemsSnapshot& s) {
    publish("Error processing systems data: ", [&](nlohmann::json& m) {
        m["type"] = "systems_data";
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
    });
}

void OutboundMessages::sendEquipmentData(const EquipmentData& data) {
    if (!hasClient()) return;
    stateManager_.updateEquipment(data);
    if (!stateManager_.isActive()) return;
    publish("Error processing equipment data: ", [&](nlohmann::json& m) {
        m["type"] = "equipment_data";
        m["lightBeacon"] = isOn(data.lightBeacon);
        m["lightNav"] = isOn(data.lightNav);
        m["lightLanding"] = isOn(data.lightLanding);
        m["lightTaxi"] = isOn(data.lightTaxi);
        m["lightStrobe"] = isOn(data.lightStrobe);
        m["doorMain"] = isOn(data.doorMain);
        m["parkingBrake"] = parkingBrakeSet(data);
    });
}

void OutboundMessages::sendAlertData(const AlertData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing alert data: ", [&](nlohmann::json& m) {
        m["type"] = "alert_data";
        m["overspeedWarning"] = isOn(data.overspeedWarning);
        m["stallWarning"] = isOn(data.stallWarning);
        m["isSlewActive"] = isOn(data.isSlewActive);
    });
}

void OutboundMessages::sendEnvironmentData(const EnvironmentData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing environment data: ", [&](nlohmann::json& m) {
        m["type"] = "environment_data";
        m["surfaceCondition"] = data.surfaceCondition;
        m["ambientPrecipState"] = data.ambientPrecipState;
        m["seaLevelPressure"] = roundTo(data.seaLevelPressure, 2);
        m["ambientTemperature"] = roundTo(data.ambientTemperature, 1);
        m["ambientVisibility"] = roundTo(data.ambientVisibility, 1);
        m["ambientWindDirection"] = roundTo(data.ambientWindDirection, 0);
        m["ambientWindVelocity"] = roundTo(data.ambientWindVelocity, 1);
    });
}

void OutboundMessages::sendSimEvent(const char* event, const nlohmann::json& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing sim event: ", [&](nlohmann::json& m) {
        m["type"] = "sim_event";
        m["event"] = event;
        m["data"] = data;
    });
}

void OutboundMessages::handleSimEvent(std::uint32_t eventType, std::uint32_t data) {
    switch (eventType) {
        case SIM_EVENT_PAUSE: {
            std::optional<bool> report;
            {
                std::lock_guard lock(pauseMutex_);
                report = pauseFilter_.onPauseEvent(data != 0, clock_.steadyNow());
            }
            if (report) sendSimEvent("pause", *report ? 1 : 0);
            return;
        }
        case SIM_EVENT_CRASHED: sendSimEvent("crashed", data); return;
        case SIM_EVENT_SIM_STOP: sendSimEvent("sim_stop", data); return;
        default: sendSimEvent("unknown", data); return;
    }
}

void OutboundMessages::checkPauseEvent(SteadyTime now) {
    std::optional<bool> report;
    {
        std::lock_guard lock(pauseMutex_);
        report = pauseFilter_.check(now);
    }
    if (report) sendSimEvent("pause", *report ? 1 : 0);
}

void OutboundMessages::sendSimStop() { sendSimEvent("sim_stop", 0); }

std::unique_ptr<nlohmann::json> OutboundMessages::buildSimStatus() {
    return WebSocketMessageHandler::BuildSimStatus(pool_, hooks_.simDetected(), hooks_.simConnected(),
                                                   stateManager_.getStateName(), clock_);
}

void OutboundMessages::sendSimStatusIfChanged() {
    std::lock_guard lock(statusMutex_);
    const bool detected = hooks_.simDetected();
    const bool connected = hooks_.simConnected();
    const std::string state = stateManager_.getStateName();
    if (statusSent_ && detected == lastDetected_ && connected == lastConnected_ && state == lastState_) return;
    statusSent_ = true;
    lastDetected_ = detected;
    lastConnected_ = connected;
    lastState_ = state;
    if (!hasClient()) return;
    try {
        auto message = WebSocketMessageHandler::BuildSimStatus(pool_, detected, connected, state, clock_);
        hooks_.broadcast(*message);
        pool_.ReleaseJson(std::move(message));
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending sim status: ") + e.what());
    }
}

bool OutboundMessages::sendAcarsInfo() {
    if (!hasClient()) return false;
    const bool xplane = hooks_.usingXPlane();
    std::string variant;
    if (xplane) {
        const int version = hooks_.xplaneVersion();
        variant = version >= 1 ? std::to_string(version) : "unknown";
    } else {
        variant = hooks_.simulatorVariant();
    }
    std::string process = hooks_.detectedProcess();
    if (process.empty()) process = "unknown";
    return publish("Error sending acars info: ", [&](nlohmann::json& m) {
        m["type"] = "acars_info";
        m["sim_family"] = xplane ? "X-Plane" : "MSFS";
        m["sim_variant"] = variant;
        m["sim_process"] = process;
        m["bridge_name"] = kBridgeName;
        m["bridge_version"] = kBridgeVersion;
    });
}

void OutboundMessages::clearAcarsInfoFlag() {
    std::lock_guard lock(acarsMutex_);
    acarsInfoSent_ = false;
}

void OutboundMessages::sendAcarsInfoOnce() {
    std::lock_guard lock(acarsMutex_);
    if (!acarsInfoSent_) acarsInfoSent_ = sendAcarsInfo();
}

void OutboundMessages::sendHeartbeatWarning() {
    try {
        auto message = WebSocketMessageHandler::BuildHeartbeatWarning(pool_, kHeartbeatWarningText, clock_);
        hooks_.broadcast(*message);
        pool_.ReleaseJson(std::move(message));
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending heartbeat warning: ") + e.what());
    }
}

std::string OutboundMessages::currentAircraftTitle() const {
    std::lock_guard lock(filtersMutex_);
    return aircraftTitle_;
}

}  // namespace navorel
