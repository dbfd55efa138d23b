#pragma once

#include <chrono>
#include <iosfwd>

#include "app/CommandLine.h"

namespace navorel {

inline constexpr std::chrono::milliseconds kXPlaneProbeDuration{10000};

// The --xplane-probe mode: listens for the X-Plane plugin's telemetry for a
// while, prints the first few samples of each kind and a count, and returns
// the process exit code: 0 when flight data arrived, 1 otherwise (also when
// the telemetry port could not be opened). Runs no server and no supervision.
int RunXPlaneProbe(const BridgeOptions& options, std::chrono::milliseconds duration = kXPlaneProbeDuration);

// The same, writing to the given streams instead of standard output and error.
int RunXPlaneProbe(const BridgeOptions& options, std::chrono::milliseconds duration, std::ostream& out,
                   std::ostream& err);

}  // namespace navorel
