#include "platform/Environment.h"

#include <windows.h>

#include <vector>

namespace navorel::platform {

std::string environmentVariable(const std::string& name) {
    const std::wstring wideName(name.begin(), name.end());  // variable names are ASCII
    std::vector<wchar_t> value(256);
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            const int wideLength = static_cast<int>(length);
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), wideLength, nullptr, 0, nullptr, nullptr);
            if (bytes <= 0) return {};
            std::string text(static_cast<std::size_t>(bytes), '\0');
            WideCharToMultiByte(CP_UTF8, 0, value.data(), wideLength, text.data(), bytes, nullptr, nullptr);
            return text;
        }
        value.resize(length);  // length is the size needed, with the terminator
    }
}

}  // namespace navorel::platform
