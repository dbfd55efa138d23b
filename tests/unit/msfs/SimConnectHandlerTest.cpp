#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "ScriptedSimConnect.h"
#include "msfs/SimConnectHandler.h"
#include "support/CapturedLog.h"

namespace navorel {
namespace {

namespace wire = simconnect::wire;
using Lines = std::vector<std::string>;

wire::Packet simObjectData(std::uint32_t requestId, const wire::Packet& block) {
    return wire::encodeSimObjectData({requestId, 0, requestId, 0, 1, 1, 1, block});
}

wire::Packet doubles(const std::vector<double>& values) {
    wire::ByteWriter block;
    for (std::size_t i = 0; i < values.size(); ++i) block.f64(i * 8, values[i]);
    return block.take();
}

// Records every callback as one line of its arguments.
class Handler : public ::testing::Test {
protected:
    Handler() {
        handler.setFlightDataCallback([this](const FlightData& d) { note("flight", d.latitude); });
        handler.setSystemsDataCallback([this](const SystemsData& d) { note("systems", d.gearPosition, d.simOnGround); });
        handler.setAircraftInfoCallback([this](const AircraftInfo& d) { note("title", d.title); });
        handler.setEnvironmentDataCallback(
            [this](const EnvironmentData& d) { note("environment", d.ambientPrecipState, d.seaLevelPressure); });
        handler.setSimEventCallback([this](std::uint32_t type, std::uint32_t data) { note("event", type, data); });
        handler.setAirportFacilityCallback(
            [this](std::uint32_t id, const FacilityAirportData& d) { note("airport", id, d.icao); });
        handler.setRunwayFacilityCallback([this](std::uint32_t id, std::uint32_t index, const FacilityRunwayData& d) {
            note("runway", id, index, d.primaryNumber);
        });
        handler.setPavementFacilityCallback([this](std::uint32_t id, std::uint32_t index,
                                                   const FacilityPavementData& d) { note("pavement", id, index, d.enabled); });
        handler.setFacilityDataEndCallback([this](std::uint32_t id) { note("end", id); });
    }

    template <typename... Values>
    void note(const Values&... values) {
        std::ostringstream line;
        ((line << values << ' '), ...);
        seen.push_back(line.str().substr(0, line.str().size() - 1));
    }

    void connected() {
        ASSERT_TRUE(handler.connect());
        script.take();
        log.take();
    }

    void deliver(std::initializer_list<wire::Packet> messages) {
        for (const auto& message : messages) script.inbox.push_back(message);
        handler.processMessages();
    }

    test::SimConnectScript script;
    test::CapturedLog log{LogLevel::DEBUG};
    SimConnectHandler handler{std::make_unique<test::ScriptedConnector>(script), log.logger()};
    Lines seen;
};

TEST_F(Handler, ConnectDefinesRequestsAndSubscribesInItsOrder) {
    ASSERT_TRUE(handler.connect());
    // The order of the calls and the data requests are checked end to end.
    const Lines calls = script.take();
    EXPECT_EQ(calls[0], "open Navorel Bridge 0");
    EXPECT_EQ(calls[1], "add 0 PLANE LATITUDE | degrees | 4 0 4294967295");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "add 3 TITLE | (null) | 9 0 4294967295"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "add 1 GEAR POSITION | bool | 1 0 4294967295"), calls.end());
    EXPECT_EQ(calls[calls.size() - 37], "facility 7 OPEN AIRPORT");
    EXPECT_EQ(calls.back(), "map 1000 PAUSE_SET");
    EXPECT_TRUE(handler.isConnected());
    EXPECT_EQ(log.take(), Lines{"[INFO ] [SimConnect] Successfully connected to Flight Simulator"});
    EXPECT_TRUE(handler.connect());  // already connected: nothing sent
    EXPECT_TRUE(script.take().empty());
}

TEST_F(Handler, OpenFailuresAreExplainedAndOnlyNotReadyYetIsQuiet) {
    const std::pair<simconnect::Result, const char*> cases[] = {
        {0x80004005, "[INFO ] [SimConnect] Failed to connect to Flight Simulator. Error: 0x80004005 (Flight "
                     "Simulator is still starting - SimConnect not ready yet) - will retry automatically"},
        {0x800706BA, "[ERROR] [SimConnect] Failed to connect to Flight Simulator. Error: 0x800706ba (Flight "
                     "Simulator not running)"},
        {0x1234, "[ERROR] [SimConnect] Failed to connect to Flight Simulator. Error: 0x1234 (Check if Flight "
                 "Simulator is running)"},
    };
    for (const auto& [hr, line] : cases) {
        script.openResult = hr;
        EXPECT_FALSE(handler.connect());
        EXPECT_EQ(log.take(), Lines{line});
        EXPECT_NE(std::string(line).find(handler.getLastError()), std::string::npos);
    }
    EXPECT_EQ(SimConnectHandler::connectionFailureText(0x80040154),
              "Failed to connect to Flight Simulator. Error: 0x80040154 (SimConnect not installed)");
}

