#include "flight_script.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace navorel::flight {

namespace {

constexpr double kMetresPerDegree = 6371000.0 * std::numbers::pi / 180.0;
constexpr double kMetresPerSecondPerKnot = 0.514444;
constexpr double kStep = 0.1;  // script seconds per simulation step
constexpr double kTurnRate = 3.0;  // degrees per second
constexpr double kOutboundMetres = 40000.0;
constexpr double kDescentStartMetres = 25000.0;
constexpr double kBaseTurnMetres = -25000.0;
constexpr double kTouchdownAimMetres = 400.0;

// Signed smallest turn from one heading to another, degrees.
double turnBetween(double from, double to) { return std::remainder(to - from, 360.0); }

double approach(double value, double target, double maxStep) {
    return value + std::clamp(target - value, -maxStep, maxStep);
}

// Along-track (towards 297.9) and cross-track (to its right) metres.
double alongTrack(const State& s) {
    const double h = kRunwayHeading * std::numbers::pi / 180.0;
    return s.east * std::sin(h) + s.north * std::cos(h);
}
double crossTrack(const State& s) {
    const double h = kRunwayHeading * std::numbers::pi / 180.0;
    return s.east * std::cos(h) - s.north * std::sin(h);
}

void enter(State& s, Phase phase) {
    s.phase = phase;
    s.phaseStart = s.time;
}

void step(State& s) {
    const double dt = kStep;
    const double since = s.time - s.phaseStart;
    double targetHeading = s.heading;
    double headingRate = kTurnRate;

    switch (s.phase) {
    case Phase::PARKED:
        s.engines = s.time >= 15.0;
        s.beacon = s.time >= 10.0;
        if (s.time >= 28.0) s.parkingBrake = 0.0;
        if (s.time >= 30.0) enter(s, Phase::TAXI);
        break;
    case Phase::TAXI:
        s.taxiLight = true;
        s.flaps = 0.25;
        s.speedKt = approach(s.speedKt, 15.0, 2.0 * dt);
        targetHeading = 0.0;
        if (s.north >= 0.0) {
            s.north = 0.0;
            s.speedKt = 0.0;
            enter(s, Phase::LINEUP);
        }
        break;
    case Phase::LINEUP:
        targetHeading = kRunwayHeading;
        headingRate = 8.0;
        s.strobe = s.landingLight = true;
        s.taxiLight = false;
        if (since >= 10.0) enter(s, Phase::TAKEOFF);
        break;
    case Phase::TAKEOFF:
        targetHeading = kRunwayHeading;
        s.speedKt = approach(s.speedKt, 150.0, 3.5 * dt);
        if (s.speedKt >= 140.0) s.pitch = approach(s.pitch, 8.0, 3.0 * dt);
        if (s.speedKt >= 150.0) {
            s.onGround = false;
            s.leg = Leg::OUTBOUND;
            enter(s, Phase::CLIMB);
        }
        break;
    case Phase::CLIMB:
        s.speedKt = approach(s.speedKt, 250.0, 1.0 * dt);
        s.vsFpm = 1800.0;
        s.pitch = approach(s.pitch, 10.0, 1.0 * dt);
        if (since >= 5.0) s.gear = approach(s.gear, 0.0, dt / 8.0);
        if (s.aglFt >= 1500.0) s.flaps = 0.0;
        if (s.aglFt >= 1000.0) s.autopilot = true;
        if (s.aglFt >= 10000.0) {
            s.aglFt = 10000.0;
            enter(s, Phase::CRUISE);
        }
        break;
    case Phase::CRUISE:
        s.vsFpm = 0.0;
        s.pitch = approach(s.pitch, 2.0, 1.0 * dt);
        s.landingLight = false;
        if (s.leg == Leg::DOWNWIND && alongTrack(s) <= kDescentStartMetres) enter(s, Phase::DESCENT);
        break;
    case Phase::DESCENT:
        s.vsFpm = s.aglFt > 3000.0 ? -1500.0 : 0.0;
        s.pitch = approach(s.pitch, s.vsFpm < 0 ? -2.0 : 2.0, 1.0 * dt);
        if (s.aglFt < 3000.0) s.aglFt = 3000.0;
        if (s.leg == Leg::FINAL) enter(s, Phase::APPROACH);
        break;
    case Phase::APPROACH: {
        const double toGo = kTouchdownAimMetres - alongTrack(s);
        if (toGo < 20000.0) s.speedKt = approach(s.speedKt, 140.0, 1.0 * dt);
        if (toGo < 15000.0) s.gear = approach(s.gear, 1.0, dt / 8.0);
        s.flaps = toGo < 6000.0 ? 1.0 : toGo < 12000.0 ? 0.5 : s.flaps;
        s.landingLight = toGo < 15000.0;
        if (toGo < 5000.0) s.autopilot = false;
        const double glideFt = std::max(0.0, toGo * std::tan(3.0 * std::numbers::pi / 180.0) * kFeetPerMetre);
        if (s.aglFt < 30.0) {
            s.vsFpm = -150.0;  // flare
            s.pitch = approach(s.pitch, 5.0, 2.0 * dt);
        } else if (glideFt < s.aglFt) {
            const double next = std::max(glideFt, s.aglFt - 1500.0 / 60.0 * dt);
            s.vsFpm = (next - s.aglFt) / dt * 60.0;
            s.pitch = approach(s.pitch, 3.0, 1.0 * dt);
        } else {
            s.vsFpm = 0.0;
        }
        break;
    }
    case Phase::ROLLOUT:
        s.speedKt = approach(s.speedKt, 20.0, 3.9 * dt);
        s.pitch = approach(s.pitch, 0.0, 2.0 * dt);
        s.spoilers = s.speedKt > 60.0 ? 1.0 : 0.0;
        if (s.speedKt <= 20.0) {
            s.strobe = s.landingLight = false;
            s.taxiLight = true;
            s.flaps = 0.0;
            enter(s, Phase::TAXI_IN);
        }
        break;
    case Phase::TAXI_IN:
        s.speedKt = approach(s.speedKt, 15.0, 1.0 * dt);
        targetHeading = wrapDegrees(kRunwayHeading + 90.0);
        headingRate = 9.0;
        if (since >= 50.0) enter(s, Phase::SHUTDOWN);
        break;
    case Phase::SHUTDOWN:
        s.speedKt = approach(s.speedKt, 0.0, 5.0 * dt);
        s.taxiLight = false;
        s.parkingBrake = s.speedKt <= 0.0 ? 1.0 : 0.0;
        if (since >= 10.0) s.engines = false;
        if (since >= 15.0) s.beacon = false;
        if (since >= 20.0) enter(s, Phase::END);
        break;
    case Phase::END:
        break;
    }

    // Lateral path of the airborne part: out along the runway, a right
    // turn back, downwind, a right turn onto the extended centreline.
    switch (s.leg) {
    case Leg::GROUND:
    case Leg::OUTBOUND:
        if (s.leg == Leg::OUTBOUND) targetHeading = kRunwayHeading;
        if (s.leg == Leg::OUTBOUND && alongTrack(s) >= kOutboundMetres) s.leg = Leg::TURN_OUT;
        break;
    case Leg::TURN_OUT:
        targetHeading = wrapDegrees(s.heading + 30.0);
        if (std::fabs(turnBetween(s.heading, kRunwayHeading - 180.0)) < kTurnRate * dt) {
            s.heading = kRunwayHeading - 180.0;
            s.leg = Leg::DOWNWIND;
        }
        break;
    case Leg::DOWNWIND:
        targetHeading = kRunwayHeading - 180.0;
        if (alongTrack(s) <= kBaseTurnMetres) s.leg = Leg::TURN_BASE;
        break;
    case Leg::TURN_BASE:
        targetHeading = wrapDegrees(s.heading + 30.0);
        if (std::fabs(turnBetween(s.heading, kRunwayHeading)) < kTurnRate * dt) {
            s.heading = kRunwayHeading;
            s.leg = Leg::FINAL;
        }
        break;
    case Leg::FINAL:
        // Intercept: steer back onto the centreline in proportion to the offset.
        targetHeading = wrapDegrees(kRunwayHeading - std::clamp(crossTrack(s) * 0.02, -30.0, 30.0));
        break;
    }

    const double turn = std::clamp(turnBetween(s.heading, targetHeading), -headingRate * dt, headingRate * dt);
    s.heading = wrapDegrees(s.heading + turn);
    s.bank = s.onGround ? 0.0 : std::clamp(turn / dt / kTurnRate * 25.0, -25.0, 25.0);

    const double metres = s.speedKt * kMetresPerSecondPerKnot * dt;
    const double h = s.heading * std::numbers::pi / 180.0;
    s.east += metres * std::sin(h);
    s.north += metres * std::cos(h);
    if (!s.onGround) {
        s.aglFt = std::max(0.0, s.aglFt + s.vsFpm / 60.0 * dt);
        if (s.aglFt <= 0.0 && s.vsFpm < 0.0) {  // touchdown
            s.aglFt = 0.0;
            s.onGround = true;
            s.leg = Leg::GROUND;
            enter(s, Phase::ROLLOUT);
        }
    } else {
        s.vsFpm = 0.0;
    }
    if (s.engines) s.fuelKg -= (s.onGround ? 0.2 : 0.8) * dt;
    s.time += dt;
}

}  // namespace

