#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace navorel::platform {

struct ProcessEntry {
    std::uint32_t pid = 0;
    std::string exeName;  // executable file name only, e.g. "X-Plane.exe"
};

// One snapshot of the running processes in the system's enumeration order;
// nullopt when the snapshot could not be taken.
// Windows: Toolhelp snapshot. Linux: /proc, with the name taken from the last
// path component of argv[0] (else /proc/PID/comm), which also shows Wine and
// Proton processes by their ".exe" name.
std::optional<std::vector<ProcessEntry>> listProcesses();

// Full path of the process's executable image; empty when unknown.
// Windows: QueryFullProcessImageNameW with limited query access. Linux: /proc/PID/exe.
std::string processImagePath(std::uint32_t pid);

// Id of the calling process, as listProcesses() reports it.
std::uint32_t currentProcessId();

}  // namespace navorel::platform
