#pragma once

namespace navorel {

class SimulatorProvider;
class ReconnectionManager;

// The main loop's polling of the active provider: hands a lost connection to
// the reconnection manager and forces a reconnection when processing keeps
// failing.
class ProviderPoller {
public:
    static constexpr int kMaxFailuresInARow = 3;

    // A provider that is awaiting its first telemetry has not lost its
    // connection.
    void poll(SimulatorProvider& provider, ReconnectionManager& reconnection);
    int consecutiveFailures() const { return consecutiveFailures_; }

private:
    int consecutiveFailures_ = 0;
};

}  // namespace navorel
