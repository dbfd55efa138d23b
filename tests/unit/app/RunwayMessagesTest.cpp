#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "support/ManualClock.h"
#include "RunwayTestSupport.h"
#include "app/RunwayRequests.h"
#include "server/JsonMessagePool.h"

namespace navorel {
namespace {

TEST(RunwayTables, SurfaceNames) {
    EXPECT_EQ(runwaySurfaceName(0), "Concrete");
    EXPECT_EQ(runwaySurfaceName(4), "Asphalt");
    EXPECT_EQ(runwaySurfaceName(23), "Tarmac");
    EXPECT_EQ(runwaySurfaceName(24), "Wright Flyer Track");
    EXPECT_EQ(runwaySurfaceName(32), "Paint");
    EXPECT_EQ(runwaySurfaceName(255), "Undefined");
    for (int code : {33, 99, 254, 256, -1, std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(runwaySurfaceName(code), "Unknown") << code;
    }
}

TEST(RunwayTables, DesignatorsNumbersAndIdents) {
    const char* letters[] = {"", "L", "R", "C", "W", "A", "B", ""};
    for (int code = 0; code < 8; ++code) EXPECT_EQ(runwayDesignatorLetter(code), letters[code]) << code;
    EXPECT_EQ(runwayDesignatorLetter(-1), "");

    EXPECT_EQ(runwayNumberText(1), "01");
    EXPECT_EQ(runwayNumberText(9), "09");
    EXPECT_EQ(runwayNumberText(36), "36");
    EXPECT_EQ(runwayNumberText(37), "N");
    EXPECT_EQ(runwayNumberText(40), "SE");
    EXPECT_EQ(runwayNumberText(44), "NW");
    for (int number : {0, 45, -3, 100}) EXPECT_EQ(runwayNumberText(number), "") << number;

    EXPECT_EQ(runwayIdent(9, 1), "09L");
    EXPECT_EQ(runwayIdent(36, 2), "36R");
    EXPECT_EQ(runwayIdent(0, 0), "");
    EXPECT_EQ(runwayIdent(37, 0), "N");
    EXPECT_EQ(runwayIdent(0, 3), "C");
}

class RunwayMessages : public ::testing::Test {
protected:
    RunwayRequestManager::Operations operations() {
        RunwayRequestManager::Operations ops;
        ops.clientCount = [this] { return sink.clients.load(); };
        ops.broadcast = [this](const nlohmann::json& message) { sink.broadcast(message); };
        return ops;
    }

    test::ManualClock clock;
    test::MessageSink sink;
    JsonMessagePool pool;
};

TEST_F(RunwayMessages, RunwayInfoCarriesEveryKeyRoundedAndInAscendingOrder) {
    RunwayRequestManager manager(pool, operations(), clock);
    PendingRunwayRequest request;
    request.icao = "LSZH";
    request.airportReceived = true;
    request.latitude = 47.4580561;
    request.longitude = -8.5480566;
    request.altitudeFt = 1416.5;
    request.magneticVariation = 2.125f;
    request.name = "Zurich";
    request.airportIcao = "LSZH";
    request.region = "LS";
    request.runwayCount = 1;
    RunwayEntry runway;
    runway.index = 7;
    runway.latitude = 47.1;
    runway.longitude = 8.2;
    runway.altitudeFt = -12.5;  // halves go away from zero
    runway.headingDegrees = 137.25f;
    runway.lengthFt = 12139.5f;
    runway.widthFt = 196.85f;
    runway.surfaceCode = 4;
    runway.primaryNumber = 9;
    runway.primaryDesignatorCode = 1;
    runway.secondaryNumber = 27;
    runway.secondaryDesignatorCode = 2;
    runway.primaryThreshold = {true, true, 820.5f, 196.85f};
    request.runways.push_back(runway);

    manager.sendRunwayInfo(request);

    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    const nlohmann::json& m = messages[0];
    EXPECT_EQ(m["type"], "runway_info");
    EXPECT_EQ(m["icao"], "LSZH");
    EXPECT_EQ(m["timestamp"], toUnixTicks100ns(clock.systemNow()));
    const nlohmann::json& airport = m["airport"];
    EXPECT_EQ(airport["name"], "Zurich");
    EXPECT_EQ(airport["icao"], "LSZH");
    EXPECT_EQ(airport["region"], "LS");
    EXPECT_DOUBLE_EQ(airport["latitude"].get<double>(), 47.458056);
    EXPECT_DOUBLE_EQ(airport["longitude"].get<double>(), -8.548057);
    EXPECT_DOUBLE_EQ(airport["altitudeFt"].get<double>(), 1417.0);
    EXPECT_DOUBLE_EQ(airport["magneticVariation"].get<double>(), 2.13);
    EXPECT_EQ(airport["runwayCount"], 1);
    EXPECT_TRUE(airport["runwayCount"].is_number_integer());

    ASSERT_EQ(m["runways"].size(), 1u);
    const nlohmann::json& r = m["runways"][0];
    EXPECT_DOUBLE_EQ(r["altitudeFt"].get<double>(), -13.0);
    EXPECT_DOUBLE_EQ(r["headingDegrees"].get<double>(), 137.3);
    EXPECT_DOUBLE_EQ(r["lengthFt"].get<double>(), 12140.0);
    EXPECT_DOUBLE_EQ(r["widthFt"].get<double>(), 197.0);
    EXPECT_EQ(r["surfaceCode"], 4);
    EXPECT_EQ(r["surface"], "Asphalt");
    EXPECT_EQ(r["primaryIdent"], "09L");
    EXPECT_EQ(r["secondaryIdent"], "27R");
    EXPECT_EQ(r["primaryDesignator"], "L");
    EXPECT_EQ(r["secondaryDesignator"], "R");
    EXPECT_EQ(r["primaryNumber"], 9);
    EXPECT_EQ(r["secondaryDesignatorCode"], 2);
    EXPECT_EQ(r["primaryThreshold"],
              (nlohmann::json{{"enabled", true}, {"lengthFt", 821.0}, {"present", true}, {"widthFt", 197.0}}));
    // A threshold never delivered is absent and disabled with zero lengths.
    EXPECT_EQ(r["secondaryThreshold"],
              (nlohmann::json{{"enabled", false}, {"lengthFt", 0.0}, {"present", false}, {"widthFt", 0.0}}));

    const std::string text = m.dump();
    EXPECT_EQ(text.rfind("{\"airport\":{\"altitudeFt\":1417.0,\"icao\":\"LSZH\",\"latitude\"", 0), 0u) << text;
    EXPECT_NE(text.find("\"runways\":[{\"altitudeFt\":-13.0,\"headingDegrees\":137.3,\"latitude\""),
              std::string::npos);
    EXPECT_NE(text.find("],\"timestamp\":"), std::string::npos);
    EXPECT_EQ(text.find("\"type\":\"runway_info\"}"), text.size() - 21);
}

TEST_F(RunwayMessages, ErrorMessageAndClientGate) {
    RunwayRequestManager manager(pool, operations(), clock);
    manager.sendRunwayInfoError("KJFK", "Runway info request timed out");
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].dump(), "{\"error\":\"Runway info request timed out\",\"icao\":\"KJFK\",\"timestamp\":" +
                                      std::to_string(toUnixTicks100ns(clock.systemNow())) +
                                      ",\"type\":\"runway_info_error\"}");

