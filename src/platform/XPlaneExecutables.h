#pragma once

#include <string>
#include <vector>

namespace navorel::platform {

// Executable names of X-Plane's main program, whose folder is the install
// root: "X-Plane.exe", and on Linux also the native "X-Plane-x86_64".
std::vector<std::string> xplaneMainExecutableNames();

}  // namespace navorel::platform
