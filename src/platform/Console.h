#pragma once

namespace navorel::platform {

// Makes the console print UTF-8 (Windows code page 65001; nothing to do on POSIX).
void setConsoleUtf8();

}  // namespace navorel::platform