const char* phaseName(Phase phase) {
    static constexpr const char* kNames[] = {"parked", "taxi",     "lineup",  "takeoff", "climb",    "cruise",
                                             "descent", "approach", "rollout", "taxi-in", "shutdown", "end"};
    return kNames[static_cast<int>(phase)];
}

double wrapDegrees(double degrees) {
    degrees = std::fmod(degrees, 360.0);
    return degrees < 0 ? degrees + 360.0 : degrees;
}

double latitudeOf(const State& s) { return kThresholdLat + s.north / kMetresPerDegree; }

double longitudeOf(const State& s) {
    return kThresholdLon + s.east / (kMetresPerDegree * std::cos(kThresholdLat * std::numbers::pi / 180.0));
}

FlightScript::FlightScript() {
    State s;
    // The time cap only guards against a script that never lands.
    while (s.phase != Phase::END && s.time < 4 * 3600.0) {
        states_.push_back(s);
        step(s);
    }
    states_.push_back(s);
    for (const State& state : states_) {
        if (!phaseStarts_.count(state.phase)) phaseStarts_[state.phase] = state.time;
    }
}

const State& FlightScript::at(double time) const {
    const auto index = static_cast<std::size_t>(std::clamp(time, 0.0, length()) / kStep + 1e-6);
    return states_[std::min(index, states_.size() - 1)];
}

}  // namespace navorel::flight
