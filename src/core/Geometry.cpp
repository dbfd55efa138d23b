#include "core/Geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace navorel {

double degreesToRadians(double degrees) { return degrees * std::numbers::pi / 180.0; }

double greatCircleMetres(double lat1, double lon1, double lat2, double lon2) {
    const double phi1 = degreesToRadians(lat1);
    const double phi2 = degreesToRadians(lat2);
    const double sinDPhi = std::sin((phi2 - phi1) / 2.0);
    const double sinDLambda = std::sin(degreesToRadians(lon2 - lon1) / 2.0);
    // Rounding (or coordinates out of range) may push the term just outside [0, 1].
    const double a =
        std::clamp(sinDPhi * sinDPhi + std::cos(phi1) * std::cos(phi2) * sinDLambda * sinDLambda, 0.0, 1.0);
    return 2.0 * std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * kEarthRadiusMetres;
}

}  // namespace navorel
