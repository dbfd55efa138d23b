#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace navorel {

struct RunwayThreshold {
    bool present = false;
    bool enabled = false;
    float lengthFt = 0.0f;
    float widthFt = 0.0f;
};

struct RunwayEntry {
    std::uint32_t index = 0;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitudeFt = 0.0;
    float headingDegrees = 0.0f;
    float lengthFt = 0.0f;
    float widthFt = 0.0f;
    std::int32_t surfaceCode = 0;
    std::int32_t primaryNumber = 0;
    std::int32_t primaryDesignatorCode = 0;
    std::int32_t secondaryNumber = 0;
    std::int32_t secondaryDesignatorCode = 0;
    RunwayThreshold primaryThreshold;
    RunwayThreshold secondaryThreshold;
};

// One accepted REQUEST_RUNWAY_INFO, filled by the facility callbacks or an
// X-Plane lookup.
struct PendingRunwayRequest {
    std::string icao;
    SteadyTime startTime{};
    std::int64_t timeoutMs = 0;  // 0: no time-out
    bool airportReceived = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitudeFt = 0.0;
    float magneticVariation = 0.0f;
    std::string name;
    std::string airportIcao;
    std::string region;
    std::int32_t runwayCount = 0;
    std::vector<RunwayEntry> runways;
    std::map<std::uint32_t, std::size_t> runwayPositions;
};

}  // namespace navorel
