#pragma once

#include <string>

namespace navorel::platform {

// Value of an environment variable as UTF-8 text; empty when it is not set.
// Windows reads the wide environment, so values outside the ANSI code page
// (for example a user folder name) survive.
std::string environmentVariable(const std::string& name);

}  // namespace navorel::platform
