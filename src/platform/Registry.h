#pragma once

#include <cstddef>
#include <string>

namespace navorel::platform {

// A string value under HKEY_CURRENT_USER\<keyPath>, read into a buffer of
// maxBytes bytes (terminator included). Empty when the key or the value is
// missing, is no string, or does not fit. POSIX has no registry: always empty.
std::string currentUserRegistryString(const std::string& keyPath, const std::string& valueName,
                                      std::size_t maxBytes);

}  // namespace navorel::platform
