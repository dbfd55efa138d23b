#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/ShutdownSignal.h"

namespace navorel::platform {
namespace {

TEST(ShutdownSignal, InterruptAndTerminateOnlyClearTheRunningFlag) {
    for (int signalNumber : {SIGINT, SIGTERM}) {
        std::atomic<bool> running{true};
        ShutdownSignalHandler handler(running);
        EXPECT_FALSE(handler.signalReceived());
        ASSERT_EQ(std::raise(signalNumber), 0);
        EXPECT_FALSE(running.load()) << signalNumber;
        EXPECT_TRUE(handler.signalReceived()) << signalNumber;
        // A second signal during the shutdown is absorbed as well.
        ASSERT_EQ(std::raise(signalNumber), 0);
        EXPECT_FALSE(running.load());
    }
}

TEST(ShutdownSignal, RestoresThePreviousHandler) {
    static std::atomic<int> previousCalls{0};
    const auto previous = std::signal(SIGTERM, [](int) { ++previousCalls; });
    {
        std::atomic<bool> running{true};
        ShutdownSignalHandler handler(running);
        std::raise(SIGTERM);
        EXPECT_EQ(previousCalls.load(), 0);
    }
    std::raise(SIGTERM);
    EXPECT_EQ(previousCalls.load(), 1);
    std::signal(SIGTERM, previous == SIG_ERR ? SIG_DFL : previous);
}

}  // namespace
}  // namespace navorel::platform
