#pragma once

#include <string>
#include <vector>

namespace navorel::platform {

// The program's arguments as UTF-8 text. POSIX: argv as given. Windows: the
// wide command line, since argv is in the ANSI code page and loses characters
// outside it (an X-Plane path with non-ASCII folder names, for example).
std::vector<std::string> utf8Arguments(int argc, char** argv);

}  // namespace navorel::platform
