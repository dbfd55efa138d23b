#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/ApplicationState.h"
#include "core/Clock.h"
#include "core/TelemetryRecords.h"
#include "log/Logger.h"
#include "supervision/GuardedCallback.h"

namespace navorel {

// Holds the flight phase the client announced, reports every change, and
// while in PREFLIGHT keeps a small aircraft snapshot that becomes a periodic
// "preflight_data" message. Any thread may call any method.
class ApplicationStateManager {
public:
    // The aircraft as last seen in PREFLIGHT; a group is absent until fed
    // after PREFLIGHT was entered.
    struct PreflightSummary {
        std::int64_t lastUpdate = 0;  // 100-ns units since 1970 (system clock)
        struct Position {
            double latitude;
            double longitude;
            double groundSpeedGps;
        };
        struct Fuel {
            double volume;
            double weight;
        };
        std::optional<Position> position;
        std::optional<bool> parkingBrake;
        std::optional<std::string> title;
        std::optional<bool> simOnGround;
        std::optional<Fuel> fuel;
        std::optional<std::array<bool, 4>> engineRunning;
    };

    using StateChangeCallback =
        std::function<void(ApplicationState oldState, ApplicationState newState, const std::string& reason)>;

    static constexpr std::int64_t kPreflightIntervalMs = 1000;

    explicit ApplicationStateManager(Clock& clock = Clock::real(), Logger& logger = Logger::instance());
    ApplicationStateManager(const ApplicationStateManager&) = delete;
    ApplicationStateManager& operator=(const ApplicationStateManager&) = delete;

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

    // The summary due now, or nothing: not PREFLIGHT, less than the interval
    // since the last one, or no group fed since PREFLIGHT was entered.
    std::optional<PreflightSummary> takePreflightSummary();

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
