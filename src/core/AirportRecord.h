#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace navorel {

// One land runway read from apt.dat; the codes use the facility code tables
// of the runway-information messages.
struct XPlaneRunwayRecord {
    double latitude = 0.0;
    double longitude = 0.0;
    double lengthMeters = 0.0;
    double widthMeters = 0.0;
    double headingDegrees = 0.0;  // true
    double primaryDisplacedThresholdMeters = 0.0;
    double secondaryDisplacedThresholdMeters = 0.0;
    std::int32_t surfaceCode = 0;
    std::int32_t primaryNumber = 0;
    std::int32_t primaryDesignatorCode = 0;
    std::int32_t secondaryNumber = 0;
    std::int32_t secondaryDesignatorCode = 0;
};

// An airport found in the X-Plane scenery files.
struct XPlaneAirportRecord {
    std::string icao;
    std::string name;
    std::string region;
    double elevationFt = 0.0;
    double latitude = 0.0;
    double longitude = 0.0;
    bool hasPosition = false;
    double magneticVariation = 0.0;
    bool hasMagneticVariation = false;
    std::vector<XPlaneRunwayRecord> runways;
};

}  // namespace navorel
