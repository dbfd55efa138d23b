#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/records/TelemetryRecords.h"
#include "log/Logger.h"
#include "platform/Clock.h"
#include "supervision/GuardedCallback.h"
#include "supervision/ApplicationState.h"

namespace navorel {

class JsonMessagePool;

// Holds the flight phase the client announced, reports every change, and
// while in PREFLIGHT keeps a small aircraft snapshot that becomes a periodic
// "preflight_data" message. Any thread may call any method.
class ApplicationStateManager {
public:
    using StateChangeCallback =
        std::function<void(ApplicationState oldState, ApplicationState newState, const std::string& reason)>;

    static constexpr std::int64_t kPreflightIntervalMs = 1000;

    explicit ApplicationStateManager(Clock& clock = Clock::real(), Logger& logger = Logger::instance());
    ~ApplicationStateManager();
    ApplicationStateManager(const ApplicationStateManager&) = delete;
    ApplicationStateManager& operator=(const ApplicationStateManager&) = delete;

    // The process-wide instance the runtime installs for the run (null when
    // none). An instance that is destroyed while installed uninstalls itself.
    static ApplicationStateManager* instance();
    static void setInstance(ApplicationStateManager* manager);

    void setState(ApplicationState newState, const std::string& reason = {});
    ApplicationState getState() const { return state_.load(); }
    bool isActive() const { return getState() == ApplicationState::ACTIVE; }
    std::string getStateName() const { return applicationStateName(getState()); }

    // Runs on the thread that calls setState, with no lock held.
    void setStateChangeCallback(StateChangeCallback callback);

    // Snapshot feeds: ignored unless the state is PREFLIGHT.
    void updateFlight(const FlightData& data);
    void updateEquipment(const EquipmentData& data);
    void updateSystems(const SystemsData& data);
    void updateTitle(const char* title);  // null is ignored
    void updateTitle(std::string_view title);

    // A "preflight_data" object taken from `pool`, or null when nothing is
    // due: not PREFLIGHT, less than the interval since the last one, or no
    // group fed since PREFLIGHT was entered. The caller gives it back to the pool.
    std::unique_ptr<nlohmann::json> buildPreflightMessage(JsonMessagePool& pool);

private:
    enum Group : std::size_t { POSITION, PARKING_BRAKE, TITLE, ON_GROUND, FUEL, ENGINES, GROUP_COUNT };

    struct Snapshot {
        double latitude = 0.0;
        double longitude = 0.0;
        double groundSpeedGps = 0.0;
        bool parkingBrake = false;
        std::string title;
        bool simOnGround = true;
        double fuelVolume = 0.0;
        double fuelWeight = 0.0;
        std::array<bool, 4> engineRunning{};
        std::int64_t lastUpdate = 0;  // 100-ns units since 1970 (system clock)
        std::array<bool, GROUP_COUNT> fed{};
    };

    bool inPreflight() const { return getState() == ApplicationState::PREFLIGHT; }
    void log(LogLevel level, const std::string& text);

    Clock& clock_;
    Logger& logger_;
    std::atomic<ApplicationState> state_{ApplicationState::IDLE};

    GuardedCallback<StateChangeCallback> stateChangeCallback_;

    std::mutex snapshotLock_;  // guards snapshot_ and lastSent_; never held while calling out
    Snapshot snapshot_;
    SteadyTime lastSent_;
};

}  // namespace navorel
