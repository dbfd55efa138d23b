#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace navorel {

// Every process name that means Microsoft Flight Simulator is running.
inline std::vector<std::string> flightSimulatorProcessNames() {
    return {"FlightSimulator.exe", "FlightSimulator2024.exe"};
}

// Aircraft whose "SPOILERS HANDLE POSITION" does not follow the handle: the
// TFDi MD-11 reports values while the spoilers are stowed, so its spoilers
// are taken as retracted.
inline bool spoilerHandleUnusable(std::string_view aircraftTitle) {
    return aircraftTitle.substr(0, 17) == "TFDi Design MD-11";
}

}  // namespace navorel
