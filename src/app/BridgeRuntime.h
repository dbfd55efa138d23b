#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace navorel {

// The simulator process names watched in the mode the options select.
std::vector<std::string> watchedProcessNames(const BridgeOptions& options);

// Start-up after the command line, the main loop and the shutdown order of the
// bridge. Owns every long-lived object for the run.
class BridgeRuntime {
public:
    // running is the process-wide flag that signals, SHUTDOWN and the
    // heartbeat time-out clear.
    BridgeRuntime(const BridgeOptions& options, std::atomic<bool>& running);

    // Returns the process exit code: 1 when the server cannot start, else 0.
    int run();

private:
    const BridgeOptions& options_;
    std::atomic<bool>& running_;
};

}  // namespace navorel
