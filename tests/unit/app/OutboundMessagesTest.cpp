#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/OutboundMessages.h"
#include "server/JsonMessagePool.h"
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
            wire.push_back(message.dump());
        };
        h.clientCount = [this] { return clients.load(); };
        h.simDetected = [this] { return detected.load(); };
        h.simConnected = [this] { return connected.load(); };
        h.usingXPlane = [this] { return xplane.load(); };
        h.xplaneVersion = [] { return 12; };
        h.simulatorVariant = [] { return std::string("2024"); };
        h.detectedProcess = [this] { return process; };
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
    std::atomic<bool> connected{false};
    std::atomic<bool> xplane{false};
    std::string process;
    std::mutex sentMutex;
    std::vector<json> sent;
    std::vector<std::string> wire;
    OutboundMessages messages;
};

FlightData sampleFlight() {
    FlightData f{};
    f.latitude = 47.1234567;
    f.longitude = -122.30000049;
    f.altitude = 1234.5;
    f.altitudeIndicated = -0.5;
    f.heading = 359.96;
    f.verticalSpeed = -1235.0;
    f.pitch = 1.005;
    f.fuelWeight = 2204.6226;
    f.pressureAltitude = std::nan("");
    return f;
}

AircraftInfo title(const char* text) {
    AircraftInfo info{};
    std::strncpy(info.title, text, sizeof info.title - 1);
    return info;
}

TEST_F(OutboundMessagesTest, NothingIsBuiltOrRememberedWithoutAClient) {
    clients = 0;
    activate();
    messages.sendFlightData(sampleFlight());
    messages.sendAircraftInfo(title("TFDi Design MD-11 Freighter"), SampleSource::SimConnect);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    EXPECT_FALSE(messages.sendAcarsInfo());
}

TEST_F(OutboundMessagesTest, PreflightSendsNoTelemetryButFeedsTheSummary) {
    state.setState(ApplicationState::PREFLIGHT);
    messages.sendFlightData(sampleFlight());
    messages.sendAircraftInfo(title("Cessna 172"), SampleSource::XPlane);
    EXPECT_TRUE(sent.empty());
    clock.advance(1s);
    auto summary = state.buildPreflightMessage(pool);
    ASSERT_TRUE(summary);
    EXPECT_EQ((*summary)["title"], "Cessna 172");
    EXPECT_DOUBLE_EQ((*summary)["latitude"].get<double>(), 47.123457);
    EXPECT_TRUE(messages.sendAcarsInfo());
}

TEST_F(OutboundMessagesTest, FlightDataIsRoundedAndSentWithSortedKeysAndTicks) {
    activate();
    messages.sendFlightData(sampleFlight());
    auto flights = sentOfType("flight_data");
    ASSERT_EQ(flights.size(), 1u);
    const json& m = flights[0];
    EXPECT_DOUBLE_EQ(m["latitude"].get<double>(), 47.123457);
    EXPECT_DOUBLE_EQ(m["longitude"].get<double>(), -122.3);
    EXPECT_TRUE(m["altitude"].is_number_float());
    EXPECT_DOUBLE_EQ(m["altitude"].get<double>(), 1235.0);
    EXPECT_DOUBLE_EQ(m["altitudeIndicated"].get<double>(), -1.0);
    EXPECT_DOUBLE_EQ(m["heading"].get<double>(), 360.0);
    EXPECT_DOUBLE_EQ(m["verticalSpeed"].get<double>(), -1240.0);
    EXPECT_DOUBLE_EQ(m["fuelWeight"].get<double>(), 2205.0);
    EXPECT_TRUE(std::isnan(m["pressureAltitude"].get<double>()));  // NaN passes rounding
    EXPECT_EQ(m["timestamp"].get<std::int64_t>(), toUnixTicks100ns(clock.systemNow()));

    const std::string& text = wire.back();
    EXPECT_LT(text.find("\"airspeedIndicated\""), text.find("\"altitude\""));
    EXPECT_LT(text.find("\"timestamp\""), text.find("\"type\""));
    EXPECT_NE(text.find("\"altitude\":1235.0"), std::string::npos);
    EXPECT_NE(text.find("\"pressureAltitude\":null"), std::string::npos);
}