TEST_F(Handler, AFailingDefinitionClosesTheHalfConfiguredConnection) {
    script.failures[20] = 0x80004005;  // the 20th call on the connection
    EXPECT_FALSE(handler.connect());
    const Lines calls = script.take();  // the open, 20 calls, the close
    EXPECT_EQ(calls.size(), 22u);
    EXPECT_EQ(calls[20].substr(0, 6), "add 4 ");
    EXPECT_EQ(calls.back(), "close");
    EXPECT_FALSE(handler.isConnected());
    EXPECT_EQ(handler.getLastError(), "Failed to configure SimConnect data definitions");
    EXPECT_EQ(log.take().back(), "[ERROR] [SimConnect] Failed to configure SimConnect data definitions");
    // A failed PAUSE_SET mapping only warns.
    script.failures[script.connectionCalls + 97] = 0x80004005;  // the mapping is the last of 97 calls
    EXPECT_TRUE(handler.connect());
    EXPECT_EQ(script.take().front().substr(0, 12), "open Navorel");
    EXPECT_EQ(log.take().back(), "[WARN ] [SimConnect] Failed to map PAUSE_SET control event (hr=0x80004005) - "
                                 "pause control commands will be unavailable");
    EXPECT_TRUE(handler.isConnected());
}

// The requests of each mode are checked end to end.
TEST_F(Handler, DataModesNeedAConnectionAndAreLogged) {
    handler.setActiveMode();  // not connected: nothing, not even a log line
    EXPECT_TRUE(script.take().empty());
    connected();
    handler.setPreflightMode();
    handler.setActiveMode();
    handler.requestDataSnapshot();
    EXPECT_EQ(log.take(), (Lines{"[INFO ] [SimConnect] Switched to preflight data mode (periodic requests)",
                                 "[INFO ] [SimConnect] Switched to active data mode (on-change requests)",
                                 "[INFO ] [SimConnect] Requested current data snapshot"}));
}

TEST_F(Handler, MessagesBecomeCallbacksAndLogLines) {
    connected();
    wire::Packet flight = doubles({47.5, 8.5, 1000, 1000, 500, 90, 120, -20000, 2, -3, 120, 50, 300, 1000});
    wire::ByteWriter systems;
    systems.f64(16, 0.0);
    systems.i32(24, 1);  // the gear position is a 32-bit integer between doubles
    systems.f64(36, 1.0);
    systems.f64(100, 0.0);
    wire::ByteWriter environment;
    environment.u32(4, 3);
    environment.f64(8, 29.92);
    environment.f64(40, 0);
    deliver({wire::encodeException({7, 1, 2}), wire::encodeException({31, 0, 0}), wire::encodeException({0, 0, 0}),
             wire::encodeEvent({0, 0, 1}), simObjectData(0, flight), simObjectData(1, systems.take()),
             simObjectData(6, environment.take()), simObjectData(7, flight)});
    EXPECT_EQ(log.take(), (Lines{"[ERROR] [SimConnect] SimConnect Exception 7 (Unknown variable name)",
                                 "[ERROR] [SimConnect] SimConnect Exception 31"}));
    EXPECT_EQ(seen, (Lines{"event 0 1", "flight 47.5", "systems 1 1", "environment 3 29.92"}));
}

TEST_F(Handler, ImplausibleFlightSamplesAndShortBlocksAreDropped) {
    connected();
    const auto sample = [](std::size_t field, double value) {
        std::vector<double> values{47.5, 8.5, 1000, 1000, 500, 90, 120, 0, 2, -3, 120, 50, 300, 1000};
        values[field] = value;
        return simObjectData(0, doubles(values));
    };
    deliver({sample(0, 90.0), sample(0, 90.0001), sample(5, -0.5), sample(6, std::nan("")), sample(7, -20000),
             sample(4, 50000), sample(4, 50001)});
    EXPECT_EQ(seen, (Lines{"flight 90", "flight 47.5", "flight 47.5"}));
    seen.clear();
    wire::Packet shortFlight = doubles({1, 2, 3});
    wire::Packet title(256, std::byte{'A'});  // fills its field: no terminator of its own
    deliver({simObjectData(0, shortFlight), simObjectData(3, title), simObjectData(3, wire::Packet(255))});
    EXPECT_EQ(seen, Lines{"title " + std::string(255, 'A')});
}

