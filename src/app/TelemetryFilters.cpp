#include "app/TelemetryFilters.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "core/RecordRules.h"

namespace navorel {

SpoilerStabiliser::Result SpoilerStabiliser::update(double value, SteadyTime now, bool newSample) {
    if (std::isnan(value)) {
        pending_ = false;
        return {std::isnan(stable_) ? value : stable_, false};
    }
    const bool stableRetracted = std::isnan(stable_) || std::fabs(stable_) <= kDeadBand;
    if (std::fabs(value - kGlitchValue) <= kGlitchTolerance && stableRetracted) {
        pending_ = false;
        return {std::isnan(stable_) ? 0.0 : stable_, false};
    }
    if (std::isnan(stable_)) {
        stable_ = value;
        pending_ = false;
        return {stable_, true};
    }
    if (newSample) {
        if (std::fabs(value - stable_) <= kDeadBand) {
            pending_ = false;
        } else if (pending_ && std::fabs(value - candidate_) > kDeadBand) {
            candidate_ = value;
            candidateTime_ = now;
        } else if (pending_) {
            candidate_ = value;
        } else {
            candidate_ = value;
            candidateTime_ = now;
            pending_ = true;
        }
    }
    if (pending_ && now - candidateTime_ >= kHoldTime) {
        stable_ = candidate_;
        pending_ = false;
        return {stable_, true};
    }
    return {stable_, false};
}

bool SpoilerStabiliser::forceZero() {
    const bool changed = std::isnan(stable_) || std::fabs(stable_) > kDeadBand;
    stable_ = 0.0;
    pending_ = false;
    return changed;
}

double SystemsFilter::flapValue(const SystemsData& data) {
    if (std::fabs(data.flapsHandleIndex) <= 0.001 && std::fabs(data.landFlapsPosition) > 0.001) {
        return data.landFlapsPosition;
    }
    return data.flapsHandleIndex;
}

std::optional<SystemsSnapshot> SystemsFilter::accept(const SystemsData& data, bool spoilersPinned,
                                                     SteadyTime now) {
    SystemsSnapshot next;
    next.autopilotMaster = isOn(data.autopilotMaster);
    next.flapsHandleIndex = flapValue(data);
    next.gearTotalPctExtended = data.gearTotalPctExtended;
    next.simOnGround = isOn(data.simOnGround);
    next.onAnyRunway = isOn(data.onAnyRunway);
    next.simulationRate = data.simulationRate;
    next.apuGeneratorActive = isOn(data.apuGeneratorActive);
    next.engineRunning[0] = isOn(data.engine1Running);
    next.engineRunning[1] = isOn(data.engine2Running);
    next.engineRunning[2] = isOn(data.engine3Running);
    next.engineRunning[3] = isOn(data.engine4Running);

    bool spoilerChanged = false;
    if (spoilersPinned) {
        spoilerChanged = spoiler_.forceZero();
        next.spoilersHandlePosition = 0.0;
    } else {
        latestRawSpoiler_ = roundTo(data.spoilersHandlePosition, 1);
        const auto result = spoiler_.update(latestRawSpoiler_, now, true);
        next.spoilersHandlePosition = result.value;
        spoilerChanged = result.changed;
    }

    const auto near = [](double a, double b) { return std::fabs(a - b) <= 0.001; };
    bool unchanged = false;
    if (last_) {
        const SystemsSnapshot& prev = *last_;
        unchanged = prev.autopilotMaster == next.autopilotMaster && prev.simOnGround == next.simOnGround &&
                    prev.onAnyRunway == next.onAnyRunway &&
                    prev.apuGeneratorActive == next.apuGeneratorActive &&
                    std::equal(std::begin(prev.engineRunning), std::end(prev.engineRunning),
                               std::begin(next.engineRunning)) &&
                    near(prev.flapsHandleIndex, next.flapsHandleIndex) &&
                    near(prev.gearTotalPctExtended, next.gearTotalPctExtended) &&
                    near(prev.simulationRate, next.simulationRate);
    }
    last_ = next;
    if (unchanged && !spoilerChanged) return std::nullopt;
    return next;
}

std::optional<SystemsSnapshot> SystemsFilter::recheck(SteadyTime now) {
    if (!last_) return std::nullopt;
    if (std::isnan(latestRawSpoiler_)) {
        spoiler_.clearPending();
        return std::nullopt;
    }
    const auto result = spoiler_.update(latestRawSpoiler_, now, false);
    if (!result.changed) return std::nullopt;
    last_->spoilersHandlePosition = result.value;
    return last_;
}

std::optional<bool> PauseFilter::onPauseEvent(bool paused, SteadyTime now) {
    if (known_ && reported_ == paused) {
        pending_ = false;
    } else if (!(pending_ && pendingValue_ == paused)) {
        pending_ = true;
        pendingValue_ = paused;
        pendingTime_ = now;
    }
    return check(now);
}

std::optional<bool> PauseFilter::check(SteadyTime now) {
    if (!pending_ || now - pendingTime_ < kHoldTime) return std::nullopt;
    reported_ = pendingValue_;
    known_ = true;
    pending_ = false;
    return reported_;
}

}  // namespace navorel
