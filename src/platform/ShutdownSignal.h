#pragma once

#include <atomic>

namespace navorel::platform {

// Ctrl+C (SIGINT) and SIGTERM ask the bridge to stop. While an instance
// lives, either signal only stores false into `running` and raises a flag
// that the main thread reads; the main thread does any logging itself, since
// taking a lock inside a signal handler can deadlock. One instance at a time;
// the handlers in place before are restored on destruction.
class ShutdownSignalHandler {
public:
    explicit ShutdownSignalHandler(std::atomic<bool>& running);
    ~ShutdownSignalHandler();
    ShutdownSignalHandler(const ShutdownSignalHandler&) = delete;
    ShutdownSignalHandler& operator=(const ShutdownSignalHandler&) = delete;

    // True once a signal has arrived since this handler was installed.
    bool signalReceived() const;
};

}  // namespace navorel::platform
