#include "platform/Registry.h"

#include <windows.h>

#include <vector>

namespace navorel::platform {

std::string currentUserRegistryString(const std::string& keyPath, const std::string& valueName,
                                      std::size_t maxBytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    std::vector<char> buffer(maxBytes + 1, '\0');  // one more: a value stored without its terminator
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(maxBytes);
    const LONG status =
        RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
    return std::string(buffer.data());
}

}  // namespace navorel::platform
