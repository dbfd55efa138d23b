#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "support/CapturedLog.h"
#include "supervision/ReconnectionManager.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

struct Event {
    ConnectionState state;
    std::string reason;
    bool operator==(const Event&) const = default;
};

class ReconnectionManagerTest : public ::testing::Test {
protected:
    ReconnectionManagerTest() {
        manager.setConnectFunction([this] {
            ++connectCalls;
            return connectSucceeds;
        });
        manager.setStateCallback([this](ConnectionState state, const std::string& reason) {
            events.push_back({state, reason});
        });
    }

    // Fails `count` attempts, each as soon as it is due.
    void failAttempts(int count) {
        for (int i = 0; i < count; ++i) {
            clock.advance(std::chrono::seconds(ReconnectionManager::backoffSeconds(manager.getFailedAttempts())));
            ASSERT_FALSE(manager.attemptConnection());
        }
    }

    void connect() {
        connectSucceeds = true;
        clock.advance(30s);
        ASSERT_TRUE(manager.attemptConnection());
        connectSucceeds = false;
    }

    test::ManualClock clock;
    test::CapturedLog log;
    ReconnectionManager manager{clock, log.logger()};
    bool connectSucceeds = false;
    int connectCalls = 0;
    std::vector<Event> events;
};

TEST(ReconnectionBackoff, DoublesFromOneSecondAndStaysAtThirty) {
    const std::uint64_t expected[] = {1, 1, 2, 4, 8, 16, 30, 30, 30};
    for (int n = 0; n < 9; ++n) EXPECT_EQ(ReconnectionManager::backoffSeconds(n), expected[n]) << n;
    EXPECT_EQ(ReconnectionManager::backoffSeconds(500), 30u);
    EXPECT_EQ(ReconnectionManager::backoffSeconds(std::numeric_limits<std::int32_t>::max()), 30u);
    EXPECT_EQ(ReconnectionManager::backoffSeconds(std::numeric_limits<std::int32_t>::min()), 30u);
}

TEST_F(ReconnectionManagerTest, FirstAttemptIsDueAtOnceAndEachDelayWaitsWholeSecondsTruncated) {
    EXPECT_TRUE(manager.shouldAttemptReconnect()) << "whatever the clock says";
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 0u);
    ASSERT_FALSE(manager.attemptConnection());
    for (const int delay : {1, 2, 4, 8, 16, 30, 30}) {
        SCOPED_TRACE("delay " + std::to_string(delay));
        clock.advance(std::chrono::seconds(delay) - 100ms);  // 1.9 s of a 2 s delay counts as 1 s
        EXPECT_FALSE(manager.shouldAttemptReconnect());
        const int callsBefore = connectCalls;
        EXPECT_FALSE(manager.attemptConnection());
        EXPECT_EQ(connectCalls, callsBefore) << "an attempt before its time does nothing";
        clock.advance(100ms);
        EXPECT_TRUE(manager.shouldAttemptReconnect());
        EXPECT_FALSE(manager.attemptConnection());
        EXPECT_EQ(connectCalls, callsBefore + 1);
    }
}

TEST_F(ReconnectionManagerTest, FailureIsLoggedAndTheCapHoldsAfterHundredsOfFailures) {
    ASSERT_FALSE(manager.attemptConnection());
    EXPECT_EQ(log.take(), (std::vector<std::string>{
                              "[INFO ] [ReconnectionManager] State: DISCONNECTED -> CONNECTING (Attempting connection)",
                              "[WARN ] [ReconnectionManager] Connection attempt 1 failed: Connection attempt failed",
                              "[INFO ] [ReconnectionManager] State: CONNECTING -> CONNECTION_FAILED (Connection "
                              "attempt failed)",
                              "[INFO ] [ReconnectionManager] Next attempt in 1s (will keep trying while the "
                              "simulator is running)",
                          }));
    EXPECT_EQ(events, (std::vector<Event>{{ConnectionState::CONNECTING, "Attempting connection"},
                                          {ConnectionState::CONNECTION_FAILED, "Connection attempt failed"}}));

    failAttempts(2);
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 4u);
    clock.advance(3500ms);
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 1u) << "counts down in whole seconds";

    failAttempts(497);
    EXPECT_EQ(manager.getFailedAttempts(), 500);
    EXPECT_EQ(log.lines().back(),
              "[INFO ] [ReconnectionManager] Next attempt in 30s (will keep trying while the simulator is running)");
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 30u);
    clock.advance(29s + 999ms);
    EXPECT_FALSE(manager.isBackoffElapsed());
    clock.advance(1ms);
    EXPECT_TRUE(manager.isBackoffElapsed());
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 0u);
}

