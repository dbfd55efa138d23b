#include "app/PauseControl.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "core/SimulatorProvider.h"
#include "log/Logger.h"

namespace navorel {

PauseControl::PauseControl(ActiveProviderFunction activeProvider) : activeProvider_(std::move(activeProvider)) {}

CommandResult PauseControl::handlePauseRequest(bool paused, const std::string& reason) {
    SimulatorProvider& provider = activeProvider_();
    if (!provider.isConnected()) return CommandResult::Failure("Simulator is not connected");

    if (!provider.setPaused(paused)) {
        // The providers log their own failures; only the text goes back.
        std::string error = provider.getLastError();
        if (error.empty()) error = provider.pauseFailureText();
        return CommandResult::Failure(std::move(error));
    }

    const char* state = paused ? "true" : "false";
    logLine(LogLevel::INFO, {}, std::string("SIM_CONTROL SET_PAUSE received: ") + state + " (" + reason + ")");

    return CommandResult::Success(paused ? "Pause command sent" : "Unpause command sent", {{"paused", paused}});
}

}  // namespace navorel
