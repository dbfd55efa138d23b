#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FakeProvider.h"
#include "app/PauseControl.h"

// Pause and resume through the plugin, their answers and log lines are
// checked end to end; the refusals and failure texts only here, with the
// SimConnect side.

namespace navorel {
namespace {

class PauseRequests : public ::testing::Test {
protected:
    PauseControl control{[this] { return PauseControl::ActiveProvider{&provider, xplane}; }};
    test::FakeProvider provider;
    bool xplane = false;
};

TEST_F(PauseRequests, NotConnectedSendsNothing) {
    provider.connected = false;
    for (bool isXPlane : {false, true}) {
        xplane = isXPlane;
        const CommandResult result = control.handlePauseRequest(true, "test");
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.message, "Simulator is not connected");
        EXPECT_TRUE(result.data.is_null());
    }
    EXPECT_TRUE(provider.pauses.empty());

    PauseControl noProvider([] { return PauseControl::ActiveProvider{}; });
    EXPECT_EQ(noProvider.handlePauseRequest(false, "").message, "Simulator is not connected");
}

TEST_F(PauseRequests, FailedSendUsesTheProviderTextOrItsFallback) {
    provider.pauseSucceeds = false;
    xplane = true;
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, "Failed to send pause command to X-Plane");
    xplane = false;
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, "Failed to send pause command to simulator");
    provider.lastError = "Failed to send PAUSE_SET event (value=1, hr=0x80004005)";
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, provider.lastError);
    EXPECT_EQ(provider.pauses.size(), 3u);
}

TEST_F(PauseRequests, RepeatedRequestsAreForwardedEachTime) {
    EXPECT_TRUE(control.handlePauseRequest(false, "").success);
    EXPECT_EQ(control.handlePauseRequest(false, "").data, (nlohmann::json{{"paused", false}}));
    EXPECT_EQ(provider.pauses, (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace navorel
