#pragma once

// Distances on the earth, taken as a sphere of radius 6371 km.

namespace navorel {

inline constexpr double kEarthRadiusMetres = 6371000.0;

double degreesToRadians(double degrees);

// Great-circle (haversine) distance in metres; never NaN for finite input.
double greatCircleMetres(double lat1, double lon1, double lat2, double lon2);

}  // namespace navorel
