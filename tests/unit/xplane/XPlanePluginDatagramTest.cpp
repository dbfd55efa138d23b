// The plugin link itself: datagram parsing and acceptance, the receive queue,
// freshness, snapshots, and the provider under concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <numeric>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "XPlanePluginTestSupport.h"
#include "xplane/PluginDatagram.h"

namespace navorel::test {
namespace {

// ---- parsing ----------------------------------------------------------------

TEST(PluginDatagramParseTest, NumberTextIsTheLeadingFiniteDecimal) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"12.5", 12.5}, {" \t\n-3e2 ft", -300.0}, {"+7", 7.0}, {".5", 0.5}, {"0x1A", 0.0}, {"", {}}, {"   ", {}},
        {"+", {}}, {"+-1", {}}, {"abc 5", {}}, {"1e999", {}}, {"-1e999", {}}, {"nan", {}}, {"-nan", {}},
        {"nan(0x1)", {}}, {"-inf", {}}, {"+INF", {}}, {" -INFINITY", {}}, {"infinite", {}}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseNumberText(text), expected) << text;
}

// The major version comes from "type", "xplane_version" (by its size) or
// "xplane_major", the last present winning. Out-of-range numbers saturate or
// wrap instead of overflowing. The sample is reused: each datagram must start
// it afresh.
TEST(PluginDatagramParseTest, VersionsAndIdsAreReadSafely) {
    const std::pair<const char*, const char*> cases[] = {  // version, major, session id, time stamp
        {R"({"xplane_version":"120105.9","session_id":-12.7,"ts_ms":1e30})", "120105 12 -12 9223372036854775807"},
        {R"({"xplane_version":4294967297,"session_id":-1e300})", "1 - -9223372036854775808 -"},  // as a 32-bit cast
        {R"({"xplane_version":-120000,"xplane_major":0.9,"session_id":"x"})", "-120000 - - -"},
        {R"({"type":"xp11_telemetry","session_id":"7","xplane_version":999})", "999 11 7 -"},
        {R"({"xplane_version":11550})", "11550 11 - -"},
        {R"({"xplane_version":1205})", "1205 12 - -"},
        {R"({"type":"xp12_telemetry","xplane_version":11550,"xplane_major":"13"})", "11550 13 - -"}};
    const auto text = [](const auto& value) { return value ? std::to_string(*value) : std::string("-"); };
    TelemetrySample s;
    for (const auto& [json, expected] : cases) {
        ASSERT_TRUE(parsePluginDatagram(json, s)) << json;
        EXPECT_EQ(text(s.xplaneVersion) + " " + text(s.xplaneMajor) + " " + text(s.sessionId) + " " + text(s.tsMs),
                  expected);
    }
    // Values of another type and empty idents count as absent; over-long text is no datagram.
    ASSERT_TRUE(parsePluginDatagram(R"({"aircraft_name":42,"nearest_airport_icao":"","stall_warning_failure":1})", s));
    EXPECT_FALSE(s.aircraftName || s.nearestAirportIcao || s.stallWarning || !s.stallWarningFailure);
    EXPECT_FALSE(parsePluginDatagram(std::string(kMaxPluginDatagramBytes - 1, ' ') + "{}", s));
}

// ---- acceptance and the queue -----------------------------------------------

using PluginDatagramTest = PluginFixture;

// Accepted: JSON objects up to 2047 bytes whose "type" is absent, not text, or
// one of the plugin's names. A dropped datagram changes nothing.
TEST_F(PluginDatagramTest, AcceptanceRules) {
    const std::string head = R"({"paused":true,"pad":")";
    const std::string longest = head + std::string(kMaxPluginDatagramBytes - head.size() - 2, 'x') + "\"}";
    for (const std::string& bad :
         {std::string("not json"), std::string(R"({"paused":true,)"), std::string(R"([{"paused":true}])"),
          std::string(R"("text")"), std::string("42"), std::string("null"), std::string(R"({"paused":true} x)"),
          std::string(R"({"type":"telemetry","paused":true})"), std::string(R"({"type":"XP12_TELEMETRY","paused":1})"),
          head + "x" + longest.substr(head.size()), head + std::string(3000, 'x') + "\"}",
          std::string("{\"paused\":true,\"name\":\"\xFF\xFE\"}"), std::string()}) {
        sendDropped(bad);
    }
    provider.processMessages();      // only the markers
    provider.requestDataSnapshot();  // the latest is the last marker, not a dropped one
    EXPECT_EQ(output.kinds(), "");
    feed(R"({"type":"xp_telemetry","paused":true})", R"({"type":12,"paused":false})", R"({"type":null,"paused":1})",
         R"({"type":false,"paused":false})", longest);
    EXPECT_EQ(output.all<Event>(), (Events{{0, 1}, {0, 0}, {0, 1}, {0, 0}, {0, 1}}));
}

TEST_F(PluginDatagramTest, QueueKeepsTheNewestHundred) {
    std::vector<std::string> samples;
    for (int i = 0; i < 150; ++i) samples.push_back(R"({"lon":0,"alt_ft":3,"lat":)" + std::to_string(i) + "}");
    Values newest(100);
    std::iota(newest.begin(), newest.end(), 50.0);
    send(samples, 150);
    provider.processMessages();
    EXPECT_EQ(columns(output.all<FlightData>(), &FlightData::latitude), newest);
}

// ---- freshness and snapshot -------------------------------------------------

using PluginConnectionTest = PluginFixture;

