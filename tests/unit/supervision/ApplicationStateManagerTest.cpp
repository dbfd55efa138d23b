#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "supervision/ApplicationStateManager.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using State = ApplicationState;

class ApplicationStateManagerTest : public ::testing::Test {
protected:
    std::optional<ApplicationStateManager::PreflightSummary> takeAfterInterval() {
        clock.advance(1s);
        return manager.takePreflightSummary();
    }

    test::ManualClock clock;
    test::CapturedLog log;
    ApplicationStateManager manager{clock, log.logger()};
};

TEST_F(ApplicationStateManagerTest, ChangesAreLoggedAndReportedOnceAndRepeatsAreSilent) {
    std::vector<std::string> changes;
    manager.setStateChangeCallback([&](State from, State to, const std::string& reason) {
        changes.push_back(std::string(applicationStateName(from)) + ">" + applicationStateName(to) + " " + reason);
    });
    manager.setState(State::PREFLIGHT, "Client request");
    manager.setState(State::PREFLIGHT, "");
    manager.setState(State::ACTIVE, "");
    EXPECT_EQ(changes, (std::vector<std::string>{"IDLE>PREFLIGHT Client request", "PREFLIGHT>ACTIVE "}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[INFO ] [ApplicationStateManager] State: IDLE -> PREFLIGHT (Client request)",
                               "[INFO ] [ApplicationStateManager] State: PREFLIGHT -> ACTIVE"}));
}

TEST_F(ApplicationStateManagerTest, SummaryEverySecondWithTheGroupsFedSincePreflightWasEntered) {
    manager.updateTitle("Idle title");
    manager.setState(State::PREFLIGHT);
    manager.updateTitle(static_cast<const char*>(nullptr));
    clock.advance(1500ms);
    EXPECT_FALSE(manager.takePreflightSummary()) << "nothing fed: feeds in IDLE and null titles are ignored";

    const std::int64_t fedAt = toUnixTicks100ns(clock.systemNow());
    manager.updateTitle("Boeing \xff\xc3 737 \xed\xa0\x80 \xc3\xa9");  // repaired so it can always be sent
    auto summary = manager.takePreflightSummary();
    ASSERT_TRUE(summary) << "the interval has passed already; an empty round does not restart it";
    EXPECT_EQ(summary->title, "Boeing \xEF\xBF\xBD\xEF\xBF\xBD 737 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xc3\xa9");
    EXPECT_EQ(summary->lastUpdate, fedAt);
    EXPECT_FALSE(summary->position || summary->fuel || summary->parkingBrake || summary->engineRunning);
    clock.advance(999ms);
    EXPECT_FALSE(manager.takePreflightSummary());
    clock.advance(1ms);
    EXPECT_TRUE(manager.takePreflightSummary().value().title) << "groups stay in every later summary";

    manager.setState(State::ACTIVE);
    manager.updateTitle("Active title");
    EXPECT_FALSE(takeAfterInterval()) << "none outside PREFLIGHT";
    manager.setState(State::PREFLIGHT);
    EXPECT_FALSE(takeAfterInterval()) << "entering PREFLIGHT again empties the groups";
    manager.updateFlight(FlightData{});
    summary = takeAfterInterval();
    ASSERT_TRUE(summary);
    EXPECT_TRUE(summary->position && summary->fuel && !summary->title);
}

// Commands change the state on the server's thread while the main loop feeds
// the snapshot and takes summaries.
TEST_F(ApplicationStateManagerTest, ConcurrentCallersSeeEveryChangeExactlyOnce) {
    std::atomic<int> callbacks{0};
    manager.setStateChangeCallback([&](State from, State to, const std::string&) { callbacks += from != to; });
    const auto flip = [&](State other) {
        for (int i = 0; i < 2000; ++i) manager.setState(i % 2 ? State::PREFLIGHT : other);
    };
    {
        std::jthread active(flip, State::ACTIVE), idle(flip, State::IDLE);
        for (int i = 0; i < 2000; ++i, clock.advance(1s)) {
            manager.updateFlight(FlightData{});
            (void)manager.takePreflightSummary();
        }
    }
    EXPECT_EQ(static_cast<int>(log.lines().size()), callbacks.load()) << "one log line per reported change";
}

}  // namespace
}  // namespace navorel
