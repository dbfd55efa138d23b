#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/PauseControl.h"
#include "app/records/SimulatorProvider.h"
#include "log/Logger.h"

namespace navorel {
namespace {

class FakePauseProvider : public SimulatorProvider {
public:
    bool connected = true;
    bool sendSucceeds = true;
    std::string lastError;
    std::vector<bool> sent;

    bool connect() override { return connected; }
    void disconnect() override {}
    bool isConnected() const override { return connected; }
    void processMessages() override {}
    void setPreflightMode() override {}
    void requestDataSnapshot() override {}
    void setActiveMode() override {}
    bool setPaused(bool paused) override {
        sent.push_back(paused);
        return sendSucceeds;
    }
    std::string getLastError() const override { return lastError; }
};

// Collects what the process-wide logger writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {
        Logger::instance().configure(LogLevel::INFO, LogLevel::DEBUG, "", false, 10, 3);
    }
    ~StdoutCapture() { std::cout.rdbuf(previous_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

class PauseRequests : public ::testing::Test {
protected:
    PauseControl control{[this] { return PauseControl::ActiveProvider{&provider, xplane}; }};
    FakePauseProvider provider;
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
    EXPECT_TRUE(provider.sent.empty());

    PauseControl noProvider([] { return PauseControl::ActiveProvider{}; });
    EXPECT_EQ(noProvider.handlePauseRequest(false, "").message, "Simulator is not connected");
}

TEST_F(PauseRequests, FailedSendUsesTheProviderTextOrItsFallback) {
    provider.sendSucceeds = false;
    StdoutCapture capture;

    xplane = true;
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, "Failed to send pause command to X-Plane");
    xplane = false;
    const CommandResult simConnect = control.handlePauseRequest(true, "r");
    EXPECT_FALSE(simConnect.success);
    EXPECT_EQ(simConnect.message, "Failed to send pause command to simulator");
    EXPECT_TRUE(simConnect.data.is_null());

    provider.lastError = "Failed to send PAUSE_SET event (value=1, hr=0x80004005)";
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, provider.lastError);
    EXPECT_EQ(provider.sent.size(), 3u);
    EXPECT_EQ(capture.text(), "");  // failures are the provider's to log
}

TEST_F(PauseRequests, PauseAndResumeAnswerAndLog) {
    StdoutCapture capture;
    const CommandResult paused = control.handlePauseRequest(true, "ACARS sim control");
    EXPECT_TRUE(paused.success);
    EXPECT_EQ(paused.message, "Pause command sent");
    EXPECT_EQ(paused.data, (nlohmann::json{{"paused", true}}));

    const CommandResult resumed = control.handlePauseRequest(false, "");
    EXPECT_TRUE(resumed.success);
    EXPECT_EQ(resumed.message, "Unpause command sent");
    EXPECT_EQ(resumed.data, (nlohmann::json{{"paused", false}}));
    EXPECT_EQ(provider.sent, (std::vector<bool>{true, false}));

    // Repeated requests are forwarded each time.
    EXPECT_TRUE(control.handlePauseRequest(false, "again").success);
    EXPECT_EQ(provider.sent.size(), 3u);

    const std::string log = capture.text();
    EXPECT_NE(log.find("[INFO ] SIM_CONTROL SET_PAUSE received: true (ACARS sim control)\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO ] SIM_CONTROL SET_PAUSE received: false ()\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace navorel
