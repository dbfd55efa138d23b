#include "platform/XPlaneExecutables.h"

namespace navorel::platform {

// Wine and Proton show the Windows executable; a native install runs its own binary.
std::vector<std::string> xplaneMainExecutableNames() { return {"X-Plane.exe", "X-Plane-x86_64"}; }

}  // namespace navorel::platform