TEST_F(Handler, FacilityAnswersCarryTheRunwaysUniqueIdToItsThresholds) {
    connected();
    EXPECT_TRUE(handler.requestRunwayData("KSFO", 10000));
    EXPECT_EQ(script.take(), Lines{"facilityData 7 10000 KSFO []"});
    wire::ByteWriter airport;
    airport.text(92, 8, "KSFO");
    airport.i32(108, 1);
    wire::ByteWriter runway;
    runway.i32(40, 28);
    runway.i32(52, 0);
    wire::ByteWriter pavement;
    pavement.i32(8, 1);
    const auto item = [](std::uint32_t unique, std::uint32_t parent, wire::FacilityDataType type, wire::Packet block) {
        return wire::encodeFacilityData({10000, unique, parent, static_cast<std::uint32_t>(type), 0, 0, 0, block});
    };
    const wire::Packet pavementBlock = pavement.take();
    deliver({item(1, 0, wire::FacilityDataType::AIRPORT, airport.take()),
             item(2, 1, wire::FacilityDataType::RUNWAY, runway.take()),
             item(3, 2, wire::FacilityDataType::PAVEMENT, pavementBlock),
             item(4, 2, wire::FacilityDataType::PAVEMENT, wire::Packet(8)),  // too short
             wire::encodeFacilityData({10000, 5, 1, 99, 0, 0, 0, pavementBlock}), wire::encodeFacilityDataEnd({10000})});
    EXPECT_EQ(seen, (Lines{"airport 10000 KSFO", "runway 10000 2 28", "pavement 10000 2 1", "end 10000"}));
}

TEST_F(Handler, TheOpenReplyNamesTheVariant) {
    EXPECT_EQ(handler.getSimulatorVariant(), "unknown");
    connected();
    const std::pair<const char*, const char*> names[] = {
        {"Microsoft Flight Simulator 2024", "2024"}, {"KittyHawk 2020", "2020"}, {"msfs 2020 or 2024", "2024"},
        {"KittyHawk", "unknown"}};
    for (const auto& [name, variant] : names) {
        wire::OpenMessage open;
        open.applicationName = name;
        open.applicationVersionMajor = 11;
        open.applicationBuildMajor = 282174;
        deliver({wire::encodeOpenMessage(open)});
        EXPECT_EQ(handler.getSimulatorVariant(), variant) << name;
    }
    EXPECT_EQ(log.lines().back(), "[INFO ] [SimConnect] Connected simulator: KittyHawk version 11.0.282174.0");
}

// The library closes a connection on its own (peer gone, bad message size);
// the handler must notice, and a quit leaves a connection to close before the
// next one opens.
TEST_F(Handler, ALostOrQuitConnectionIsReportedAndClosedBeforeTheNextOpen) {
    connected();
    script.dispatchResult = 0xC000013E;
    handler.processMessages();
    EXPECT_FALSE(handler.isConnected());
    EXPECT_EQ(handler.getLastError(), "SimConnect connection lost (hr=0xc000013e)");
    EXPECT_EQ(log.take(), Lines{"[WARN ] [SimConnect] SimConnect connection lost (hr=0xc000013e)"});
    script.dispatchResult = simconnect::result::OK;
    ASSERT_TRUE(handler.connect());
    EXPECT_EQ(script.take().front(), "close");

    log.take();
    deliver({wire::encodeQuit()});
    EXPECT_FALSE(handler.isConnected());
    EXPECT_EQ(log.take(), Lines{"[WARN ] [SimConnect] SimConnect quit message received"});
    handler.disconnect();  // nothing usable: closes quietly
    EXPECT_EQ(script.take(), Lines{"close"});
    EXPECT_TRUE(log.take().empty());
}

TEST_F(Handler, PauseAndRunwayRequestsAnswerWithTheirTexts) {
    EXPECT_FALSE(handler.setPaused(true));
    EXPECT_EQ(handler.getLastError(), "Cannot set pause: SimConnect is not connected");
    EXPECT_FALSE(handler.requestRunwayData("KSFO", 10000));
    EXPECT_TRUE(log.take().empty());
    connected();
    EXPECT_TRUE(handler.setPaused(true));  // the event it sends is checked end to end
    script.failures[script.connectionCalls + 1] = 0x80004005;
    script.failures[script.connectionCalls + 2] = 0x80070057;
    EXPECT_FALSE(handler.setPaused(false));
    EXPECT_EQ(handler.getLastError(), "Failed to send PAUSE_SET event (value=0, hr=0x80004005)");
    EXPECT_FALSE(handler.requestRunwayData("LSZH", 10001));
    EXPECT_EQ(log.take(),
              (Lines{"[ERROR] [SimConnect] Failed to send PAUSE_SET event (value=0, hr=0x80004005)",
                     "[ERROR] [SimConnect] SimConnect_RequestFacilityData failed for LSZH (hr=0x80070057)"}));
    handler.disconnect();
    EXPECT_EQ(log.take(), Lines{"[INFO ] [SimConnect] Disconnected from Flight Simulator"});
}

}  // namespace
}  // namespace navorel
