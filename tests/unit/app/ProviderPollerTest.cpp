#include <gtest/gtest.h>

#include "FakeProvider.h"
#include "app/ProviderPoller.h"
#include "supervision/ReconnectionManager.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

class ProviderPollerTest : public ::testing::Test {
protected:
    ProviderPollerTest() : reconnection(clock) {
        reconnection.setConnectFunction([this] { return provider.connect(); });
        reconnection.setStateCallback([this](ConnectionState state, const std::string& reason) {
            if (state == ConnectionState::DISCONNECTED) lostReasons.push_back(reason);
        });
        EXPECT_TRUE(reconnection.attemptConnection());
    }

    void poll(int times, bool awaitingTelemetry = false) {
        for (int i = 0; i < times; ++i) poller.poll(provider, reconnection, awaitingTelemetry);
    }

    test::ManualClock clock;
    test::FakeProvider provider;
    ReconnectionManager reconnection;
    ProviderPoller poller;
    std::vector<std::string> lostReasons;
};

TEST_F(ProviderPollerTest, FourFailuresInARowForceOneReconnectionAndASuccessStartsTheCountAgain) {
    provider.failPolls = true;
    poll(3);
    provider.failPolls = false;
    poll(1);
    EXPECT_EQ(poller.consecutiveFailures(), 0);

    provider.failPolls = true;
    poll(3);
    EXPECT_EQ(provider.disconnects, 0);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
    poll(1);
    EXPECT_EQ(provider.disconnects, 1);
    EXPECT_EQ(reconnection.getState(), ConnectionState::DISCONNECTED);
    EXPECT_EQ(lostReasons, std::vector<std::string>{"Connection lost: Multiple processing failures"});
    poll(1);  // disconnected now: the provider is no longer polled
    EXPECT_EQ(provider.polls, 8);
}

TEST_F(ProviderPollerTest, ALostConnectionIsReportedOnceUnlessTelemetryIsAwaited) {
    provider.connected = false;
    poll(1, true);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
    poll(2);
    EXPECT_EQ(reconnection.getState(), ConnectionState::DISCONNECTED);
    EXPECT_EQ(lostReasons, std::vector<std::string>{"Connection lost: Simulator disconnected unexpectedly"});
}

}  // namespace
}  // namespace navorel
