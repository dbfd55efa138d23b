#pragma once

#include "core/ApplicationState.h"

namespace navorel {

class SimulatorProvider;

// Puts a connected provider into the data mode of an application state:
// PREFLIGHT periodic, ACTIVE a snapshot then on-change, IDLE its idle mode.
// Used on every state change and after every connection.
void applyProviderMode(SimulatorProvider& provider, ApplicationState state);

}  // namespace navorel
