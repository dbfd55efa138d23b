#include "platform/Console.h"

namespace navorel::platform {

void setConsoleUtf8() {}

}  // namespace navorel::platform
