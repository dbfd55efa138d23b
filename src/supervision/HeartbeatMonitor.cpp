#include "supervision/HeartbeatMonitor.h"

#include <string>
#include <string_view>

namespace navorel {

namespace {

constexpr std::string_view kComponent = "HeartbeatMonitor";

constexpr std::int64_t minutesInNanoseconds(std::int32_t minutes) {
    return std::int64_t{minutes} * 60 * 1'000'000'000;
}

}  // namespace

HeartbeatMonitor::HeartbeatMonitor(Clock& clock, Logger& logger)
    : clock_(clock), logger_(logger), lastHeartbeat_(nowTicks()), warnedFor_(lastHeartbeat_.load() - 1) {}

std::int64_t HeartbeatMonitor::nowTicks() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.steadyNow().time_since_epoch()).count();
}

void HeartbeatMonitor::setTimeoutCallback(Callback callback) { timeoutCallback_.set(std::move(callback)); }

void HeartbeatMonitor::setWarningCallback(Callback callback) { warningCallback_.set(std::move(callback)); }

void HeartbeatMonitor::recordHeartbeat() {
    // A new heartbeat time differs from the one warned about, which re-arms
    // the warning.
    lastHeartbeat_.store(nowTicks());
    started_.store(true);
}

void HeartbeatMonitor::check() {
    if (!started_.load()) return;
    const std::int64_t heartbeat = lastHeartbeat_.load();
    const std::int64_t elapsed = nowTicks() - heartbeat;

    if (elapsed > minutesInNanoseconds(kWarningMinutes) && warnedFor_.exchange(heartbeat) != heartbeat) {
        if (logger_.wouldLog(LogLevel::WARN)) {
            logger_.log(LogLevel::WARN, kComponent,
                        "ACARS heartbeat warning: No heartbeat received in " + std::to_string(kWarningMinutes) +
                            " minutes. Bridge will shutdown in 1 minute without heartbeat.");
        }
        warningCallback_();
    }

    if (elapsed >= minutesInNanoseconds(kTimeoutMinutes)) {
        if (logger_.wouldLog(LogLevel::ERROR)) {
            logger_.log(LogLevel::ERROR, kComponent,
                        "ACARS heartbeat timeout: No heartbeat received in " + std::to_string(kTimeoutMinutes) +
                            " minutes. Shutting down bridge.");
        }
        timeoutCallback_();
    }
}

bool HeartbeatMonitor::isAlive() const {
    if (!started_.load()) return true;
    return nowTicks() - lastHeartbeat_.load() < minutesInNanoseconds(kTimeoutMinutes);
}

}  // namespace navorel
