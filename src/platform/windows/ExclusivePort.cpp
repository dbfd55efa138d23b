#include "platform/ExclusivePort.h"

#include <winsock2.h>

namespace navorel::platform {

bool makePortExclusive(std::intptr_t nativeSocket) {
    const BOOL enable = TRUE;
    return setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&enable), sizeof enable) == 0;
}

}  // namespace navorel::platform
