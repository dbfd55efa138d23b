#include "app/runtime/SimulatorSelection.h"

#include "core/Text.h"
#include "msfs/FlightSimulatorAircraft.h"
#include "xplane/XPlaneExecutables.h"

namespace navorel {

SimulatorSelection::SimulatorSelection(SimulatorProvider& simConnect, SimulatorProvider& xplane,
                                       const BridgeOptions& options)
    : simConnect_(simConnect),
      xplane_(xplane),
      automatic_(options.autoDetect && !options.forceXPlane),
      usingXPlane_(options.forceXPlane) {
    for (const std::string& name : xplaneProcessNames()) xplaneNames_.insert(asciiLower(name));
}

std::vector<std::string> SimulatorSelection::watchedProcessNames(const BridgeOptions& options) {
    const std::vector<std::string> msfs = flightSimulatorProcessNames();
    if (options.forceXPlane) return xplaneProcessNames();
    if (!options.autoDetect) return msfs;
    std::vector<std::string> names = xplaneProcessNames();
    names.insert(names.end(), msfs.begin(), msfs.end());
    return names;
}

SimulatorProvider& SimulatorSelection::active() const { return usingXPlane() ? xplane_ : simConnect_; }

bool SimulatorSelection::isXPlaneProcess(const std::string& processName) const {
    return xplaneNames_.count(asciiLower(processName)) > 0;
}

}  // namespace navorel
