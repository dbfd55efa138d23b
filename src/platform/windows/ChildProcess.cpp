#include "platform/ChildProcess.h"

#include <windows.h>

namespace navorel::platform {

namespace {

std::wstring toWide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

// Quotes one argument so the child's command-line parser gives it back as is.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& argv, bool discardOutput) {
    if (argv.empty()) return nullptr;
    std::wstring commandLine;
    for (const std::string& arg : argv) {
        if (!commandLine.empty()) commandLine += L' ';
        appendQuoted(commandLine, toWide(arg));
    }
    const std::wstring application = toWide(program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE nullDevice = INVALID_HANDLE_VALUE;
    if (discardOutput) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        nullDevice = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr);
        if (nullDevice == INVALID_HANDLE_VALUE) return nullptr;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = nullDevice;
        startup.hStdError = nullDevice;
    }
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr,
                                        discardOutput ? TRUE : FALSE, 0, nullptr, nullptr, &startup, &info);
    if (nullDevice != INVALID_HANDLE_VALUE) CloseHandle(nullDevice);
    if (!started) return nullptr;
    CloseHandle(info.hThread);
    return std::unique_ptr<ChildProcess>(
        new ChildProcess(info.dwProcessId, reinterpret_cast<std::intptr_t>(info.hProcess)));
}

ChildProcess::~ChildProcess() { kill(); }

void ChildProcess::kill() {
    if (reaped_) return;
    const auto process = reinterpret_cast<HANDLE>(handle_);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    reaped_ = true;
}

}  // namespace navorel::platform
