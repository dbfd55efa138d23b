#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "log/Logger.h"
#include "core/Clock.h"
#include "supervision/GuardedCallback.h"

namespace navorel {

// Watches the client's heartbeats once the first one has arrived: one warning
// per silence longer than warningMinutes, and a time-out (repeated on every
// check) from timeoutMinutes on. recordHeartbeat may run on any thread.
class HeartbeatMonitor {
public:
    using Callback = std::function<void()>;

    static constexpr std::int32_t kTimeoutMinutes = 10;
    static constexpr std::int32_t kWarningMinutes = 9;

    explicit HeartbeatMonitor(Clock& clock = Clock::real(), Logger& logger = Logger::instance());
    HeartbeatMonitor(const HeartbeatMonitor&) = delete;
    HeartbeatMonitor& operator=(const HeartbeatMonitor&) = delete;

    void recordHeartbeat();
    void check();
    bool isAlive() const;

    // Both run on the thread that calls check().
    void setTimeoutCallback(Callback callback);
    void setWarningCallback(Callback callback);

private:
    std::int64_t nowTicks() const;

    Clock& clock_;
    Logger& logger_;
    // Steady-clock nanoseconds since the clock's epoch.
    std::atomic<std::int64_t> lastHeartbeat_;
    std::atomic<bool> started_{false};
    // The heartbeat whose silence has been warned about. Tying the latch to
    // the heartbeat itself means a heartbeat arriving while check() runs
    // cannot be lost behind a stale "warned" flag.
    std::atomic<std::int64_t> warnedFor_;

    GuardedCallback<Callback> timeoutCallback_;
    GuardedCallback<Callback> warningCallback_;
};

}  // namespace navorel
