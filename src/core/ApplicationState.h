#pragma once

#include <cstdint>

namespace navorel {

// The flight phase the client has announced; it gates what the bridge sends.
enum class ApplicationState : std::int32_t { IDLE = 0, PREFLIGHT = 1, ACTIVE = 2, SHUTDOWN = 3 };

// Name used in log lines and messages; "UNKNOWN" for any other value.
constexpr const char* applicationStateName(ApplicationState state) {
    switch (state) {
        case ApplicationState::IDLE: return "IDLE";
        case ApplicationState::PREFLIGHT: return "PREFLIGHT";
        case ApplicationState::ACTIVE: return "ACTIVE";
        case ApplicationState::SHUTDOWN: return "SHUTDOWN";
    }
    return "UNKNOWN";
}

}  // namespace navorel
