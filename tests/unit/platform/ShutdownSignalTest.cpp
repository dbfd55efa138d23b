#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/ShutdownSignal.h"

namespace navorel::platform {
namespace {

TEST(ShutdownSignal, InterruptAndTerminateOnlyClearTheRunningFlagWhileTheHandlerLives) {
    static std::atomic<int> previousCalls{0};
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signalNumber);
        const auto previous = std::signal(signalNumber, [](int) { ++previousCalls; });
        {
            std::atomic<bool> running{true};
            ShutdownSignalHandler handler(running);
            EXPECT_FALSE(handler.signalReceived());
            ASSERT_EQ(std::raise(signalNumber), 0);
            ASSERT_EQ(std::raise(signalNumber), 0);  // a second one during the shutdown is absorbed too
            EXPECT_FALSE(running.load());
            EXPECT_TRUE(handler.signalReceived());
        }
        EXPECT_EQ(previousCalls.exchange(0), 0);
        std::raise(signalNumber);
        EXPECT_EQ(previousCalls.exchange(0), 1) << "the previous handler is back";
        std::signal(signalNumber, previous == SIG_ERR ? SIG_DFL : previous);
    }
}

}  // namespace
}  // namespace navorel::platform