TEST_F(OutboundMessagesTest, EquipmentEnvironmentAndAlertsConvertTheirValues) {
    activate();
    EquipmentData equipment{};
    equipment.lightBeacon = 1.0;
    equipment.parkingBrakePosition = 75.0;
    messages.sendEquipmentData(equipment);
    EnvironmentData environment{};
    environment.surfaceCondition = 7;
    environment.seaLevelPressure = 29.925;
    environment.ambientWindDirection = 269.5;
    messages.sendEnvironmentData(environment);
    messages.sendAlertData(AlertData{0.0, 0.6, 0.5});

    auto eq = sentOfType("equipment_data").at(0);
    EXPECT_EQ(eq["lightBeacon"], true);
    EXPECT_EQ(eq["parkingBrake"], true);
    EXPECT_EQ(eq["doorMain"], false);
    auto env = sentOfType("environment_data").at(0);
    EXPECT_EQ(env["surfaceCondition"], 7u);
    EXPECT_DOUBLE_EQ(env["seaLevelPressure"].get<double>(), 29.93);
    EXPECT_DOUBLE_EQ(env["ambientWindDirection"].get<double>(), 270.0);
    auto alert = sentOfType("alert_data").at(0);
    EXPECT_EQ(alert["stallWarning"], true);
    EXPECT_EQ(alert["isSlewActive"], false);
}

TEST_F(OutboundMessagesTest, SystemsDataFollowsTheFiltersAndTheMd11Rule) {
    activate();
    SystemsData systems{};
    systems.spoilersHandlePosition = 0.0;
    systems.landFlapsPosition = 2.0;
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    messages.sendSystemsData(systems, SampleSource::SimConnect);  // identical: nothing
    auto first = sentOfType("systems_data");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_DOUBLE_EQ(first[0]["flapsHandleIndex"].get<double>(), 2.0);

    // Spoilers 0 -> 50 held with no further sample: the loop's re-check sends it.
    systems.spoilersHandlePosition = 50.0;
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    clock.advance(349ms);
    messages.recheckSpoilers(clock.steadyNow());
    EXPECT_EQ(sentOfType("systems_data").size(), 1u);
    clock.advance(1ms);
    messages.recheckSpoilers(clock.steadyNow());
    auto afterHold = sentOfType("systems_data");
    ASSERT_EQ(afterHold.size(), 2u);
    EXPECT_DOUBLE_EQ(afterHold[1]["spoilersHandlePosition"].get<double>(), 50.0);

    // An X-Plane title never counts; a SimConnect MD-11 title pins the spoilers to 0.
    messages.sendAircraftInfo(title("TFDi Design MD-11"), SampleSource::XPlane);
    EXPECT_EQ(messages.currentAircraftTitle(), "");
    messages.sendAircraftInfo(title("TFDi Design MD-11 PW"), SampleSource::SimConnect);
    messages.sendSystemsData(systems, SampleSource::SimConnect);
    auto pinned = sentOfType("systems_data");
    ASSERT_EQ(pinned.size(), 3u);
    EXPECT_DOUBLE_EQ(pinned[2]["spoilersHandlePosition"].get<double>(), 0.0);
}

