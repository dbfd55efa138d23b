#include "app/runtime/ProviderModes.h"

#include "core/SimulatorProvider.h"

namespace navorel {

void applyProviderMode(SimulatorProvider& provider, ApplicationState state) {
    switch (state) {
        case ApplicationState::PREFLIGHT: provider.setPreflightMode(); return;
        case ApplicationState::ACTIVE:
            provider.requestDataSnapshot();
            provider.setActiveMode();
            return;
        case ApplicationState::IDLE: provider.setIdleMode(); return;
        case ApplicationState::SHUTDOWN: return;
    }
}

}  // namespace navorel
