#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
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

namespace navorel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Collects what the bridge would broadcast, with a settable client count and
// simulator status.
class OutboundMessagesTest : public ::testing::Test {
protected:
    OutboundMessagesTest() : state(clock), messages(pool, state, hooks(), clock) {}

    OutboundMessages::Hooks hooks() {
        OutboundMessages::Hooks h;
        h.broadcast = [this](const json& message) {
            std::lock_guard lock(sentMutex);
            sent.push_back(message);
        };
        h.clientCount = [this] { return clients.load(); };
        h.simDetected = [this] { return detected.load(); };
        h.activeProvider = [this]() -> SimulatorProvider& { return provider; };
        h.detectedProcess = [] { return std::string(); };
        return h;
    }

    std::vector<json> sentOfType(const std::string& type) {
        std::lock_guard lock(sentMutex);
        std::vector<json> result;
        for (const auto& m : sent) {
            if (m["type"] == type) result.push_back(m);
        }
        return result;
    }

    void activate() {
        state.setState(ApplicationState::PREFLIGHT);
        state.setState(ApplicationState::ACTIVE);
    }

    test::ManualClock clock;
    JsonMessagePool pool;
    ApplicationStateManager state;
    std::atomic<std::size_t> clients{1};
    std::atomic<bool> detected{false};
    test::FakeProvider provider;
    std::mutex sentMutex;
    std::vector<json> sent;
    OutboundMessages messages;
};

AircraftInfo title(const char* text) {
    AircraftInfo info{};
    std::strncpy(info.title, text, sizeof info.title - 1);
    return info;
}

TEST_F(OutboundMessagesTest, NothingIsBuiltOrRememberedWithoutAClient) {
    clients = 0;
    activate();
    messages.sendFlightData(FlightData{});
    messages.sendAircraftInfo(title("TFDi Design MD-11 Freighter"), SampleSource::SimConnect);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    EXPECT_FALSE(messages.sendAcarsInfo());
}

// Flight, equipment and alert values through the plugin are checked end to
// end; here the negative halves, NaN and the SimConnect-only environment.
TEST_F(OutboundMessagesTest, ActiveTelemetryRoundsNegativeHalvesAwayFromZeroAndSendsNaNAsNull) {
    activate();
    FlightData flight{};
    flight.altitudeIndicated = -0.5;
    flight.verticalSpeed = -1235.0;
    flight.pressureAltitude = std::nan("");
    messages.sendFlightData(flight);
    EnvironmentData environment{};
    environment.seaLevelPressure = 29.925;
    environment.ambientWindDirection = 269.5;
    messages.sendEnvironmentData(environment);

    const std::string text = sentOfType("flight_data").at(0).dump();
    EXPECT_NE(text.find("\"altitudeIndicated\":-1.0,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"verticalSpeed\":-1240.0}"), std::string::npos) << text;
    EXPECT_NE(text.find("\"pressureAltitude\":null,"), std::string::npos) << text;
    const json env = sentOfType("environment_data").at(0);
    EXPECT_DOUBLE_EQ(env["seaLevelPressure"].get<double>(), 29.93);
    EXPECT_DOUBLE_EQ(env["ambientWindDirection"].get<double>(), 270.0);
}

TEST_F(OutboundMessagesTest, SystemsDataFollowsTheFiltersAndTheMd11Rule) {
    activate();
    SystemsData systems{};
    systems.landFlapsPosition = 2.0;
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    messages.sendSystemsData(systems, SampleSource::SimConnect);  // identical: nothing
    ASSERT_EQ(sentOfType("systems_data").size(), 1u);
    EXPECT_EQ(sentOfType("systems_data")[0]["flapsHandleIndex"], 2.0);

    // Spoilers 0 -> 50 held with no further sample: the loop's re-check sends it.
    systems.spoilersHandlePosition = 50.0;
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    clock.advance(349ms);
    messages.recheckSpoilers(clock.steadyNow());
    EXPECT_EQ(sentOfType("systems_data").size(), 1u);
    clock.advance(1ms);
    messages.recheckSpoilers(clock.steadyNow());
    ASSERT_EQ(sentOfType("systems_data").size(), 2u);
    EXPECT_EQ(sentOfType("systems_data")[1]["spoilersHandlePosition"], 50.0);

    // An X-Plane title never counts; a SimConnect MD-11 title pins the spoilers to 0.
    messages.sendAircraftInfo(title("TFDi Design MD-11"), SampleSource::XPlane);
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    messages.sendAircraftInfo(title("TFDi Design MD-11 PW"), SampleSource::SimConnect);
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    ASSERT_EQ(sentOfType("systems_data").size(), 3u);
    EXPECT_EQ(sentOfType("systems_data")[2]["spoilersHandlePosition"], 0.0);
}

