#include "app/PauseControl.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "app/records/SimulatorProvider.h"
#include "log/Logger.h"

namespace navorel {

PauseControl::PauseControl(ActiveProviderFunction activeProvider) : activeProvider_(std::move(activeProvider)) {}

CommandResult PauseControl::handlePauseRequest(bool paused, const std::string& reason) {
    const ActiveProvider active = activeProvider_ ? activeProvider_() : ActiveProvider{};
    if (!active.provider || !active.provider->isConnected()) {
        return CommandResult::Failure("Simulator is not connected");
    }

    if (!active.provider->setPaused(paused)) {
        // The providers log their own failures; only the text goes back.
        std::string error = active.provider->getLastError();
        if (error.empty()) {
            error = active.isXPlane ? "Failed to send pause command to X-Plane"
                                    : "Failed to send pause command to simulator";
        }
        return CommandResult::Failure(std::move(error));
    }

    const char* state = paused ? "true" : "false";
    logLine(LogLevel::INFO, {}, std::string("SIM_CONTROL SET_PAUSE received: ") + state + " (" + reason + ")");

    return CommandResult::Success(paused ? "Pause command sent" : "Unpause command sent",
                                  {{"paused", paused}});
}

}  // namespace navorel
