#include "platform/CommandLineArguments.h"

#include <windows.h>

#include <shellapi.h>

namespace navorel::platform {

namespace {

std::string toUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string result(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || count != argc) {
        // Should not happen; fall back to what the C runtime parsed.
        if (wide != nullptr) LocalFree(wide);
        return {argv, argv + argc};
    }
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) result.push_back(toUtf8(wide[i]));
    LocalFree(wide);
    return result;
}

}  // namespace navorel::platform
