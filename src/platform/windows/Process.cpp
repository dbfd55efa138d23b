#include "platform/Process.h"

#include <windows.h>
#include <tlhelp32.h>

namespace navorel::platform {

namespace {

// Closes a kernel handle on scope exit; null and INVALID_HANDLE_VALUE mean none.
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() {
        if (valid()) CloseHandle(handle_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string toUtf8(const wchar_t* text, int length) {
    if (length <= 0) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), bytes, nullptr, nullptr);
    return result;
}

}  // namespace

std::optional<std::vector<ProcessEntry>> listProcesses() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    std::vector<ProcessEntry> processes;
    if (!Process32FirstW(snapshot.get(), &entry)) {
        if (GetLastError() == ERROR_NO_MORE_FILES) return processes;
        return std::nullopt;
    }
    do {
        // The field is a fixed array; never trust it to be terminated.
        int length = 0;
        const int capacity = static_cast<int>(sizeof entry.szExeFile / sizeof entry.szExeFile[0]);
        while (length < capacity && entry.szExeFile[length] != L'\0') ++length;
        processes.push_back(ProcessEntry{entry.th32ProcessID, toUtf8(entry.szExeFile, length)});
        entry.dwSize = sizeof entry;
    } while (Process32NextW(snapshot.get(), &entry));
    return processes;
}

std::string processImagePath(std::uint32_t pid) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) return {};
    // Long-path aware: the query accepts up to the 32767-character limit.
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size)) return {};
    return toUtf8(buffer.data(), static_cast<int>(size));
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace navorel::platform