    sink.clients = 0;
    manager.sendRunwayInfoError("KJFK", "x");
    manager.sendRunwayInfo(PendingRunwayRequest{});
    EXPECT_EQ(sink.count(), 1u);
}

TEST_F(RunwayMessages, TextsThatAreNotUtf8StillGiveAnAnswer) {
    RunwayRequestManager manager(pool, operations(), clock);
    PendingRunwayRequest request;
    request.icao = "LSZH";
    request.airportReceived = true;
    request.name = "Z\xFCrich \xC3";  // Latin-1 byte and a cut-off sequence
    request.region = "\xE2\x82";
    request.airportIcao = "LSZH";
    manager.sendRunwayInfo(request);
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["airport"]["name"], "Z\xEF\xBF\xBDrich \xEF\xBF\xBD");
    EXPECT_EQ(messages[0]["airport"]["region"], "\xEF\xBF\xBD\xEF\xBF\xBD");
    // Valid multi-byte text passes unchanged.
    request.name = "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x9B\xAB";
    manager.sendRunwayInfo(request);
    EXPECT_EQ(sink.messages().at(1)["airport"]["name"], request.name);
}

TEST_F(RunwayMessages, BroadcastFailureIsContained) {
    auto ops = operations();
    ops.broadcast = [](const nlohmann::json&) { throw std::runtime_error("send failed"); };
    RunwayRequestManager manager(pool, ops, clock);
    EXPECT_NO_THROW(manager.sendRunwayInfoError("KJFK", "x"));
    EXPECT_NO_THROW(manager.sendRunwayInfoError("KJFK", "y"));
    EXPECT_EQ(pool.idleDocuments(), 1u);  // the document went back both times
}

}  // namespace
}  // namespace navorel
