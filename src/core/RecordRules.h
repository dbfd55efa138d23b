#pragma once

#include <cmath>

#include "core/TelemetryRecords.h"

// Value rules shared by everything that reads the records.

namespace navorel {

inline constexpr double kFeetPerMetre = 3.280839895013123;

// Rounds to n decimals with halves away from zero; NaN and infinities pass
// unchanged, and so do values too large to scale (they have no decimals left).
inline double roundTo(double value, int decimals) {
    if (!std::isfinite(value)) return value;
    const double scale = std::pow(10.0, decimals);
    const double scaled = value * scale;
    if (!std::isfinite(scaled)) return value;
    return std::round(scaled) / scale;
}

// Rounds to the nearest ten (vertical speed).
inline double roundToTens(double value) {
    if (!std::isfinite(value)) return value;
    return std::round(value / 10.0) * 10.0;
}

// A boolean-like record field.
inline bool isOn(double value) { return value > 0.5; }

// The simulator's parking brake folded with the aircraft-specific sources;
// parkingBrakePosition is either 0..1 or 0..100.
inline bool parkingBrakeSet(const EquipmentData& data) {
    const double position = data.parkingBrakePosition;
    return isOn(data.parkingBrake) || data.parkingBrakeSwitchPercent >= 50.0 ||
           isOn(data.parkingBrakeLeverPosition) || isOn(data.parkingBrakeMipSwitch) ||
           (position > 1.0 ? position >= 50.0 : position > 0.5);
}

}  // namespace navorel