TEST_F(OutboundMessagesTest, SimEventsPassTheGateAndPausesTheHoldFilter) {
    activate();
    messages.handleSimEvent(SIM_EVENT_PAUSE, 1);
    clock.advance(249ms);
    messages.checkPauseEvent(clock.steadyNow());
    EXPECT_TRUE(sentOfType("sim_event").empty());
    clock.advance(1ms);
    messages.checkPauseEvent(clock.steadyNow());
    messages.handleSimEvent(SIM_EVENT_CRASHED, 7);
    messages.handleSimEvent(42, 3);
    messages.sendSimStop();
    using Events = std::vector<std::pair<std::string, int>>;
    Events events;
    for (const json& e : sentOfType("sim_event")) events.emplace_back(e["event"], e["data"]);
    EXPECT_EQ(events, (Events{{"pause", 1}, {"crashed", 7}, {"unknown", 3}, {"sim_stop", 0}}));

    state.setState(ApplicationState::IDLE);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    EXPECT_EQ(sentOfType("sim_event").size(), 4u);
}

TEST_F(OutboundMessagesTest, AcarsInfoFlagAndContents) {
    // The X-Plane contents are checked end to end; the SimConnect ones only here.
    state.setState(ApplicationState::PREFLIGHT);
    clients = 0;
    messages.sendAcarsInfoOnce();  // not sent: the flag stays clear
    clients = 1;
    messages.sendAcarsInfoOnce();
    messages.sendAcarsInfoOnce();  // the flag holds
    auto info = sentOfType("acars_info");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0]["sim_family"], "MSFS");
    EXPECT_EQ(info[0]["sim_variant"], "2024");
    EXPECT_EQ(info[0]["sim_process"], "unknown");

    messages.clearAcarsInfoFlag();
    messages.sendAcarsInfoOnce();
    EXPECT_EQ(sentOfType("acars_info").size(), 2u);
}

TEST_F(OutboundMessagesTest, SimStatusGoesOutOncePerChangeAndTheHeartbeatWarningHasNoGate) {
    provider.connected = false;
    clients = 0;
    messages.sendSimStatusIfChanged();
    clients = 1;
    messages.sendSimStatusIfChanged();  // same values as remembered: nothing
    EXPECT_TRUE(sentOfType("sim_status").empty());
    detected = true;
    messages.sendSimStatusIfChanged();
    messages.sendSimStatusIfChanged();
    const auto statuses = sentOfType("sim_status");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0]["sim_detected"], true);
    EXPECT_EQ(statuses[0]["state"], "IDLE");

    messages.sendHeartbeatWarning();
    EXPECT_EQ(sentOfType("HEARTBEAT_WARNING").at(0)["message"],
              "No ACARS heartbeat received in 9 minutes. Bridge will shutdown in 1 minute.");
}

TEST_F(OutboundMessagesTest, PreflightSummaryCarriesOnlyTheGroupsFedOncePerSecond) {
    state.setState(ApplicationState::PREFLIGHT);
    FlightData flight{};
    flight.latitude = 47.1234567;
    flight.fuelWeight = 1234.5;
    messages.sendFlightData(flight);
    messages.sendAircraftInfo(title("Cessna \xFF"), SampleSource::XPlane);
    clock.advance(1s);
    messages.sendPreflightSummary();
    messages.sendPreflightSummary();  // not due again yet
    const auto summaries = sentOfType("preflight_data");
    ASSERT_EQ(summaries.size(), 1u);
    const json& m = summaries[0];
    EXPECT_EQ(m["latitude"], 47.123457);
    EXPECT_EQ(m["fuelWeight"], 1235.0);
    EXPECT_EQ(m["title"], "Cessna \xEF\xBF\xBD");
    EXPECT_FALSE(m.contains("parkingBrake"));
    EXPECT_FALSE(m.contains("engine1Running"));
    EXPECT_TRUE(sentOfType("flight_data").empty());
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
    ASSERT_FALSE(statuses.empty());
    for (std::size_t i = 1; i < statuses.size(); ++i) {
        EXPECT_NE(statuses[i]["sim_connected"], statuses[i - 1]["sim_connected"]) << "duplicate at " << i;
    }
    EXPECT_EQ(statuses.back()["sim_connected"].get<bool>(), provider.connected.load());
}

}  // namespace
}  // namespace navorel