TEST_F(ReconnectionManagerTest, MissingConnectFunctionIsAnErrorAndAFailedAttempt) {
    ReconnectionManager bare(clock, log.logger());
    EXPECT_FALSE(bare.attemptConnection());
    EXPECT_EQ(bare.getState(), ConnectionState::CONNECTION_FAILED);
    EXPECT_EQ(bare.getFailedAttempts(), 1);
    EXPECT_EQ(log.lines().at(1), "[ERROR] [ReconnectionManager] No connect function set");
    EXPECT_EQ(log.lines().at(2), "[WARN ] [ReconnectionManager] Connection attempt 1 failed: No connect function");
}

TEST_F(ReconnectionManagerTest, OnlyALossWhileConnectedCountsAndItStartsOverAtOneSecond) {
    manager.onConnectionLost("Switching simulator");
    failAttempts(4);
    manager.onConnectionLost("Switching simulator");
    EXPECT_EQ(events.size(), 8u) << "a loss while not connected is silent";
    EXPECT_EQ(log.take().size(), 16u) << "a loss while not connected is silent";

    connect();
    EXPECT_EQ(manager.getFailedAttempts(), 0);
    EXPECT_EQ(events.back(), (Event{ConnectionState::CONNECTED, "Connection established"}));
    EXPECT_FALSE(manager.shouldAttemptReconnect()) << "connected";
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 0u);

    log.take();
    manager.onConnectionLost("Simulator disconnected unexpectedly");
    EXPECT_EQ(log.take(),
              (std::vector<std::string>{
                  "[WARN ] [ReconnectionManager] Connection lost: Simulator disconnected unexpectedly",
                  "[INFO ] [ReconnectionManager] State: CONNECTED -> DISCONNECTED (Connection lost: Simulator "
                  "disconnected unexpectedly)",
              }));
    EXPECT_EQ(events.back(),
              (Event{ConnectionState::DISCONNECTED, "Connection lost: Simulator disconnected unexpectedly"}));
    EXPECT_FALSE(manager.shouldAttemptReconnect());
    clock.advance(1s);
    EXPECT_TRUE(manager.shouldAttemptReconnect()) << "back to a one-second delay";
}

TEST_F(ReconnectionManagerTest, ProcessRestartClearsTheCountAndLeavesOnlyAFailedState) {
    failAttempts(5);
    manager.onProcessRestarted();
    EXPECT_EQ(events.back(), (Event{ConnectionState::DISCONNECTED, "Process restarted - ready to connect"}));
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 1u) << "one second after the previous attempt";

    connect();
    manager.onProcessRestarted();
    EXPECT_EQ(manager.getState(), ConnectionState::CONNECTED);
    manager.onConnectionLost("x");
    const auto eventsBefore = events.size();
    manager.onProcessRestarted();
    EXPECT_EQ(events.size(), eventsBefore) << "neither CONNECTED nor DISCONNECTED is a failed state";
}

TEST_F(ReconnectionManagerTest, ConnectExceptionsPassThroughAndARepeatedStateIsSilent) {
    manager.setConnectFunction([]() -> bool { throw std::runtime_error("pipe broke"); });
    EXPECT_THROW(manager.attemptConnection(), std::runtime_error);
    EXPECT_EQ(manager.getState(), ConnectionState::CONNECTING);

    log.take();
    const auto eventsBefore = events.size();
    clock.advance(1s);
    EXPECT_THROW(manager.attemptConnection(), std::runtime_error);
    EXPECT_TRUE(log.lines().empty()) << "CONNECTING -> CONNECTING is no change";
    EXPECT_EQ(events.size(), eventsBefore);
}

}  // namespace
}  // namespace navorel