TEST_F(PluginConnectionTest, FreshFiveSecondsWhenActiveAndFortyFiveOtherwise) {
    provider.setActiveMode();
    clock.advance(10min);
    EXPECT_TRUE(provider.isAwaitingTelemetry() && !provider.isConnected());  // until the first datagram
    for (const auto& [mode, limit] : {std::pair{&XPlanePluginProvider::setActiveMode, 5000ms},
                                      std::pair{&XPlanePluginProvider::setPreflightMode, 45000ms},
                                      std::pair{&XPlanePluginProvider::setIdleMode, 45000ms}}) {
        send(R"({"lat":1})");
        (provider.*mode)();
        clock.advance(limit);
        EXPECT_TRUE(provider.isConnected() && !provider.isAwaitingTelemetry()) << limit.count();
        clock.advance(1ms);
        EXPECT_FALSE(provider.isConnected()) << limit.count();
    }
}

// A snapshot repeats the latest sample only while it is fresh, at once; the
// queue outlives a disconnect.
TEST_F(PluginConnectionTest, SnapshotRedeliversOnlyAFreshSample) {
    const auto snapshot = [&] { provider.requestDataSnapshot(); return output.all<FlightData>().size(); };
    EXPECT_EQ(snapshot(), 0u);  // nothing received yet
    provider.setActiveMode();
    send(R"({"lat":10,"lon":20,"alt_ft":3000})");
    EXPECT_EQ(snapshot(), 1u);  // the queued copy is still pending
    clock.advance(5001ms);
    EXPECT_EQ(snapshot(), 1u);
    send(R"({"lat":10,"lon":20,"alt_ft":3000})");
    provider.disconnect();
    EXPECT_EQ(snapshot(), 1u);
    provider.processMessages();
    EXPECT_EQ(output.all<FlightData>().size(), 3u);
}

// ---- concurrent callers -----------------------------------------------------

// Varied samples: pauses, crashes, sessions, aircraft, airports, touchdowns.
std::string raceSample(int i) {
    char text[400];
    std::snprintf(text, sizeof(text),
                  R"({"lat":%.2f,"lon":8.0,"alt_ft":%d,"alt_agl_ft":%d,"sim_on_ground":%d,"paused":%d,)"
                  R"("crash_detected":%d,"session_id":%d,"aircraft_name":"Plane %d","nearest_airport_icao":"N%03d",)"
                  R"("ias_kt":%d,"vne_kt":250,"engine_running":[1,%d],"light_nav":true})",
                  45.0 + (i % 7) * 0.02, 1000 + i, i % 3 == 0 ? 0 : 500, i % 3 == 0, i % 5 == 0, i % 11 == 0, i / 10,
                  i / 25, i / 40, 200 + (i % 4) * 30, i % 2);
    return text;
}

using PluginConcurrencyTest = PluginFixture;

// Snapshots, mode changes, airport lookups and pause commands from another
// thread while the main thread processes samples and looks up the nearest
// airports, and receivers that call back into the provider. Under
// ThreadSanitizer this proves the locking of the provider and its database.
TEST_F(PluginConcurrencyTest, SnapshotsModeChangesAndLookupsRaceMainThreadProcessing) {
    InstallTree tree;
    const std::string runway = "100 30 1 0 0.25 0 2 1 09 45 8 0 0 2 0 0 1 27 45 8.01 0 0 2 0 0 1\n";
    writeFile(tree.globalApt(), "1 0 0 0 N000 A\n" + runway + "1 0 0 0 N003 B\n" + runway);
    provider.setXPlaneRoot(tree.rootText());
    provider.setControlPort(plugin.localPort());  // pause commands go unread
    XPlaneAirportRecord airport;
    std::string error;
    ASSERT_TRUE(provider.loadAirport("N000", airport, error)) << error;
    std::atomic<int> flights{0};
    provider.setFlightDataCallback([&](const FlightData&) {
        if (++flights % 16 != 0) return;
        provider.setActiveMode();
        provider.cacheAirport(airport);
    });
    // Stopped and joined when the test ends, however it ends.
    const std::jthread other([&](const std::stop_token& stop) {
        XPlaneAirportRecord record;
        for (int round = 0; !stop.stop_requested(); ++round) {
            switch (round % 5) {
                case 0: provider.requestDataSnapshot(); provider.setActiveMode(); break;
                case 1: provider.setPreflightMode(); break;
                case 2: provider.setIdleMode(); break;
                case 3: provider.setPaused(round % 2 == 0); break;
                default:
                    provider.loadAirport(round % 2 ? "ZZZZ" : "N003", record, error);
                    provider.cacheAirport(airport);
                    if (round % 7 == 0) provider.setXPlaneRoot(tree.rootText());
            }
            (void)provider.isConnected(), (void)provider.simulatorVariant(), (void)provider.getLastError();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(plugin.sendTo(port, raceSample(i)), platform::UdpSocket::SendResult::SENT);
        if (i % 4 == 0) provider.processMessages();
        ASSERT_TRUE(i % 20 != 19 || eventually([&] { return provider.acceptedDatagramCount() == i + 1u; }));
    }
    provider.processMessages();
    EXPECT_GE(flights.load(), 400);
    EXPECT_FALSE(output.all<Event>().empty());
}

TEST_F(PluginConcurrencyTest, ReceiverMayRequestASnapshotAndChangeTheMode) {
    int calls = 0;
    provider.setFlightDataCallback([&](const FlightData&) {
        if (++calls > 1) return;
        provider.requestDataSnapshot();
        provider.setPreflightMode();
    });
    feed(R"({"lat":1,"lon":2,"alt_ft":3})");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace navorel::test
