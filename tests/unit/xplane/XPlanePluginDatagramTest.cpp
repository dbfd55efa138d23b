#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "xplane/PluginDatagram.h"

namespace navorel {
namespace {

TEST(PluginNumberTextTest, DecimalNumberAtTheStart) {
    EXPECT_EQ(parseNumberText("12.5"), 12.5);
    EXPECT_EQ(parseNumberText(" \t\n-3e2 ft"), -300.0);
    EXPECT_EQ(parseNumberText("+7"), 7.0);
    EXPECT_EQ(parseNumberText(".5"), 0.5);
    EXPECT_EQ(parseNumberText("0x1A"), 0.0);  // decimal only: the number is the leading 0
    EXPECT_EQ(parseNumberText(""), std::nullopt);
    EXPECT_EQ(parseNumberText("   "), std::nullopt);
    EXPECT_EQ(parseNumberText("+"), std::nullopt);
    EXPECT_EQ(parseNumberText("+-1"), std::nullopt);
    EXPECT_EQ(parseNumberText("abc 5"), std::nullopt);
    EXPECT_EQ(parseNumberText("1e999"), std::nullopt);
    EXPECT_EQ(parseNumberText("-1e999"), std::nullopt);
}

TEST(PluginNumberTextTest, NonFiniteSpellingsCountAsAbsent) {
    for (const char* text : {"nan", "NaN", "-nan", "nan(0x1)", "inf", "-inf", "+INF", "infinity", "Infinity",
                             " -INFINITY", "infinite"}) {
        EXPECT_EQ(parseNumberText(text), std::nullopt) << text;
    }
}

TEST(PluginDatagramParseTest, FreshSampleAndAcceptance) {
    TelemetrySample sample;
    sample.lat = 5;
    ASSERT_TRUE(parsePluginDatagram("{}", sample));
    EXPECT_FALSE(sample.lat);
    EXPECT_FALSE(sample.simulationRate);
    EXPECT_FALSE(sample.xplaneMajor);

    EXPECT_FALSE(parsePluginDatagram("", sample));
    EXPECT_FALSE(parsePluginDatagram("[]", sample));
    EXPECT_FALSE(parsePluginDatagram("null", sample));
    EXPECT_FALSE(parsePluginDatagram(R"({"type":"xp13_telemetry"})", sample));
    EXPECT_FALSE(parsePluginDatagram(R"({"a":1} trailing)", sample));
    EXPECT_FALSE(parsePluginDatagram(std::string(2048, ' ') + "{}", sample));
    EXPECT_TRUE(parsePluginDatagram(R"({"type":false})", sample));
}

TEST(PluginDatagramParseTest, IntegersAreTruncatedSafely) {
    TelemetrySample s;
    ASSERT_TRUE(parsePluginDatagram(R"({"xplane_version":"120105.9","session_id":-12.7,"ts_ms":1e30})", s));
    EXPECT_EQ(s.xplaneVersion, 120105);
    EXPECT_EQ(s.xplaneMajor, 12);
    EXPECT_EQ(s.sessionId, -12);
    EXPECT_EQ(s.tsMs, std::numeric_limits<std::int64_t>::max());

    ASSERT_TRUE(parsePluginDatagram(R"({"xplane_version":4294967297,"session_id":-1e300})", s));
    EXPECT_EQ(s.xplaneVersion, 1);  // wraps like a 32-bit truncation
    EXPECT_FALSE(s.xplaneMajor);
    EXPECT_EQ(s.sessionId, std::numeric_limits<std::int64_t>::min());

    ASSERT_TRUE(parsePluginDatagram(R"({"xplane_version":-120000,"xplane_major":0.9,"session_id":"x"})", s));
    EXPECT_EQ(s.xplaneVersion, -120000);
    EXPECT_FALSE(s.xplaneMajor);
    EXPECT_FALSE(s.sessionId);
}

TEST(PluginDatagramParseTest, TextsAndNearestAirport) {
    TelemetrySample s;
    ASSERT_TRUE(parsePluginDatagram(R"({"aircraft_name":42,"nearest_airport_icao":""})", s));
    EXPECT_FALSE(s.aircraftName);
    EXPECT_FALSE(s.nearestAirportIcao);
    ASSERT_TRUE(parsePluginDatagram(R"({"aircraft_name":"","nearest_airport_icao":"EDDF"})", s));
    EXPECT_EQ(s.aircraftName, "");
    EXPECT_EQ(s.nearestAirportIcao, "EDDF");
}

TEST(PluginDatagramParseTest, StallWarningKeysAreKeptApart) {
    TelemetrySample s;
    ASSERT_TRUE(parsePluginDatagram(R"({"stall_warning_failure":1,"vne_kt":"250"})", s));
    EXPECT_FALSE(s.stallWarning);
    EXPECT_EQ(s.stallWarningFailure, 1.0);
    EXPECT_EQ(s.vneKt, 250.0);
}

}  // namespace
}  // namespace navorel
