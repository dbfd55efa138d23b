#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "log/Logger.h"
#include "msfs/SimConnectHandler.h"

namespace navorel {
namespace {

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

TEST(SimConnectHandler, ConnectFailsAsWhenNoSimulatorAnswers) {
    SimConnectHandler handler;
    StdoutCapture capture;
    EXPECT_FALSE(handler.connect());
    const std::string expected =
        "Failed to connect to Flight Simulator. Error: 0x80004005 "
        "(Flight Simulator is still starting - SimConnect not ready yet)";
    EXPECT_EQ(handler.getLastError(), expected);
    EXPECT_NE(capture.text().find("[INFO ] [SimConnect] " + expected + " - will retry automatically\n"),
              std::string::npos)
        << capture.text();
    EXPECT_FALSE(handler.isConnected());
}

TEST(SimConnectHandler, FailureTexts) {
    EXPECT_EQ(SimConnectHandler::connectionFailureText(0x800706BA),
              "Failed to connect to Flight Simulator. Error: 0x800706ba (Flight Simulator not running)");
    EXPECT_EQ(SimConnectHandler::connectionFailureText(0x80040154),
              "Failed to connect to Flight Simulator. Error: 0x80040154 (SimConnect not installed)");
    EXPECT_EQ(SimConnectHandler::connectionFailureText(0x1234),
              "Failed to connect to Flight Simulator. Error: 0x1234 (Check if Flight Simulator is running)");
}

TEST(SimConnectHandler, BehavesAsNeverConnected) {
    SimConnectHandler handler;
    EXPECT_FALSE(handler.isConnected());
    EXPECT_EQ(handler.getLastError(), "");
    EXPECT_EQ(handler.getSimulatorVariant(), "unknown");
    EXPECT_FALSE(handler.requestRunwayData("LSZH", 10000));
    EXPECT_EQ(handler.getLastError(), "");

    StdoutCapture capture;
    handler.processMessages();
    handler.setPreflightMode();
    handler.setActiveMode();
    handler.requestDataSnapshot();
    handler.disconnect();
    EXPECT_EQ(capture.text(), "");

    EXPECT_FALSE(handler.setPaused(true));
    EXPECT_EQ(handler.getLastError(), "Cannot set pause: SimConnect is not connected");
}

}  // namespace
}  // namespace navorel
