#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "app/TelemetryFilters.h"
#include "core/Clock.h"
#include "core/TelemetryRecords.h"

namespace navorel {

class ApplicationStateManager;
class JsonMessagePool;
class SimulatorProvider;

// Which provider delivered a sample: a few rules apply to SimConnect only.
enum class SampleSource { SimConnect, XPlane };

// Turns provider samples and supervision events into the messages the bridge
// broadcasts on its own initiative, with the telemetry gate, rounding and
// filters. Samples arrive on the main thread and, when a client changes the
// state, on the server thread; the filter states are guarded so both may call.
class OutboundMessages {
public:
    // What the messages read from the rest of the bridge; each is called on
    // the main and the server thread.
    struct Hooks {
        std::function<void(const nlohmann::json&)> broadcast;
        std::function<std::size_t()> clientCount;
        std::function<bool()> simDetected;
        std::function<SimulatorProvider&()> activeProvider;
        std::function<std::string()> detectedProcess;
    };

    OutboundMessages(JsonMessagePool& pool, ApplicationStateManager& stateManager, Hooks hooks,
                     const Clock& clock = Clock::real());

    void sendFlightData(const FlightData& data);
    void sendAircraftInfo(const AircraftInfo& data, SampleSource source);
    void sendLandingData(const LandingData& data);
    void sendSystemsData(const SystemsData& data, SampleSource source);
    void sendEquipmentData(const EquipmentData& data);
    void sendAlertData(const AlertData& data);
    void sendEnvironmentData(const EnvironmentData& data);
    void handleSimEvent(std::uint32_t eventType, std::uint32_t data);
    void checkPauseEvent(SteadyTime now);
    void recheckSpoilers(SteadyTime now);
    void sendSimStatusIfChanged();
    // The X-Plane process ended while a flight was active.
    void sendSimStop();
    bool sendAcarsInfo();
    void sendHeartbeatWarning();
    // "preflight_data" when one is due (a client connected, PREFLIGHT).
    void sendPreflightSummary();
    // A new "sim_status" object for a client that just connected.
    std::unique_ptr<nlohmann::json> buildSimStatus();

    // The "acars_info" sent flag: cleared on entering PREFLIGHT or IDLE; while
    // clear, sendAcarsInfoOnce sends and keeps whether the message went out.
    void clearAcarsInfoFlag();
    void sendAcarsInfoOnce();

    std::string currentAircraftTitle() const;

private:
    bool hasClient() const;
    bool telemetryGateOpen() const;
    // Fills a pooled document with a builder of the protocol, broadcasts it and
    // returns it to the pool; a failure is logged with the builder's prefix
    // and the message dropped.
    bool publish(const char* errorPrefix, const std::function<void(nlohmann::json&, std::int64_t)>& fill);
    void sendSystemsSnapshot(const SystemsSnapshot& snapshot);
    void sendSimEvent(const char* event, std::uint32_t data);

    JsonMessagePool& pool_;
    ApplicationStateManager& stateManager_;
    Hooks hooks_;
    const Clock& clock_;

    mutable std::mutex filtersMutex_;  // systems filter, aircraft title
    SystemsFilter systemsFilter_;
    std::string aircraftTitle_;

    std::mutex pauseMutex_;
    PauseFilter pauseFilter_;

    // Held across reading, comparing and posting so that concurrent callers
    // post their "sim_status" messages in the order they decided them.
    std::mutex statusMutex_;
    bool statusSent_ = false;
    bool lastDetected_ = false;
    bool lastConnected_ = false;
    std::string lastState_;

    std::mutex acarsMutex_;
    bool acarsInfoSent_ = false;
};

}  // namespace navorel
