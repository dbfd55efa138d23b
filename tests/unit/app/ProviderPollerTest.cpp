#include <gtest/gtest.h>

#include <stdexcept>

#include "app/ProviderPoller.h"
#include "app/records/SimulatorProvider.h"
#include "supervision/ReconnectionManager.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

// A provider whose processing fails on demand.
class FakeProvider final : public SimulatorProvider {
public:
    bool connect() override { return connected = true; }
    void disconnect() override {
        connected = false;
        ++disconnects;
    }
    bool isConnected() const override { return connected; }
    void processMessages() override {
        ++polls;
        if (failNext) throw std::runtime_error("pipe broken");
    }
    void setPreflightMode() override {}
    void requestDataSnapshot() override {}
    void setActiveMode() override {}
    bool setPaused(bool) override { return true; }
    std::string getLastError() const override { return {}; }

    bool connected = false;
    bool failNext = false;
    int polls = 0;
    int disconnects = 0;
};

class ProviderPollerTest : public ::testing::Test {
protected:
    ProviderPollerTest() : reconnection(clock) {
        reconnection.setConnectFunction([this] { return provider.connect(); });
        reconnection.setStateCallback([this](ConnectionState state, const std::string& reason) {
            if (state == ConnectionState::DISCONNECTED) lostReasons.push_back(reason);
        });
        EXPECT_TRUE(reconnection.attemptConnection());
    }

    test::ManualClock clock;
    FakeProvider provider;
    ReconnectionManager reconnection;
    ProviderPoller poller;
    std::vector<std::string> lostReasons;
};

TEST_F(ProviderPollerTest, FourFailuresInARowForceOneReconnection) {
    provider.failNext = true;
    for (int i = 0; i < 3; ++i) poller.poll(provider, reconnection, false);
    EXPECT_EQ(provider.disconnects, 0);
    poller.poll(provider, reconnection, false);
    EXPECT_EQ(provider.disconnects, 1);
    EXPECT_EQ(reconnection.getState(), ConnectionState::DISCONNECTED);
    ASSERT_EQ(lostReasons.size(), 1u);
    EXPECT_EQ(lostReasons[0], "Connection lost: Multiple processing failures");
    // Disconnected now: the provider is no longer polled.
    poller.poll(provider, reconnection, false);
    EXPECT_EQ(provider.polls, 4);
}

TEST_F(ProviderPollerTest, ASuccessInBetweenResetsTheCount) {
    provider.failNext = true;
    for (int i = 0; i < 3; ++i) poller.poll(provider, reconnection, false);
    provider.failNext = false;
    poller.poll(provider, reconnection, false);
    EXPECT_EQ(poller.consecutiveFailures(), 0);
    provider.failNext = true;
    for (int i = 0; i < 3; ++i) poller.poll(provider, reconnection, false);
    EXPECT_EQ(provider.disconnects, 0);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
}

TEST_F(ProviderPollerTest, ALostConnectionIsReportedUnlessTelemetryIsAwaited) {
    provider.connected = false;
    poller.poll(provider, reconnection, true);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
    poller.poll(provider, reconnection, false);
    EXPECT_EQ(reconnection.getState(), ConnectionState::DISCONNECTED);
    ASSERT_EQ(lostReasons.size(), 1u);
    EXPECT_EQ(lostReasons[0], "Connection lost: Simulator disconnected unexpectedly");
    poller.poll(provider, reconnection, false);  // already disconnected: reported once
    EXPECT_EQ(lostReasons.size(), 1u);
}

}  // namespace
}  // namespace navorel
