#include "app/OutboundMessages.h"

#include <cstring>
#include <exception>

#include <nlohmann/json.hpp>

#include "app/protocol/Messages.h"
#include "core/JsonMessagePool.h"
#include "core/SimulatorProvider.h"
#include "log/Logger.h"
#include "msfs/FlightSimulatorAircraft.h"
#include "supervision/ApplicationStateManager.h"

namespace navorel {

OutboundMessages::OutboundMessages(JsonMessagePool& pool, ApplicationStateManager& stateManager, Hooks hooks,
                                   const Clock& clock)
    : pool_(pool), stateManager_(stateManager), hooks_(std::move(hooks)), clock_(clock) {}

bool OutboundMessages::hasClient() const { return hooks_.clientCount() > 0; }

bool OutboundMessages::telemetryGateOpen() const { return hasClient() && stateManager_.isActive(); }

bool OutboundMessages::publish(const char* errorPrefix,
                               const std::function<void(nlohmann::json&, std::int64_t)>& fill) {
    try {
        std::unique_ptr<nlohmann::json> message = pool_.AcquireJson();
        fill(*message, toUnixTicks100ns(clock_.systemNow()));
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
    publish("Error processing flight data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::flightData(m, data, now); });
}

void OutboundMessages::sendAircraftInfo(const AircraftInfo& data, SampleSource source) {
    if (!hasClient()) return;
    // The record's field is fixed-size; never read past it.
    const std::string title(data.title, strnlen(data.title, sizeof data.title));
    if (source == SampleSource::SimConnect) {
        std::lock_guard lock(filtersMutex_);
        aircraftTitle_ = title;
    }
    stateManager_.updateTitle(std::string_view(title));
    if (!stateManager_.isActive()) return;
    publish("Error processing aircraft info: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::aircraftInfo(m, title, now); });
}

void OutboundMessages::sendLandingData(const LandingData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing landing data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::landingData(m, data, now); });
}

void OutboundMessages::sendSystemsData(const SystemsData& data, SampleSource source) {
    if (!hasClient()) return;
    stateManager_.updateSystems(data);
    if (!stateManager_.isActive()) return;
    std::optional<SystemsSnapshot> toSend;
    {
        std::lock_guard lock(filtersMutex_);
        const bool pinned = source == SampleSource::SimConnect && spoilerHandleUnusable(aircraftTitle_);
        toSend = systemsFilter_.accept(data, pinned, clock_.steadyNow());
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

void OutboundMessages::sendSystemsSnapshot(const SystemsSnapshot& snapshot) {
    publish("Error processing systems data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::systemsData(m, snapshot, now); });
}

void OutboundMessages::sendEquipmentData(const EquipmentData& data) {
    if (!hasClient()) return;
    stateManager_.updateEquipment(data);
    if (!stateManager_.isActive()) return;
    publish("Error processing equipment data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::equipmentData(m, data, now); });
}

void OutboundMessages::sendAlertData(const AlertData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing alert data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::alertData(m, data, now); });
}

void OutboundMessages::sendEnvironmentData(const EnvironmentData& data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing environment data: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::environmentData(m, data, now); });
}

void OutboundMessages::sendSimEvent(const char* event, std::uint32_t data) {
    if (!telemetryGateOpen()) return;
    publish("Error processing sim event: ",
            [&](nlohmann::json& m, std::int64_t now) { protocol::simEvent(m, event, data, now); });
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
    return protocol::BuildSimStatus(pool_, hooks_.simDetected(), hooks_.activeProvider().isConnected(),
                                    stateManager_.getStateName(), toUnixTicks100ns(clock_.systemNow()));
}

void OutboundMessages::sendSimStatusIfChanged() {
    std::lock_guard lock(statusMutex_);
    const bool detected = hooks_.simDetected();
    const bool connected = hooks_.activeProvider().isConnected();
    const std::string state = stateManager_.getStateName();
    if (statusSent_ && detected == lastDetected_ && connected == lastConnected_ && state == lastState_) return;
    statusSent_ = true;
    lastDetected_ = detected;
    lastConnected_ = connected;
    lastState_ = state;
    if (!hasClient()) return;
    try {
        auto message =
            protocol::BuildSimStatus(pool_, detected, connected, state, toUnixTicks100ns(clock_.systemNow()));
        hooks_.broadcast(*message);
        pool_.ReleaseJson(std::move(message));
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending sim status: ") + e.what());
    }
}

bool OutboundMessages::sendAcarsInfo() {
    if (!hasClient()) return false;
    const SimulatorProvider& provider = hooks_.activeProvider();
    const std::string family = provider.simulatorFamily();
    const std::string variant = provider.simulatorVariant();
    std::string process = hooks_.detectedProcess();
    if (process.empty()) process = "unknown";
    return publish("Error sending acars info: ", [&](nlohmann::json& m, std::int64_t now) {
        protocol::acarsInfo(m, family, variant, process, now);
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
        auto message = protocol::BuildHeartbeatWarning(pool_, protocol::kHeartbeatWarningText,
                                                        toUnixTicks100ns(clock_.systemNow()));
        hooks_.broadcast(*message);
        pool_.ReleaseJson(std::move(message));
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending heartbeat warning: ") + e.what());
    }
}

void OutboundMessages::sendPreflightSummary() {
    if (!hasClient()) return;
    const auto summary = stateManager_.takePreflightSummary();
    if (!summary) return;
    publish("Error sending preflight data: ",
            [&](nlohmann::json& m, std::int64_t) { protocol::preflightData(m, *summary); });
}

std::string OutboundMessages::currentAircraftTitle() const {
    std::lock_guard lock(filtersMutex_);
    return aircraftTitle_;
}

}  // namespace navorel
