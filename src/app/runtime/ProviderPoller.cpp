#include "app/runtime/ProviderPoller.h"

#include <exception>
#include <string>

#include "core/SimulatorProvider.h"
#include "log/Logger.h"
#include "supervision/ReconnectionManager.h"

namespace navorel {

void ProviderPoller::poll(SimulatorProvider& provider, ReconnectionManager& reconnection) {
    if (!provider.isConnected()) {
        if (reconnection.getState() == ConnectionState::CONNECTED && !provider.isAwaitingTelemetry()) {
            reconnection.onConnectionLost("Simulator disconnected unexpectedly");
        }
        return;
    }
    try {
        provider.processMessages();
        consecutiveFailures_ = 0;
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error processing simulator messages: ") + e.what());
        if (++consecutiveFailures_ > kMaxFailuresInARow) {
            logLine(LogLevel::WARN, {}, "Multiple simulator failures, forcing reconnection");
            provider.disconnect();
            reconnection.onConnectionLost("Multiple processing failures");
        }
    }
}

}  // namespace navorel
