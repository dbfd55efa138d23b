#include "supervision/ApplicationStateManager.h"

#include <cmath>

#include "app/records/RecordRules.h"
#include "server/JsonMessagePool.h"

namespace navorel {

namespace {

constexpr std::string_view kComponent = "ApplicationStateManager";

std::atomic<ApplicationStateManager*> installedInstance{nullptr};

// A title with a broken byte sequence would make every later message fail to
// serialise, so bad bytes become U+FFFD here.
std::string validUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (valid && length >= 3) {
            // Overlong forms, UTF-16 surrogates and code points above U+10FFFF.
            const auto next = static_cast<unsigned char>(text[i + 1]);
            valid = !((lead == 0xE0 && next < 0xA0) || (lead == 0xED && next >= 0xA0) ||
                      (lead == 0xF0 && next < 0x90) || (lead == 0xF4 && next >= 0x90));
        }
        if (valid) {
            result.append(text.substr(i, length));
            i += length;
        } else {
            result += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return result;
}

}  // namespace

ApplicationStateManager::ApplicationStateManager(Clock& clock, Logger& logger)
    : clock_(clock), logger_(logger), lastSent_(clock.steadyNow()) {}

ApplicationStateManager::~ApplicationStateManager() {
    ApplicationStateManager* self = this;
    installedInstance.compare_exchange_strong(self, nullptr);
}

ApplicationStateManager* ApplicationStateManager::instance() { return installedInstance.load(); }

void ApplicationStateManager::setInstance(ApplicationStateManager* manager) { installedInstance.store(manager); }

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
    // Copies first: the record is packed, its members may be misaligned.
    const double latitude = data.latitude, longitude = data.longitude, groundSpeed = data.groundSpeedGps;
    const double fuelVolume = data.fuelVolume, fuelWeight = data.fuelWeight;
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.latitude = roundTo(latitude, 6);
    snapshot_.longitude = roundTo(longitude, 6);
    snapshot_.groundSpeedGps = roundTo(groundSpeed, 1);
    snapshot_.fuelVolume = roundTo(fuelVolume, 1);
    snapshot_.fuelWeight = roundTo(fuelWeight, 0);
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
    std::string text = validUtf8(title);
    const std::int64_t now = toUnixTicks100ns(clock_.systemNow());
    std::lock_guard lock(snapshotLock_);
    snapshot_.title = std::move(text);
    snapshot_.fed[TITLE] = true;
    snapshot_.lastUpdate = now;
}

std::unique_ptr<nlohmann::json> ApplicationStateManager::buildPreflightMessage(JsonMessagePool& pool) {
    if (!inPreflight()) return nullptr;
    const SteadyTime now = clock_.steadyNow();
    Snapshot snapshot;
    {
        std::lock_guard lock(snapshotLock_);
        if (now - lastSent_ < std::chrono::milliseconds(kPreflightIntervalMs)) return nullptr;
        bool anyFed = false;
        for (const bool fed : snapshot_.fed) anyFed = anyFed || fed;
        if (!anyFed) return nullptr;
        snapshot = snapshot_;
        lastSent_ = now;
    }

    std::unique_ptr<nlohmann::json> message = pool.AcquireJson();
    if (!message) message = std::make_unique<nlohmann::json>();
    if (!message->is_object() || !message->empty()) *message = nlohmann::json::object();
    nlohmann::json& m = *message;
    m["type"] = "preflight_data";
    m["timestamp"] = snapshot.lastUpdate;
    if (snapshot.fed[POSITION]) {
        m["latitude"] = snapshot.latitude;
        m["longitude"] = snapshot.longitude;
        m["groundSpeedGps"] = snapshot.groundSpeedGps;
    }
    if (snapshot.fed[PARKING_BRAKE]) m["parkingBrake"] = snapshot.parkingBrake;
    if (snapshot.fed[TITLE]) m["title"] = snapshot.title;
    if (snapshot.fed[ON_GROUND]) m["simOnGround"] = snapshot.simOnGround;
    if (snapshot.fed[FUEL]) {
        m["fuelVolume"] = snapshot.fuelVolume;
        m["fuelWeight"] = snapshot.fuelWeight;
    }
    if (snapshot.fed[ENGINES]) {
        m["engine1Running"] = snapshot.engineRunning[0];
        m["engine2Running"] = snapshot.engineRunning[1];
        m["engine3Running"] = snapshot.engineRunning[2];
        m["engine4Running"] = snapshot.engineRunning[3];
    }
    return message;
}

}  // namespace navorel
