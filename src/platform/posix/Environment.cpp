#include "platform/Environment.h"

#include <cstdlib>

namespace navorel::platform {

std::string environmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace navorel::platform
