#include "xplane/PluginSlewDetector.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/Geometry.h"

namespace navorel {

namespace {

constexpr double kMetresPerNauticalMile = 1852.0;
constexpr auto kMaxLatLonSkew = std::chrono::milliseconds(250);
constexpr double kMinStepSeconds = 0.5;
constexpr double kMaxStepSeconds = 2.5;
constexpr double kJumpNauticalMiles = 1.0;
constexpr double kJumpFeet = 2000.0;
constexpr double kTeleportKnots = 8000.0;
constexpr double kTeleportNauticalMiles = 50.0;
constexpr double kCalmKnots = 800.0;
constexpr double kCalmFeetPerMinute = 3000.0;
constexpr auto kCalmHold = std::chrono::seconds(2);

double seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

void PluginSlewDetector::reset() {
    havePrevious_ = false;
    havePreviousAltitude_ = false;
    jumpCount_ = 0;
    excessCount_ = 0;
    calmTimerOn_ = false;
}

void PluginSlewDetector::endSlew() {
    if (active_) {
        known_ = true;
        active_ = false;
    }
    reset();
}

void PluginSlewDetector::store(const Position& position, SteadyTime now) {
    previousLatitude_ = position.latitude;
    previousLongitude_ = position.longitude;
    previousTime_ = now;
    if (position.altitude) {
        previousAltitude_ = *position.altitude;
        havePreviousAltitude_ = true;
    }
}

void PluginSlewDetector::startSlew(const Position& position, SteadyTime now) {
    known_ = true;
    active_ = true;
    jumpCount_ = 0;
    excessCount_ = 0;
    calmTimerOn_ = false;
    store(position, now);
}

void PluginSlewDetector::update(const Input& in) {
    const TelemetrySample& s = in.sample;
    const SteadyTime now = in.now;

    // Slewing only matters in flight: preflight, a paused simulator or a
    // stopped clock end it.
    const bool rateBad = s.simulationRate && (!std::isfinite(*s.simulationRate) || *s.simulationRate <= 0.0);
    if (in.mode == 1 || in.pausedSeen || rateBad) {
        endSlew();
        return;
    }

    if (!s.lat || !s.lon) return;
    if (!in.latSeenAt || !in.lonSeenAt) return;
    if (havePrevious_ && !(*in.latSeenAt > previousTime_ && previousTime_ < *in.lonSeenAt)) return;
    const auto skew = *in.latSeenAt > *in.lonSeenAt ? *in.latSeenAt - *in.lonSeenAt : *in.lonSeenAt - *in.latSeenAt;
    if (skew > kMaxLatLonSkew) return;

    Position position{*s.lat, *s.lon, s.altFt ? s.altFt : s.altIndFt};
    if (!std::isfinite(position.latitude) || !std::isfinite(position.longitude) || position.latitude < -90.0 ||
        position.latitude > 90.0 || position.longitude < -180.0 || position.longitude > 180.0 ||
        (position.altitude && !std::isfinite(*position.altitude))) {
        reset();
        return;
    }

    if (!havePrevious_) {
        havePreviousAltitude_ = false;
        store(position, now);
        havePrevious_ = true;
        jumpCount_ = 0;
        excessCount_ = 0;
        known_ = true;
        return;
    }

    const double dt = seconds(now - previousTime_);
    if (dt <= 0.0) {
        store(position, now);
        jumpCount_ = 0;
        return;
    }
    // Too close to the stored sample to measure a speed: keep the older one.
    if (dt < kMinStepSeconds) return;

    const double distance = greatCircleMetres(previousLatitude_, previousLongitude_, position.latitude,
                                              position.longitude);
    const double nm = distance / kMetresPerNauticalMile;
    const bool bothAltitudes = position.altitude && havePreviousAltitude_;
    const double altitudeChange = bothAltitudes ? std::fabs(*position.altitude - previousAltitude_) : 0.0;
    const bool jump = nm >= kJumpNauticalMiles || altitudeChange >= kJumpFeet;

    if (dt > kMaxStepSeconds) {
        jumpCount_ = 0;
        excessCount_ = 0;
        store(position, now);
        return;
    }

    double speed = distance / dt * 1.9438444924406046;
    double climb = bothAltitudes ? altitudeChange / dt * 60.0 : 0.0;
    if (s.simulationRate && std::isfinite(*s.simulationRate) && *s.simulationRate > 1.0) {
        speed /= *s.simulationRate;
        climb /= *s.simulationRate;
    }
    // A relocation (a new flight, a map click) rather than a slew.
    if (speed > kTeleportKnots || nm > kTeleportNauticalMiles) {
        jumpCount_ = 0;
        excessCount_ = 0;
        calmTimerOn_ = false;
        store(position, now);
        return;
    }

    const bool onGround = s.simOnGround.value_or(false);
    const double speedLimit = onGround ? 3000.0 : 2000.0;
    const double climbLimit = onGround ? 20000.0 : 15000.0;
    const bool excessive = speed > speedLimit || climb > climbLimit;
    const bool calm = speed < kCalmKnots && climb < kCalmFeetPerMinute;

    if (active_) {
        jumpCount_ = 0;
        if (calm) {
            if (!calmTimerOn_) {
                calmSince_ = now;
                calmTimerOn_ = true;
            }
            if (now - calmSince_ < kCalmHold) {
                store(position, now);
                return;
            }
            known_ = true;
            active_ = false;
        }
        calmTimerOn_ = false;
        store(position, now);
        return;
    }

    if (jump) {
        jumpCount_ = std::min(jumpCount_ + 1, 2);
        if (jumpCount_ == 2) {
            startSlew(position, now);
            return;
        }
    } else {
        jumpCount_ = 0;
    }
    if (!excessive) {
        excessCount_ = 0;
        store(position, now);
        return;
    }
    excessCount_ = std::min(excessCount_ + 1, 2);
    if (excessCount_ < 2) {
        store(position, now);
        return;
    }
    startSlew(position, now);
}

}  // namespace navorel
