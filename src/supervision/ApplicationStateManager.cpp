#include "supervision/ApplicationStateManager.h"

#include <cmath>

#include "core/RecordRules.h"
#include "core/Text.h"

namespace navorel {

namespace {

constexpr std::string_view kComponent = "ApplicationStateManager";

}  // namespace

ApplicationStateManager::ApplicationStateManager(Clock& clock, Logger& logger)
    : clock_(clock), logger_(logger), lastSent_(clock.steadyNow()) {}

void ApplicationStateManager::log(LogLevel level, const std::string& text) {
    if (logger_.wouldLog(level)) logger_.log(level, kComponent, text);
}

void ApplicationStateManager::setStateChangeCallback(StateChangeCallback callback) {
    stateChangeCallback_.set(std::move(callback));
}

void ApplicationStateManager::setState(ApplicationState newState, const std::string& reason) {
    const ApplicationState oldState = state_.exchange(newState);
    if (oldState == newState) return;

    log(LogLevel::INFO, stateChangeLine(applicationStateName(oldState), applicationStateName(newState), reason));

    if (newState == ApplicationState::PREFLIGHT) {
        // The values stay, but nothing is sent until it is fed again.
        std::lock_guard lock(snapshotLock_);
        snapshot_.fed.fill(false);
    }

    stateChangeCallback_(oldState, newState, reason);
}

void ApplicationStateManager::updateFlight(const FlightData& data) {
    if (!inPreflight()) return;
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.latitude = roundTo(data.latitude, 6);
    snapshot_.longitude = roundTo(data.longitude, 6);
    snapshot_.groundSpeedGps = roundTo(data.groundSpeedGps, 1);
    snapshot_.fuelVolume = roundTo(data.fuelVolume, 1);
    snapshot_.fuelWeight = roundTo(data.fuelWeight, 0);
    snapshot_.fed[POSITION] = true;
    snapshot_.fed[FUEL] = true;
    snapshot_.lastUpdate = now;
}

void ApplicationStateManager::updateEquipment(const EquipmentData& data) {
    if (!inPreflight()) return;
    const bool parkingBrake = parkingBrakeSet(data);
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.parkingBrake = parkingBrake;
    snapshot_.fed[PARKING_BRAKE] = true;
    snapshot_.lastUpdate = now;
}

void ApplicationStateManager::updateSystems(const SystemsData& data) {
    if (!inPreflight()) return;
    const bool onGround = isOn(data.simOnGround);
    const std::array<bool, 4> engines{isOn(data.engine1Running), isOn(data.engine2Running),
                                      isOn(data.engine3Running), isOn(data.engine4Running)};
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.simOnGround = onGround;
    snapshot_.engineRunning = engines;
    snapshot_.fed[ON_GROUND] = true;
    snapshot_.fed[ENGINES] = true;
    snapshot_.lastUpdate = now;
}

void ApplicationStateManager::updateTitle(const char* title) {
    if (title == nullptr) return;
    updateTitle(std::string_view(title));
}

void ApplicationStateManager::updateTitle(std::string_view title) {
    if (!inPreflight()) return;
    // A broken byte sequence would make every later summary unsendable.
    std::string text = validUtf8(title);
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.title = std::move(text);
    snapshot_.fed[TITLE] = true;
    snapshot_.lastUpdate = now;
}

std::optional<ApplicationStateManager::PreflightSummary> ApplicationStateManager::takePreflightSummary() {
    if (!inPreflight()) return std::nullopt;
    const SteadyTime now = clock_.steadyNow();
    Snapshot snapshot;
    {
        std::lock_guard lock(snapshotLock_);
        if (now - lastSent_ < std::chrono::milliseconds(kPreflightIntervalMs)) return std::nullopt;
        bool anyFed = false;
        for (const bool fed : snapshot_.fed) anyFed = anyFed || fed;
        if (!anyFed) return std::nullopt;
        snapshot = snapshot_;
        lastSent_ = now;
    }
    PreflightSummary summary;
    summary.lastUpdate = snapshot.lastUpdate;
    if (snapshot.fed[POSITION]) {
        summary.position = PreflightSummary::Position{snapshot.latitude, snapshot.longitude, snapshot.groundSpeedGps};
    }
    if (snapshot.fed[PARKING_BRAKE]) summary.parkingBrake = snapshot.parkingBrake;
    if (snapshot.fed[TITLE]) summary.title = snapshot.title;
    if (snapshot.fed[ON_GROUND]) summary.simOnGround = snapshot.simOnGround;
    if (snapshot.fed[FUEL]) summary.fuel = PreflightSummary::Fuel{snapshot.fuelVolume, snapshot.fuelWeight};
    if (snapshot.fed[ENGINES]) summary.engineRunning = snapshot.engineRunning;
    return summary;
}

}  // namespace navorel
