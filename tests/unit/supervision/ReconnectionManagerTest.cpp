#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <utility>

#include "supervision/ReconnectionManager.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using State = ConnectionState;

TEST(ReconnectionBackoff, DoublesFromOneSecondAndStaysAtThirty) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    const std::pair<std::int32_t, std::uint64_t> schedule[] = {{0, 1},  {1, 1},  {2, 2},    {3, 4},     {4, 8},
                                                               {5, 16}, {6, 30}, {500, 30}, {kMax, 30}, {kMin, 30}};
    for (const auto& [failures, seconds] : schedule) EXPECT_EQ(ReconnectionManager::backoffSeconds(failures), seconds);
}

class ReconnectionManagerTest : public ::testing::Test {
protected:
    ReconnectionManagerTest() {
        manager.setConnectFunction([this] { return connectSucceeds; });
    }
    // An attempt once any delay has passed.
    void attempt(bool succeeds) {
        clock.advance(30s);
        connectSucceeds = succeeds;
        ASSERT_EQ(manager.attemptConnection(), succeeds);
    }

    test::ManualClock clock;
    test::CapturedLog log;
    ReconnectionManager manager{clock, log.logger()};
    bool connectSucceeds = false;
};

// Even without a connect function: that attempt fails and counts.
TEST_F(ReconnectionManagerTest, FirstAttemptIsDueAtOnceWhateverTheClocksEpoch) {
    for (const std::chrono::hours offset : {-1h, -2h, 0h, 100000h}) {  // the clock starts 1 h after its epoch
        test::ManualClock local;
        local.advance(offset);
        ReconnectionManager fresh(local, log.logger());
        EXPECT_TRUE(fresh.shouldAttemptReconnect() && fresh.getSecondsUntilNextAttempt() == 0) << offset.count();
        EXPECT_FALSE(fresh.attemptConnection());
        EXPECT_EQ(fresh.getFailedAttempts(), 1) << "the attempt was made";
    }
}

TEST_F(ReconnectionManagerTest, EachDelayWaitsWholeSecondsTruncated) {
    ASSERT_FALSE(manager.attemptConnection());
    for (const int delay : {1, 2, 4, 8, 16, 30, 30}) {
        SCOPED_TRACE(delay);
        const int failuresBefore = manager.getFailedAttempts();
        clock.advance(std::chrono::seconds(delay) - 1ms);
        EXPECT_FALSE(manager.shouldAttemptReconnect());
        EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 1u);
        EXPECT_FALSE(manager.attemptConnection());
        clock.advance(1ms);
        EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 0u);
        EXPECT_FALSE(manager.attemptConnection());
        EXPECT_EQ(manager.getFailedAttempts(), failuresBefore + 1) << "only the attempt on time is made";
    }
}

TEST_F(ReconnectionManagerTest, ProcessRestartOrALossWhileConnectedStartsOverAtOneSecond) {
    for (int i = 0; i < 5; ++i) attempt(false);
    manager.onProcessRestarted();
    EXPECT_EQ(manager.getState(), State::DISCONNECTED);
    EXPECT_EQ(manager.getSecondsUntilNextAttempt(), 1u) << "one second after the previous attempt";
    log.take();
    manager.onConnectionLost("not connected");
    EXPECT_TRUE(log.lines().empty()) << "a loss while not connected is silent";

    for (int i = 0; i < 4; ++i) attempt(false);
    attempt(true);
    manager.onConnectionLost("Simulator disconnected");
    EXPECT_EQ(manager.getState(), State::DISCONNECTED);
    EXPECT_FALSE(manager.shouldAttemptReconnect());
    clock.advance(1s);
    EXPECT_TRUE(manager.shouldAttemptReconnect());
    attempt(true);
    manager.onProcessRestarted();
    EXPECT_EQ(manager.getState(), State::CONNECTED) << "only a failed state is left";
}

TEST_F(ReconnectionManagerTest, ExceptionsFromTheConnectFunctionPassThrough) {
    manager.setConnectFunction([]() -> bool { throw std::runtime_error("pipe broke"); });
    EXPECT_THROW(manager.attemptConnection(), std::runtime_error);
}

}  // namespace
}  // namespace navorel
