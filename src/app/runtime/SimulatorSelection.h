#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace navorel {

class SimulatorProvider;

// Which of the two providers serves the clients. The options fix it, or in
// automatic mode the detected simulator process chooses it. Changed on the
// main thread only; read from any thread.
class SimulatorSelection {
public:
    SimulatorSelection(SimulatorProvider& simConnect, SimulatorProvider& xplane, const BridgeOptions& options);

    // The simulator process names to watch in the mode the options select.
    static std::vector<std::string> watchedProcessNames(const BridgeOptions& options);

    SimulatorProvider& active() const;
    bool usingXPlane() const { return usingXPlane_.load(); }
    bool automatic() const { return automatic_; }

    // Automatic mode: whether a detected process name means X-Plane.
    bool isXPlaneProcess(const std::string& processName) const;
    void select(bool xplane) { usingXPlane_.store(xplane); }

    // Names used in log lines and the status line.
    const char* simulatorName() const { return usingXPlane() ? "X-Plane" : "Flight Simulator"; }
    const char* connectionName() const { return usingXPlane() ? "X-Plane plugin" : "SimConnect connection"; }
    const char* modeLabel() const { return usingXPlane() ? "X-Plane" : "MSFS"; }
    const char* connectionLabel() const { return usingXPlane() ? "XPlane Plugin" : "SimConnect"; }

private:
    SimulatorProvider& simConnect_;
    SimulatorProvider& xplane_;
    const bool automatic_;
    std::atomic<bool> usingXPlane_;
    std::set<std::string> xplaneNames_;  // lower case
};

}  // namespace navorel
