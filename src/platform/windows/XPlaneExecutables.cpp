#include "platform/XPlaneExecutables.h"

namespace navorel::platform {

std::vector<std::string> xplaneMainExecutableNames() { return {"X-Plane.exe"}; }

}  // namespace navorel::platform
