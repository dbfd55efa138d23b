#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "FakeProvider.h"
#include "app/PauseControl.h"
#include "app/runtime/BridgeRuntime.h"
#include "app/runtime/ProviderPoller.h"
#include "app/runtime/SimulatorSelection.h"
#include "support/ManualClock.h"
#include "support/WsTestClient.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

TEST(SimulatorSelection, TheOptionsChooseTheWatchedNamesAndTheStartingProvider) {
    test::FakeProvider simConnect;
    test::FakeProvider xplane("X-Plane");
    BridgeOptions options;
    SimulatorSelection automatic(simConnect, xplane, options);
    EXPECT_TRUE(automatic.automatic());
    EXPECT_EQ(&automatic.active(), &simConnect);
    EXPECT_TRUE(automatic.isXPlaneProcess("x-plane 12.EXE"));
    EXPECT_FALSE(automatic.isXPlaneProcess("FlightSimulator.exe"));
    EXPECT_EQ(SimulatorSelection::watchedProcessNames(options).size(), 6u);  // both lists below
    options.forceXPlane = true;
    options.autoDetect = false;
    EXPECT_EQ(&SimulatorSelection(simConnect, xplane, options).active(), &xplane);
    EXPECT_EQ(SimulatorSelection::watchedProcessNames(options).size(), 4u);
    options.forceXPlane = false;
    EXPECT_EQ(SimulatorSelection::watchedProcessNames(options), (Calls{"FlightSimulator.exe", "FlightSimulator2024.exe"}));
}

TEST(PauseControl, RefusesWithoutConnectionAndFallsBackToTheProvidersText) {
    test::FakeProvider provider;
    PauseControl control([&]() -> SimulatorProvider& { return provider; });
    provider.connected = false;
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, "Simulator is not connected");
    provider.connected = true;
    provider.pauseSucceeds = false;
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, "MSFS pause failed");
    provider.lastError = "Failed to send PAUSE_SET event (value=1, hr=0x80004005)";
    EXPECT_EQ(control.handlePauseRequest(true, "r").message, provider.lastError);
    provider.pauseSucceeds = true;
    const CommandResult resumed = control.handlePauseRequest(false, "");
    EXPECT_EQ(resumed.message, "Unpause command sent");
    EXPECT_EQ(resumed.data, (nlohmann::json{{"paused", false}}));
    EXPECT_EQ(provider.takeCalls(), (Calls{"pause", "pause", "resume"}));
}

class ProviderPollerTest : public ::testing::Test {
protected:
    ProviderPollerTest() : reconnection(clock) {
        reconnection.setConnectFunction([this] { return provider.connect(); });
        reconnection.setStateCallback([this](ConnectionState state, const std::string& reason) {
            if (state == ConnectionState::DISCONNECTED) lostReasons.push_back(reason);
        });
        EXPECT_TRUE(reconnection.attemptConnection());
    }

    void poll(int times) {
        for (int i = 0; i < times; ++i) poller.poll(provider, reconnection);
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
    provider.failPolls = true;
    poll(3);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
    poll(1);
    EXPECT_EQ(reconnection.getState(), ConnectionState::DISCONNECTED);
    EXPECT_EQ(lostReasons, std::vector<std::string>{"Connection lost: Multiple processing failures"});
    poll(1);  // disconnected now: the provider is no longer polled
    EXPECT_EQ(provider.polls.load(), 8);
    EXPECT_EQ(provider.takeCalls(), (Calls{"connect", "disconnect"}));
}

TEST_F(ProviderPollerTest, ALostConnectionIsReportedOnceUnlessTelemetryIsAwaited) {
    provider.connected = false;
    provider.awaitingTelemetry = true;
    poll(1);
    EXPECT_EQ(reconnection.getState(), ConnectionState::CONNECTED);
    provider.awaitingTelemetry = false;
    poll(2);
    EXPECT_EQ(lostReasons, std::vector<std::string>{"Connection lost: Simulator disconnected unexpectedly"});
}

// The runtime with fake providers, a process list the test sets, the test's
// clock, and a real server on a free port.
class Runtime : public ::testing::Test {
protected:
    Runtime() {
        options.port = 0;
        simConnect.connected = xplane.connected = false;
    }

    std::unique_ptr<BridgeRuntime> make() {
        const auto processList = [this] {
            std::lock_guard lock(mutex);
            return std::optional(processes);
        };
        return std::make_unique<BridgeRuntime>(options, running,
                                               RuntimeEnvironment{&simConnect, &xplane, processList, &clock, &out, &out});
    }

    void setProcesses(std::vector<platform::ProcessEntry> list) {
        std::lock_guard lock(mutex);
        processes = std::move(list);
    }

    // One periodic pass: the process monitor scans every 5 s.
    void periodicPass(BridgeRuntime& runtime) {
        clock.advance(5s);
        EXPECT_TRUE(runtime.runPass());
    }

