#include "platform/Console.h"

#include <windows.h>

namespace navorel::platform {

void setConsoleUtf8() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace navorel::platform
