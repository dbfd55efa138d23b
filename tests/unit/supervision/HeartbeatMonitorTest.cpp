#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "support/CapturedLog.h"
#include "supervision/HeartbeatMonitor.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

const std::string kWarningLine =
    "[WARN ] [HeartbeatMonitor] ACARS heartbeat warning: No heartbeat received in 9 minutes. "
    "Bridge will shutdown in 1 minute without heartbeat.";
const std::string kTimeoutLine =
    "[ERROR] [HeartbeatMonitor] ACARS heartbeat timeout: No heartbeat received in 10 minutes. "
    "Shutting down bridge.";

// A manual clock that can run a hook (once) when read: a race test records a
// heartbeat from inside check(), after check() has read the last heartbeat.
class InterleavingClock final : public Clock {
public:
    SteadyTime steadyNow() const override {
        if (onRead && !inHook) {
            inHook = true;
            auto hook = std::exchange(onRead, nullptr);
            hook();
            inHook = false;
        }
        return base.steadyNow();
    }
    SystemTime systemNow() const override { return base.systemNow(); }
    template <typename Duration>
    void advance(Duration step) {
        base.advance(step);
    }

    test::ManualClock base;
    mutable std::function<void()> onRead;
    mutable bool inHook = false;
};

class HeartbeatMonitorTest : public ::testing::Test {
protected:
    HeartbeatMonitorTest() {
        monitor.setWarningCallback([this] { ++warnings; });
        monitor.setTimeoutCallback([this] { ++timeouts; });
    }

    InterleavingClock clock;
    test::CapturedLog log;
    HeartbeatMonitor monitor{clock, log.logger()};
    int warnings = 0;
    int timeouts = 0;
};

TEST_F(HeartbeatMonitorTest, WarnsOnceStrictlyAfterNineMinutesAndTimesOutAtExactlyTen) {
    clock.advance(24h);
    monitor.check();
    EXPECT_TRUE(log.lines().empty()) << "nothing is watched before the first heartbeat";

    monitor.recordHeartbeat();
    clock.advance(9min);
    monitor.check();
    EXPECT_TRUE(log.lines().empty()) << "exactly nine minutes is not yet too long";
    clock.advance(1ns);
    monitor.check();
    monitor.check();
    EXPECT_EQ(warnings, 1);
    clock.advance(1min - 2ns);  // ten minutes less one nanosecond since the heartbeat
    EXPECT_TRUE(monitor.isAlive());
    clock.advance(1ns);
    EXPECT_FALSE(monitor.isAlive());

    monitor.check();
    monitor.check();  // and again on every later check
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kWarningLine, kTimeoutLine, kTimeoutLine}));
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(timeouts, 2);
}

TEST_F(HeartbeatMonitorTest, LateHeartbeatCancelsTheTimeoutAndRearmsTheWarning) {
    monitor.recordHeartbeat();
    clock.advance(9min + 1s);
    monitor.check();
    ASSERT_EQ(warnings, 1);

    clock.advance(30s);
    monitor.recordHeartbeat();
    clock.advance(9min);
    monitor.check();
    EXPECT_TRUE(monitor.isAlive());
    EXPECT_EQ(warnings + timeouts, 1);
    clock.advance(1s);
    monitor.check();
    EXPECT_EQ(warnings, 2) << "a new silence warns again";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kWarningLine, kWarningLine}));
}

// A heartbeat arriving on the server's thread while the main loop checks.
TEST_F(HeartbeatMonitorTest, HeartbeatArrivingDuringACheckStillRearmsTheWarning) {
    monitor.recordHeartbeat();
    clock.advance(9min + 1s);
    clock.onRead = [&] { monitor.recordHeartbeat(); };
    monitor.check();  // judges the old heartbeat; the new one lands meanwhile
    const int before = warnings;

    clock.advance(9min + 1s);
    monitor.check();
    EXPECT_EQ(warnings, before + 1) << "the silence after the new heartbeat must still be warned about";
}

// Heartbeats come from the server's thread while the main loop checks (the
// callbacks run on the checking thread).
TEST_F(HeartbeatMonitorTest, ConcurrentHeartbeatsAndChecks) {
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop.load()) {
            monitor.recordHeartbeat();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        clock.advance(1s);
        monitor.check();
        EXPECT_TRUE(monitor.isAlive() || timeouts > 0);
    }
    stop.store(true);
    server.join();

    monitor.recordHeartbeat();
    const int before = warnings;
    clock.advance(9min + 1s);
    monitor.check();
    monitor.check();
    EXPECT_EQ(warnings, before + 1);
    EXPECT_TRUE(monitor.isAlive());
}

}  // namespace
}  // namespace navorel
