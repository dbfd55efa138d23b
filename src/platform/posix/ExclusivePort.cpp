#include "platform/ExclusivePort.h"

#include <sys/socket.h>

namespace navorel::platform {

bool makePortExclusive(std::intptr_t nativeSocket) {
    const int enable = 1;
    return setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) == 0;
}

}  // namespace navorel::platform
