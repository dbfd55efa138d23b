#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace navorel {

// Longest telemetry datagram the plugin may send; longer ones are dropped whole.
inline constexpr std::size_t kMaxPluginDatagramBytes = 2047;

inline constexpr double kFeetPerMetre = 3.280839895013123;
inline constexpr double kKnotsPerMetrePerSecond = 1.9438444924406046;
inline constexpr double kFeetPerMinutePerMetrePerSecond = 196.8503937007874;

// One telemetry datagram of the X-Plane plugin, converted to the units below.
// An empty optional means the key was absent or unreadable.
struct TelemetrySample {
    std::optional<std::int32_t> xplaneVersion;
    std::optional<std::int32_t> xplaneMajor;  // from "type", "xplane_version" or "xplane_major"
    std::optional<std::int64_t> tsMs;
    std::optional<std::int64_t> sessionId;

    std::optional<double> lat;                // degrees
    std::optional<double> lon;                // degrees
    std::optional<double> altFt;              // feet
    std::optional<double> altIndFt;           // feet
    std::optional<double> altAglFt;           // feet
    std::optional<double> pressureAltFt;      // feet
    std::optional<double> iasKt;              // knots
    std::optional<double> hdgDeg;             // degrees
    std::optional<double> vsFpm;              // feet per minute
    std::optional<double> pitchDeg;           // degrees
    std::optional<double> bankDeg;            // degrees
    std::optional<double> groundSpeedKt;      // knots
    std::optional<double> fuelMassKg;         // kg
    std::optional<double> fuelDensityKgL;     // kg per litre

    std::optional<double> autopilotMode;
    std::optional<double> flapsHandleRatio;
    std::optional<double> flapDetents;
    std::optional<bool> gearRetractable;
    std::optional<double> gearHandleDown;
    std::optional<double> gearDeployRatio;    // smallest of the legs
    std::optional<bool> onground;
    std::optional<bool> simOnGround;
    std::optional<bool> onRunway;
    std::optional<double> simulationRate;     // 1.0 when absent
    std::optional<double> spoilersRatio;
    std::optional<bool> apuGeneratorOn;
    std::optional<std::array<bool, 4>> engineRunning;

    std::optional<bool> lightBeacon;
    std::optional<bool> lightNav;
    std::optional<bool> lightLanding;
    std::optional<bool> lightTaxi;
    std::optional<bool> lightStrobe;
    std::optional<double> parkingBrakeRatio;
    std::optional<double> canopyOpen;

    std::optional<std::string> aircraftName;
    std::optional<double> vneKt;
    std::optional<double> stallWarning;
    std::optional<double> stallWarningFailure;
    std::optional<bool> paused;
    std::optional<bool> crashDetected;
    std::optional<std::string> nearestAirportIcao;  // never empty when present

    // "sim_on_ground" wins over "onground".
    std::optional<bool> groundFlag() const { return simOnGround ? simOnGround : onground; }
};

// Parses one datagram into sample (which starts fresh). False when the
// datagram is to be dropped: not JSON, not an object, or an unknown "type".
bool parsePluginDatagram(std::string_view text, TelemetrySample& sample);

// A decimal number at the start of text (leading white space allowed, the
// rest ignored). Empty for no number, out of range, NaN or infinity.
std::optional<double> parseNumberText(std::string_view text);

}  // namespace navorel
