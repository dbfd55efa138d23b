#include "app/runtime/StatusLine.h"

namespace navorel {

std::string formatStatusLine(const StatusLineState& s) {
    const bool detected = s.process == ProcessState::DETECTED;
    const bool labelsKnown = !s.automatic || detected;
    std::string line = "\r[Status] ";
    line += labelsKnown ? s.modeLabel : "AUTO";
    line += ": ";
    line += processStateName(s.process);
    line += " | ";
    line += labelsKnown ? s.connectionLabel : "AUTO";
    line += ": ";
    line += connectionStateName(s.connection);
    line += " | Clients: " + std::to_string(s.clients);
    if (s.connection != ConnectionState::CONNECTED && detected && s.secondsUntilNextAttempt > 0) {
        line += " | Next attempt in: " + std::to_string(s.secondsUntilNextAttempt) + "s";
    }
    line += std::string(10, ' ');
    return line;
}

}  // namespace navorel
