#include "platform/Registry.h"

namespace navorel::platform {

std::string currentUserRegistryString(const std::string&, const std::string&, std::size_t) { return {}; }

}  // namespace navorel::platform
