#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace navorel::platform {

// A child process owned by this object: killed and reaped when it goes.
class ChildProcess {
public:
    // Starts the executable at `program` (a path) with the argument vector
    // `argv`. argv[0] is what the child is told its name is (POSIX) or the
    // first token of its command line (Windows, where the process list shows
    // the image file name instead). With discardOutput the child's standard
    // output and error go to the null device. Null when it cannot be started.
    static std::unique_ptr<ChildProcess> start(const std::string& program,
                                               const std::vector<std::string>& argv,
                                               bool discardOutput = false);

    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::uint32_t pid() const { return pid_; }

    // Ends the child and waits until it is gone; harmless when already done.
    void kill();

private:
    ChildProcess(std::uint32_t pid, std::intptr_t handle) : pid_(pid), handle_(handle) {}

    std::uint32_t pid_;
    [[maybe_unused]] std::intptr_t handle_;  // Windows process handle; unused on POSIX
    bool reaped_ = false;
};

}  // namespace navorel::platform
