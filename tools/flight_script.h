#pragma once

// The scripted flight that the developer tools play: parked at a gate south of
// San Francisco's runway 28R, taxi, take-off, climb to 10000 ft, a racetrack
// pattern back, a 3-degree approach, touchdown, roll-out, taxi off the runway
// and shut-down (about 27 minutes of script time). The script is computed once
// in fixed steps, so a given script time always yields the same state.

#include <cstddef>
#include <map>
#include <vector>

namespace navorel::flight {

inline constexpr double kThresholdLat = 37.61353;  // runway 28R, east end
inline constexpr double kThresholdLon = -122.35716;
inline constexpr double kRunwayHeading = 297.9;  // true
inline constexpr double kMagneticVariation = 13.0;  // east
inline constexpr double kFieldElevationFt = 13.0;
inline constexpr double kFeetPerMetre = 3.280839895013123;
inline constexpr double kGateSouthMetres = 926.0;

enum class Phase { PARKED, TAXI, LINEUP, TAKEOFF, CLIMB, CRUISE, DESCENT, APPROACH, ROLLOUT, TAXI_IN, SHUTDOWN, END };
enum class Leg { GROUND, OUTBOUND, TURN_OUT, DOWNWIND, TURN_BASE, FINAL };

const char* phaseName(Phase phase);

struct State {
    double time = 0.0;
    Phase phase = Phase::PARKED;
    Leg leg = Leg::GROUND;
    double east = 0.0;  // metres from the threshold
    double north = -kGateSouthMetres;
    double heading = 0.0;  // true
    double speedKt = 0.0;
    double aglFt = 0.0;
    double vsFpm = 0.0;
    double pitch = 0.0;
    double bank = 0.0;
    bool onGround = true;
    double gear = 1.0;
    double flaps = 0.0;
    double spoilers = 0.0;
    bool engines = false;
    bool beacon = false;
    bool landingLight = false;
    bool taxiLight = false;
    bool strobe = false;
    double parkingBrake = 1.0;
    bool autopilot = false;
    double fuelKg = 5000.0;
    double phaseStart = 0.0;
};

// Degrees folded into [0, 360).
double wrapDegrees(double degrees);
// Position of the aircraft in degrees.
double latitudeOf(const State& s);
double longitudeOf(const State& s);

class FlightScript {
public:
    FlightScript();

    double length() const { return states_.back().time; }
    double phaseStart(Phase phase) const { return phaseStarts_.at(phase); }
    // The state at a script time, clamped to the script's length.
    const State& at(double time) const;

private:
    std::vector<State> states_;
    std::map<Phase, double> phaseStarts_;
};

}  // namespace navorel::flight
