#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "CapturedLog.h"
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

class HeartbeatMonitorTest : public ::testing::Test {
protected:
    HeartbeatMonitorTest() {
        monitor.setWarningCallback([this] { ++warnings; });
        monitor.setTimeoutCallback([this] { ++timeouts; });
    }

    test::ManualClock clock;
    test::CapturedLog log;
    HeartbeatMonitor monitor{clock, log.logger()};
    int warnings = 0;
    int timeouts = 0;
};

TEST_F(HeartbeatMonitorTest, WithoutAFirstHeartbeatNothingIsWatched) {
    clock.advance(24h);
    monitor.check();
    EXPECT_TRUE(monitor.isAlive());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(warnings + timeouts, 0);
}

TEST_F(HeartbeatMonitorTest, WarnsOnceStrictlyAfterNineMinutes) {
    monitor.recordHeartbeat();
    clock.advance(9min);
    monitor.check();
    EXPECT_TRUE(log.lines().empty()) << "exactly nine minutes is not yet too long";

    clock.advance(1ns);
    monitor.check();
    clock.advance(30s);
    monitor.check();
    EXPECT_EQ(log.lines(), std::vector<std::string>{kWarningLine});
    EXPECT_EQ(warnings, 1);
    EXPECT_TRUE(monitor.isAlive());
}

TEST_F(HeartbeatMonitorTest, TimesOutAtExactlyTenMinutesAndRepeatsOnEveryCheck) {
    monitor.recordHeartbeat();
    clock.advance(10min - 1ns);
    EXPECT_TRUE(monitor.isAlive());
    clock.advance(1ns);
    EXPECT_FALSE(monitor.isAlive());

    monitor.check();
    monitor.check();
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
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(warnings, 1);

    clock.advance(1s);
    monitor.check();
    EXPECT_EQ(warnings, 2) << "a new silence warns again";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kWarningLine, kWarningLine}));
}

// A clock that records a heartbeat from inside check(), after check() has
// read the last heartbeat: the interleaving of a heartbeat arriving on the
// server's thread while the main loop checks.
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

    test::ManualClock base;
    mutable std::function<void()> onRead;
    mutable bool inHook = false;
};

TEST(HeartbeatMonitorRace, HeartbeatArrivingDuringACheckStillRearmsTheWarning) {
    InterleavingClock clock;
    test::CapturedLog log;
    HeartbeatMonitor monitor(clock, log.logger());
    int warnings = 0;
    monitor.setWarningCallback([&] { ++warnings; });

    monitor.recordHeartbeat();
    clock.base.advance(9min + 1s);
    clock.onRead = [&] { monitor.recordHeartbeat(); };
    monitor.check();  // judges the old heartbeat; the new one lands meanwhile
    const int before = warnings;

    clock.base.advance(9min + 1s);
    monitor.check();
    EXPECT_EQ(warnings, before + 1) << "the silence after the new heartbeat must still be warned about";
}

TEST(HeartbeatMonitorInstance, InstalledInstanceIsReachableUntilItGoes) {
    test::CapturedLog log;
    {
        HeartbeatMonitor monitor(Clock::real(), log.logger());
        HeartbeatMonitor::setInstance(&monitor);
        EXPECT_EQ(HeartbeatMonitor::instance(), &monitor);
    }
    EXPECT_EQ(HeartbeatMonitor::instance(), nullptr);
}

// Heartbeats come from the server's thread while the main loop checks.
TEST(HeartbeatMonitorThreads, ConcurrentHeartbeatsAndChecks) {
    test::ManualClock clock;
    test::CapturedLog log;
    HeartbeatMonitor monitor(clock, log.logger());
    std::atomic<int> warnings{0};
    std::atomic<int> timeouts{0};
    monitor.setWarningCallback([&] { warnings.fetch_add(1); });
    monitor.setTimeoutCallback([&] { timeouts.fetch_add(1); });

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
        EXPECT_TRUE(monitor.isAlive() || timeouts.load() > 0);
    }
    stop.store(true);
    server.join();

    monitor.recordHeartbeat();
    const int before = warnings.load();
    clock.advance(9min + 1s);
    monitor.check();
    monitor.check();
    EXPECT_EQ(warnings.load(), before + 1);
    EXPECT_TRUE(monitor.isAlive());
}

}  // namespace
}  // namespace navorel
