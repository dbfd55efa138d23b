#pragma once

#include <functional>
#include <string>

#include "app/protocol/CommandResult.h"

namespace navorel {

class SimulatorProvider;

// SIM_CONTROL SET_PAUSE: forwards the wanted pause state to the active
// provider and answers at once. Whether the simulator really paused is seen
// later through its own pause event.
class PauseControl {
public:
    // The provider selected at the moment of the call, read once per request
    // so that an automatic switch cannot mix the two. Called on the server
    // thread; the provider's isConnected, setPaused and getLastError must be
    // safe there.
    using ActiveProviderFunction = std::function<SimulatorProvider&()>;

    explicit PauseControl(ActiveProviderFunction activeProvider);

    CommandResult handlePauseRequest(bool paused, const std::string& reason);

private:
    ActiveProviderFunction activeProvider_;
};

}  // namespace navorel
