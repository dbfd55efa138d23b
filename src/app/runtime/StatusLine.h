#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "supervision/ProcessMonitor.h"
#include "supervision/ReconnectionManager.h"

namespace navorel {

struct StatusLineState {
    bool automatic = false;
    const char* modeLabel = "";        // "X-Plane" or "MSFS"
    const char* connectionLabel = "";  // "XPlane Plugin" or "SimConnect"
    ProcessState process = ProcessState::NOT_DETECTED;
    ConnectionState connection = ConnectionState::DISCONNECTED;
    std::size_t clients = 0;
    std::uint64_t secondsUntilNextAttempt = 0;
};

// The verbose status line: starts with a carriage return and ends in blanks
// so that it overwrites the previous one.
std::string formatStatusLine(const StatusLineState& state);

}  // namespace navorel
