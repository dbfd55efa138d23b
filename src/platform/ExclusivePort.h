#pragma once

#include <cstdint>

namespace navorel::platform {

// Makes a not yet bound TCP listen socket the sole owner of its port, so that
// a second program can never bind the same port beside it. Windows:
// SO_EXCLUSIVEADDRUSE. POSIX: SO_REUSEADDR only (a restart may rebind a port
// whose old connections linger), never SO_REUSEPORT. False when the option
// could not be set.
bool makePortExclusive(std::intptr_t nativeSocket);

}  // namespace navorel::platform