    BridgeOptions options;
    std::atomic<bool> running{true};
    test::ManualClock clock;
    test::FakeProvider simConnect;
    test::FakeProvider xplane{"X-Plane"};
    std::ostringstream out;
    std::mutex mutex;
    std::vector<platform::ProcessEntry> processes;
};

TEST_F(Runtime, DetectionSelectsTheProviderAndConnectingAppliesTheCurrentState) {
    auto runtime = make();
    ASSERT_TRUE(runtime->start());
    runtime->stateManager().setState(ApplicationState::PREFLIGHT);
    setProcesses({{42, "X-Plane.exe"}});
    periodicPass(*runtime);
    EXPECT_TRUE(runtime->selection().usingXPlane());
    EXPECT_EQ(runtime->reconnection().getState(), ConnectionState::CONNECTED);
    EXPECT_EQ(xplane.takeCalls(), (Calls{"connect", "preflight"}));
    EXPECT_TRUE(simConnect.takeCalls().empty());
}

TEST_F(Runtime, AClientsStateChangesReachTheProviderOnlyThroughTheMainLoopAndOnlyTheLast) {
    auto runtime = make();
    ASSERT_TRUE(runtime->start());
    setProcesses({{42, "FlightSimulator.exe"}});
    periodicPass(*runtime);
    EXPECT_EQ(simConnect.takeCalls(), (Calls{"connect", "idle"}));

    // As a client's commands do, from another thread: recorded at once, but
    // the provider is not touched there.
    std::thread server([&] {
        runtime->stateManager().setState(ApplicationState::PREFLIGHT);
        runtime->stateManager().setState(ApplicationState::ACTIVE);
    });
    server.join();
    EXPECT_EQ(runtime->stateManager().getState(), ApplicationState::ACTIVE);
    EXPECT_TRUE(simConnect.takeCalls().empty());
    EXPECT_TRUE(runtime->runPass());  // an early wake: input only
    EXPECT_EQ(simConnect.takeCalls(), (Calls{"snapshot", "active"}));
    EXPECT_TRUE(runtime->runPass());
    EXPECT_TRUE(simConnect.takeCalls().empty());
}

// Input wakes the loop as often as it comes; the periodic work (here the
// connection attempts) keeps its own cadence.
TEST_F(Runtime, EarlyWakesHandleInputButNotThePeriodicWork) {
    auto runtime = make();
    ASSERT_TRUE(runtime->start());
    setProcesses({{42, "FlightSimulator.exe"}});
    simConnect.connectSucceeds = false;
    periodicPass(*runtime);  // the first attempt fails; the next is due in 1 s
    EXPECT_EQ(simConnect.takeCalls(), Calls{"connect"});
    clock.advance(600ms);
    EXPECT_TRUE(runtime->runPass());  // periodic, but too early for an attempt
    clock.advance(450ms);             // the attempt is due, the periodic work not yet
    runtime->stateManager().setState(ApplicationState::PREFLIGHT);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(runtime->runPass());
    EXPECT_TRUE(simConnect.takeCalls().empty());
    clock.advance(50ms);
    EXPECT_TRUE(runtime->runPass());
    EXPECT_EQ(simConnect.takeCalls(), Calls{"connect"});
}

TEST(LoopWake, ManyNotificationsWakeOnce) {
    LoopWake wake;
    std::thread notifier([&] {
        for (int i = 0; i < 1000; ++i) wake.notify();
    });
    notifier.join();
    EXPECT_TRUE(wake.waitFor(0ms));
    EXPECT_FALSE(wake.waitFor(1ms));
}

TEST_F(Runtime, TheHeartbeatTimeOutEndsTheLoop) {
    auto runtime = make();
    ASSERT_TRUE(runtime->start());
    EXPECT_TRUE(runtime->runPass());
    runtime->heartbeat().recordHeartbeat();
    clock.advance(10min);
    EXPECT_FALSE(runtime->runPass());
    EXPECT_FALSE(running.load());
}

// Whatever ends a run, the server stops before the objects its handlers use
// are destroyed, while a client is still talking to it.
TEST_F(Runtime, AnExceptionOutOfTheLoopStopsTheServerBeforeAnythingGoes) {
    auto runtime = make();
    setProcesses({{42, "FlightSimulator.exe"}});
    simConnect.onPoll = [] { throw 42; };  // not a standard exception: nothing catches it
    std::atomic<bool> stop{false};
    std::thread client;
    EXPECT_THROW(
        {
            ASSERT_TRUE(runtime->start());
            const std::uint16_t port = runtime->server().GetPort();
            client = std::thread([port, &stop] {
                test::WsTestClient ws;
                if (ws.Connect(port)) return;
                while (!stop && !ws.WriteText(R"({"type":"STATUS"})")) {
                }
            });
            for (int i = 0; i < 1000 && runtime->server().GetClientCount() == 0; ++i) {
                std::this_thread::sleep_for(1ms);
            }
            for (int i = 0; i < 5; ++i) periodicPass(*runtime);
        },
        int);
    runtime.reset();
    stop = true;
    client.join();
}

}  // namespace
}  // namespace navorel
