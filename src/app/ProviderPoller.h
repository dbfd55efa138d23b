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

    // awaitingTelemetry: the X-Plane socket is open but nothing has arrived
    // yet, which is not a lost connection.
    void poll(SimulatorProvider& provider, ReconnectionManager& reconnection, bool awaitingTelemetry);
    int consecutiveFailures() const { return consecutiveFailures_; }

private:
    int consecutiveFailures_ = 0;
};

}  // namespace navorel
