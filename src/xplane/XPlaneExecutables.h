#pragma once

#include <string>
#include <vector>

namespace navorel {

// Executable names of X-Plane's main program, whose folder is the install
// root. Wine and Proton show the Windows name; a native Linux install runs
// X-Plane-x86_64 (a name no Windows process has, so one list serves both).
inline std::vector<std::string> xplaneMainExecutableNames() { return {"X-Plane.exe", "X-Plane-x86_64"}; }

// Every process name that means X-Plane is running.
inline std::vector<std::string> xplaneProcessNames() {
    return {"X-Plane.exe", "X-Plane 12.exe", "X-Plane 11.exe", "X-Plane-x86_64"};
}

}  // namespace navorel
