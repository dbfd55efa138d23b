#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "supervision/HeartbeatMonitor.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

// A manual clock that runs a hook once when read: a race test records a
// heartbeat from inside check(), after check() has read the last one.
class InterleavingClock final : public Clock {
public:
    SteadyTime steadyNow() const override {
        if (onRead) std::exchange(onRead, nullptr)();  // set only while no other thread reads
        return base.steadyNow();
    }
    SystemTime systemNow() const override { return base.systemNow(); }

    test::ManualClock base;
    mutable std::function<void()> onRead;
};

class HeartbeatMonitorTest : public ::testing::Test {
protected:
    HeartbeatMonitorTest() {
        monitor.setWarningCallback([this] { ++warnings; });
        monitor.setTimeoutCallback([this] { ++timeouts; });
    }
    void checkAfter(std::chrono::nanoseconds step) {
        clock.base.advance(step);
        monitor.check();
    }

    InterleavingClock clock;
    test::CapturedLog log;
    HeartbeatMonitor monitor{clock, log.logger()};
    int warnings = 0;
    int timeouts = 0;
};

TEST_F(HeartbeatMonitorTest, WarnsOnceStrictlyAfterNineMinutesAndTimesOutFromTenOn) {
    checkAfter(24h);
    EXPECT_TRUE(monitor.isAlive()) << "nothing is watched before the first heartbeat";
    monitor.recordHeartbeat();
    checkAfter(9min);
    EXPECT_EQ(warnings, 0);
    checkAfter(1ns);
    checkAfter(1min - 2ns);
    EXPECT_TRUE(monitor.isAlive());
    EXPECT_EQ(std::pair(warnings, timeouts), std::pair(1, 0));
    checkAfter(1ns);
    checkAfter(1s);
    EXPECT_FALSE(monitor.isAlive());
    EXPECT_EQ(std::pair(warnings, timeouts), std::pair(1, 2)) << "the time-out repeats on every check";
    EXPECT_TRUE(log.lines().back().starts_with("[ERROR] [HeartbeatMonitor] ACARS heartbeat timeout"));
}

TEST_F(HeartbeatMonitorTest, LateHeartbeatCancelsTheTimeoutAndRearmsTheWarning) {
    monitor.recordHeartbeat();
    checkAfter(9min + 30s);
    monitor.recordHeartbeat();
    checkAfter(9min);
    EXPECT_EQ(warnings, 1);
    checkAfter(1s);
    EXPECT_EQ(std::pair(warnings, timeouts), std::pair(2, 0)) << "a new silence warns again";
}

// A heartbeat arriving on the server's thread while the main loop checks.
TEST_F(HeartbeatMonitorTest, HeartbeatArrivingDuringACheckStillRearmsTheWarning) {
    monitor.recordHeartbeat();
    clock.onRead = [&] { monitor.recordHeartbeat(); };
    checkAfter(9min + 1s);  // judges the old heartbeat; the new one lands meanwhile
    ASSERT_EQ(warnings, 1);
    checkAfter(9min + 1s);
    EXPECT_EQ(warnings, 2) << "the silence after the new heartbeat is warned about too";
}

// Heartbeats come from the server's thread while the main loop checks; a data
// race here shows under ThreadSanitizer.
TEST_F(HeartbeatMonitorTest, HeartbeatsFromAnotherThreadDuringChecks) {
    std::jthread server([&](std::stop_token stop) { while (!stop.stop_requested()) monitor.recordHeartbeat(); });
    for (int i = 0; i < 2000; ++i) checkAfter(1s);
}

}  // namespace
}  // namespace navorel
