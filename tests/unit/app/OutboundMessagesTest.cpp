#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "FakeProvider.h"
#include "app/OutboundMessages.h"
#include "core/JsonMessagePool.h"
#include "supervision/ApplicationStateManager.h"
#include "support/ManualClock.h"

// The plugin's telemetry (contents, rounding, the gate in each state, the
// pause hold, crash and stop events, X-Plane's acars_info, sim_status changes)
// is covered end to end, the preflight summary by the state manager's tests.
// Here: what only SimConnect delivers, the loop's re-checks, the flags kept
// without a client, and concurrent callers.

namespace navorel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Collects what the bridge would broadcast (from any thread), with a settable
// client count and connection.
class OutboundMessagesTest : public ::testing::Test {
protected:
    OutboundMessagesTest()
        : state(clock),
          messages(pool, state,
                   {.broadcast =
                        [this](const json& message) {
                            std::this_thread::yield();  // lets a racing caller overtake, if it can
                            std::lock_guard lock(sentMutex);
                            sent.push_back(message);
                        },
                    .clientCount = [this] { return clients.load(); },
                    .simDetected = [] { return true; },
                    .activeProvider = [this]() -> SimulatorProvider& { return provider; },
                    .detectedProcess = [] { return std::string(); }},
                   clock) {}

    std::vector<json> sentOfType(const std::string& type) {
        std::vector<json> result;
        std::copy_if(sent.begin(), sent.end(), std::back_inserter(result),
                     [&](const json& m) { return m["type"] == type; });
        return result;
    }

    void sendTitle(const char* text, SampleSource source) {
        AircraftInfo info{};
        std::strncpy(info.title, text, sizeof info.title - 1);
        messages.sendAircraftInfo(info, source);
    }

    test::ManualClock clock;
    JsonMessagePool pool;
    ApplicationStateManager state;
    std::atomic<std::size_t> clients{1};
    test::FakeProvider provider;
    std::mutex sentMutex;
    std::vector<json> sent;
    OutboundMessages messages;
};

TEST_F(OutboundMessagesTest, NothingGoesOutOrIsRememberedWithoutAClientNorOutsideActive) {
    state.setState(ApplicationState::ACTIVE);
    clients = 0;
    messages.sendFlightData(FlightData{});
    sendTitle("TFDi Design MD-11 Freighter", SampleSource::SimConnect);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    clients = 1;
    messages.handleSimEvent(42, 3);  // not one the bridge knows
    state.setState(ApplicationState::IDLE);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["event"], "unknown");
    EXPECT_EQ(sent[0]["data"], 3);
}

TEST_F(OutboundMessagesTest, TheSimConnectEnvironmentIsRounded) {
    state.setState(ApplicationState::ACTIVE);
    EnvironmentData environment{};
    environment.seaLevelPressure = 29.925;
    environment.ambientWindDirection = 269.5;
    messages.sendEnvironmentData(environment);
    const json sentEnvironment = sentOfType("environment_data").at(0);
    EXPECT_DOUBLE_EQ(sentEnvironment["seaLevelPressure"].get<double>(), 29.93);
    EXPECT_DOUBLE_EQ(sentEnvironment["ambientWindDirection"].get<double>(), 270.0);
}

TEST_F(OutboundMessagesTest, AHeldSpoilerChangeGoesOutOnTheLoopsRecheckAndASimConnectMd11PinsIt) {
    state.setState(ApplicationState::ACTIVE);
    SystemsData systems{};
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    systems.spoilersHandlePosition = 50.0;
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    EXPECT_EQ(sentOfType("systems_data").size(), 1u);  // held, and no further sample comes
    clock.advance(350ms);
    messages.recheckSpoilers(clock.steadyNow());
    ASSERT_EQ(sentOfType("systems_data").size(), 2u);
    EXPECT_EQ(sentOfType("systems_data")[1]["spoilersHandlePosition"], 50.0);

    sendTitle("TFDi Design MD-11", SampleSource::XPlane);  // an X-Plane title never counts
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    sendTitle("TFDi Design MD-11 PW", SampleSource::SimConnect);
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    ASSERT_EQ(sentOfType("systems_data").size(), 3u);
    EXPECT_EQ(sentOfType("systems_data")[2]["spoilersHandlePosition"], 0.0);
}

TEST_F(OutboundMessagesTest, AcarsInfoGoesOutOnceUntilTheFlagIsClearedAndOnlyToAClient) {
    clients = 0;
    messages.sendAcarsInfoOnce();  // not sent: the flag stays clear
    clients = 1;
    messages.sendAcarsInfoOnce();
    messages.sendAcarsInfoOnce();
    ASSERT_EQ(sentOfType("acars_info").size(), 1u);
    EXPECT_EQ(sentOfType("acars_info")[0]["sim_process"], "unknown");  // no process detected
    messages.clearAcarsInfoFlag();
    messages.sendAcarsInfoOnce();
    EXPECT_EQ(sentOfType("acars_info").size(), 2u);
}

TEST_F(OutboundMessagesTest, ASimStatusNobodyHeardIsNotSentLaterAndTheHeartbeatWarningHasNoGate) {
    clients = 0;
    messages.sendSimStatusIfChanged();
    clients = 1;
    messages.sendSimStatusIfChanged();
    EXPECT_TRUE(sent.empty());  // a client that connects gets its own
    messages.sendHeartbeatWarning();
    EXPECT_EQ(sentOfType("HEARTBEAT_WARNING").at(0)["message"],
              "No ACARS heartbeat received in 9 minutes. Bridge will shutdown in 1 minute.");
}

TEST_F(OutboundMessagesTest, ConcurrentStatusChecksSendEachChangeExactlyOnce) {
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) messages.sendSimStatusIfChanged();
    });
    for (int i = 0; i < 200; ++i) {
        provider.connected = !provider.connected;
        messages.sendSimStatusIfChanged();
    }
    done = true;
    other.join();
    const auto statuses = sentOfType("sim_status");
    const auto same = [](const json& a, const json& b) { return a["sim_connected"] == b["sim_connected"]; };
    EXPECT_EQ(std::adjacent_find(statuses.begin(), statuses.end(), same), statuses.end()) << "a change sent twice";
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back()["sim_connected"].get<bool>(), provider.connected.load());
}

}  // namespace
}  // namespace navorel