TEST_F(OutboundMessagesTest, SimEventsPassTheGateAndPausesTheHoldFilter) {
    activate();
    messages.handleSimEvent(SIM_EVENT_PAUSE, 1);
    clock.advance(100ms);
    messages.handleSimEvent(SIM_EVENT_PAUSE, 1);
    messages.checkPauseEvent(clock.steadyNow());
    EXPECT_TRUE(sentOfType("sim_event").empty());
    clock.advance(150ms);
    messages.checkPauseEvent(clock.steadyNow());
    messages.handleSimEvent(SIM_EVENT_CRASHED, 7);
    messages.handleSimEvent(SIM_EVENT_SIM_STOP, 0);
    messages.handleSimEvent(42, 3);
    messages.sendSimStop();
    auto events = sentOfType("sim_event");
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0]["event"], "pause");
    EXPECT_EQ(events[0]["data"], 1);
    EXPECT_EQ(events[1]["event"], "crashed");
    EXPECT_EQ(events[1]["data"], 7u);
    EXPECT_EQ(events[2]["event"], "sim_stop");
    EXPECT_EQ(events[3]["event"], "unknown");
    EXPECT_EQ(events[3]["data"], 3u);
    EXPECT_EQ(events[4]["event"], "sim_stop");

    state.setState(ApplicationState::IDLE);
    messages.handleSimEvent(SIM_EVENT_CRASHED, 1);
    EXPECT_EQ(sentOfType("sim_event").size(), 5u);
}

TEST_F(OutboundMessagesTest, AcarsInfoFlagAndContents) {
    process = "X-Plane.exe";
    xplane = true;
    state.setState(ApplicationState::PREFLIGHT);
    messages.sendAcarsInfoOnce();
    messages.sendAcarsInfoOnce();  // the flag holds
    auto info = sentOfType("acars_info");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0]["sim_family"], "X-Plane");
    EXPECT_EQ(info[0]["sim_variant"], "12");
    EXPECT_EQ(info[0]["sim_process"], "X-Plane.exe");
    EXPECT_EQ(info[0]["bridge_name"], "Navorel Bridge");
    EXPECT_EQ(info[0]["bridge_version"], "1.0.0");

    messages.clearAcarsInfoFlag();
    clients = 0;
    messages.sendAcarsInfoOnce();  // not sent: the flag stays clear
    clients = 1;
    xplane = false;
    process.clear();
    messages.sendAcarsInfoOnce();
    info = sentOfType("acars_info");
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(info[1]["sim_family"], "MSFS");
    EXPECT_EQ(info[1]["sim_variant"], "2024");
    EXPECT_EQ(info[1]["sim_process"], "unknown");
}

TEST_F(OutboundMessagesTest, HeartbeatWarningHasNoGate) {
    messages.sendHeartbeatWarning();
    auto warnings = sentOfType("HEARTBEAT_WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0]["message"],
              "No ACARS heartbeat received in 9 minutes. Bridge will shutdown in 1 minute.");
}

TEST_F(OutboundMessagesTest, SimStatusGoesOutOncePerChangeAndIsRememberedWithoutClients) {
    clients = 0;
    messages.sendSimStatusIfChanged();
    clients = 1;
    messages.sendSimStatusIfChanged();  // same values as remembered: nothing
    EXPECT_TRUE(sentOfType("sim_status").empty());
    detected = true;
    messages.sendSimStatusIfChanged();
    messages.sendSimStatusIfChanged();
    auto statuses = sentOfType("sim_status");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0]["sim_detected"], true);
    EXPECT_EQ(statuses[0]["state"], "IDLE");
}

TEST_F(OutboundMessagesTest, ConcurrentStatusChecksSendEachChangeExactlyOnce) {
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) messages.sendSimStatusIfChanged();
    });
    for (int i = 0; i < 200; ++i) {
        connected = !connected;
        messages.sendSimStatusIfChanged();
    }
    done = true;
    other.join();
    auto statuses = sentOfType("sim_status");
    ASSERT_FALSE(statuses.empty());
    for (std::size_t i = 1; i < statuses.size(); ++i) {
        EXPECT_NE(statuses[i]["sim_connected"], statuses[i - 1]["sim_connected"]) << "duplicate at " << i;
    }
    EXPECT_EQ(statuses.back()["sim_connected"].get<bool>(), connected.load());
}

}  // namespace
}  // namespace navorel
