#pragma once

#include <chrono>
#include <limits>
#include <optional>

#include "core/TelemetryRecords.h"
#include "core/Clock.h"

namespace navorel {

// Some aircraft report the spoiler handle flickering: a lone reading of about
// 34.3 while retracted, or short excursions. The stabiliser reports a new
// value only after it has held for 350 ms.
class SpoilerStabiliser {
public:
    struct Result {
        double value;
        bool changed;
    };

    static constexpr double kGlitchValue = 34.3;
    static constexpr double kGlitchTolerance = 0.2;
    static constexpr double kDeadBand = 0.05;
    static constexpr std::chrono::milliseconds kHoldTime{350};

    // newSample is false for the main loop's re-check, which only lets a held
    // candidate become stable.
    Result update(double value, SteadyTime now, bool newSample);
    // The MD-11 path pins the value to 0; returns whether that is a change.
    bool forceZero();
    void clearPending() { pending_ = false; }
    double stableValue() const { return stable_; }

private:
    double stable_ = std::numeric_limits<double>::quiet_NaN();
    bool pending_ = false;
    double candidate_ = 0.0;
    SteadyTime candidateTime_{};
};

// Values of one "systems_data" message after flap and spoiler selection.
struct SystemsSnapshot {
    bool autopilotMaster = false;
    double flapsHandleIndex = 0.0;
    double gearTotalPctExtended = 0.0;
    bool simOnGround = false;
    bool onAnyRunway = false;
    double simulationRate = 0.0;
    bool apuGeneratorActive = false;
    bool engineRunning[4] = {false, false, false, false};
    double spoilersHandlePosition = 0.0;
};

// Sends "systems_data" only when something a client cares about changed.
class SystemsFilter {
public:
    // Returns the snapshot to send, or nothing when the sample changed nothing.
    // spoilersPinned is the MD-11 rule (its handle variable is unusable).
    std::optional<SystemsSnapshot> accept(const SystemsData& data, bool spoilersPinned, SteadyTime now);
    // The main loop's re-check of a held spoiler change.
    std::optional<SystemsSnapshot> recheck(SteadyTime now);

    static double flapValue(const SystemsData& data);

private:
    SpoilerStabiliser spoiler_;
    std::optional<SystemsSnapshot> last_;
    double latestRawSpoiler_ = std::numeric_limits<double>::quiet_NaN();
};

// Reports a pause change only after it has held for 250 ms, so a quick
// pause/unpause (menus, loading) sends nothing.
class PauseFilter {
public:
    static constexpr std::chrono::milliseconds kHoldTime{250};

    // Returns the value to report when a change has now held long enough.
    std::optional<bool> onPauseEvent(bool paused, SteadyTime now);
    std::optional<bool> check(SteadyTime now);

private:
    bool known_ = false;
    bool reported_ = false;
    bool pending_ = false;
    bool pendingValue_ = false;
    SteadyTime pendingTime_{};
};

}  // namespace navorel
