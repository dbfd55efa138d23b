// The plugin link itself: datagram parsing and acceptance, the receive queue,
// freshness, the pause command, and the provider under concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <thread>

#include "XPlanePluginTestSupport.h"
#include "xplane/PluginDatagram.h"

namespace navorel::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// ---- parsing ----------------------------------------------------------------

TEST(PluginDatagramParseTest, NumberTextIsTheLeadingFiniteDecimal) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"12.5", 12.5}, {" \t\n-3e2 ft", -300.0}, {"+7", 7.0}, {".5", 0.5}, {"0x1A", 0.0},
        {"", {}},       {"   ", {}},             {"+", {}},   {"+-1", {}}, {"abc 5", {}},
        {"1e999", {}},  {"-1e999", {}},          {"nan", {}}, {"-nan", {}}, {"nan(0x1)", {}},
        {"-inf", {}},   {"+INF", {}},            {" -INFINITY", {}},        {"infinite", {}}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseNumberText(text), expected) << text;
}

TEST(PluginDatagramParseTest, EachDatagramStartsAFreshSample) {
    TelemetrySample sample;
    sample.lat = 5;
    ASSERT_TRUE(parsePluginDatagram("{}", sample));
    EXPECT_FALSE(sample.lat);
    EXPECT_FALSE(sample.xplaneMajor);
}

// Out-of-range numbers saturate or wrap instead of overflowing; texts and
// keys of other types or of similar names stay apart.
TEST(PluginDatagramParseTest, OddValuesAreReadSafely) {
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

    ASSERT_TRUE(parsePluginDatagram(R"({"aircraft_name":42,"nearest_airport_icao":"","stall_warning_failure":1})", s));
    EXPECT_FALSE(s.aircraftName);
    EXPECT_FALSE(s.nearestAirportIcao);
    EXPECT_FALSE(s.stallWarning);
    EXPECT_EQ(s.stallWarningFailure, 1.0);
}

// ---- acceptance and the queue -----------------------------------------------

using PluginDatagramTest = PluginFixture;

TEST_F(PluginDatagramTest, BadDatagramsAreDroppedAndChangeNothing) {
    feed(R"({"paused":false,"lat":1,"lon":2,"alt_ft":3})");
    output.clear();
    for (const std::string& bad : {"not json"s, R"({"paused":true,)"s, R"([{"paused":true}])"s, R"("text")"s, "42"s,
                                   "null"s, R"({"paused":true} x)"s, R"({"type":"telemetry","paused":true})"s,
                                   R"({"type":"XP12_TELEMETRY","paused":true})"s,
                                   R"({"paused":true,"pad":")" + std::string(2984, 'x') + "\"}",  // 3000 bytes
                                   "{\"paused\":true,\"name\":\"\xFF\xFE\"}"s,                   // not UTF-8
                                   std::string(2048, ' ') + R"({"paused":true})", ""s}) {
        sendDropped(bad);
    }
    provider.processMessages();  // only the markers
    EXPECT_TRUE(output.events().empty());
    EXPECT_TRUE(output.flights().empty());

    provider.requestDataSnapshot();  // the latest is the last marker, not a dropped one
    EXPECT_TRUE(output.events().empty());
}

TEST_F(PluginDatagramTest, TypeAcceptanceAndTheLengthLimitOf2047Bytes) {
    feed(R"({"type":"xp_telemetry","paused":true})");
    feed(R"({"type":12,"paused":false})");
    feed(R"({"type":null,"paused":true})");
    feed(R"({"type":false,"paused":false})");
    EXPECT_EQ(output.events(), (Events{{0, 1}, {0, 0}, {0, 1}, {0, 0}}));

    const std::string head = R"({"paused":true,"pad":")";
    const std::string exact = head + std::string(2047 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(exact.size(), 2047u);
    sendDropped(exact.substr(0, head.size()) + "x" + exact.substr(head.size()));  // 2048 bytes
    feed(exact);
    EXPECT_EQ(output.events(), (Events{{0, 1}, {0, 0}, {0, 1}, {0, 0}, {0, 1}}));
}

TEST_F(PluginDatagramTest, QueueKeepsTheNewestHundred) {
    char sample[80];
    for (int batch = 0; batch < 15; ++batch) {
        const auto before = provider.acceptedDatagramCount();
        for (int i = 0; i < 10; ++i) {
            std::snprintf(sample, sizeof(sample), R"({"lat":%d,"lon":0,"alt_ft":3000})", batch * 10 + i);
            ASSERT_EQ(plugin.sendTo(port, sample), platform::UdpSocket::SendResult::SENT);
        }
        ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() == before + 10; }));
    }
    provider.processMessages();
    provider.processMessages();
    const auto flights = output.flights();
    ASSERT_EQ(flights.size(), 100u);
    for (std::size_t i = 0; i < flights.size(); ++i) EXPECT_EQ(flights[i].latitude, 50.0 + i);
}

// ---- freshness, snapshot, connection ----------------------------------------

using PluginConnectionTest = PluginFixture;

TEST_F(PluginConnectionTest, FreshFiveSecondsWhenActiveAndFortyFiveOtherwise) {
    provider.setActiveMode();
    clock.advance(10min);
    EXPECT_TRUE(provider.isAwaitingTelemetry());  // until the first datagram
    EXPECT_FALSE(provider.isConnected());
    send(R"({"lat":1})");
    clock.advance(5000ms);
    EXPECT_TRUE(provider.isConnected());
    clock.advance(1ms);
    EXPECT_FALSE(provider.isConnected());
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    provider.setPreflightMode();
    EXPECT_TRUE(provider.isConnected());
    clock.advance(39999ms);
    EXPECT_TRUE(provider.isConnected());
    clock.advance(1ms);
    EXPECT_FALSE(provider.isConnected());
    provider.setIdleMode();
    EXPECT_FALSE(provider.isConnected());
    send(R"({"lat":1})");  // a new datagram makes it fresh again
    EXPECT_TRUE(provider.isConnected());
}

TEST_F(PluginConnectionTest, SnapshotRedeliversOnlyAFreshSample) {
    provider.requestDataSnapshot();  // nothing received yet
    EXPECT_TRUE(output.flights().empty());

    provider.setActiveMode();
    send(R"({"lat":10,"lon":20,"alt_ft":3000})");
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 1u);  // the queued copy is still pending
    provider.processMessages();
    EXPECT_EQ(output.flights().size(), 2u);

    clock.advance(5001ms);
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 2u);
    provider.setPreflightMode();
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 3u);

    provider.disconnect();
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 3u);
}

TEST_F(PluginConnectionTest, QueueAndStateSurviveDisconnect) {
    send(R"({"paused":true})");
    EXPECT_TRUE(provider.connect());  // already running
    provider.disconnect();
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    EXPECT_FALSE(provider.isConnected());
    provider.processMessages();
    EXPECT_EQ(output.events(), (Events{{0, 1}}));
    ASSERT_TRUE(provider.connect());
    feed(R"({"paused":true})");
    EXPECT_EQ(output.events().size(), 1u);
}

TEST(PluginConnectTest, ErrorTexts) {
    ManualClock clock;
    XPlanePluginProvider provider(clock);
    EXPECT_FALSE(provider.connect());
    EXPECT_EQ(provider.getLastError(), "Telemetry port not configured");

    platform::UdpSocket holder;
    ASSERT_EQ(holder.open(0, 100ms), platform::UdpSocket::OpenResult::OK);
    provider.setTelemetryPort(holder.localPort());
    EXPECT_FALSE(provider.connect());
    EXPECT_EQ(provider.getLastError(), "Failed to bind UDP socket (port in use?)");
    EXPECT_FALSE(provider.isAwaitingTelemetry());

    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane plugin telemetry socket is not connected");
    provider.processMessages();
    provider.requestDataSnapshot();
    provider.disconnect();
}

TEST_F(PluginConnectionTest, PauseDatagramGoesFromTheTelemetrySocketToTheControlPort) {
    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane control port is not configured");

    provider.setControlPort(plugin.localPort());
    ASSERT_TRUE(provider.setPaused(true));
    ASSERT_TRUE(provider.setPaused(false));
    char buffer[256];
    std::vector<std::string> received;
    for (int attempt = 0; attempt < 50 && received.size() < 2; ++attempt) {
        std::size_t length = 0;
        std::uint16_t from = 0;
        if (plugin.receive(buffer, sizeof(buffer), length, &from) == platform::UdpSocket::ReceiveResult::DATAGRAM) {
            received.emplace_back(buffer, length);
            EXPECT_EQ(from, port);  // sent from the telemetry socket
        }
    }
    EXPECT_EQ(received, (std::vector<std::string>{
                            "{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":true}\n",
                            "{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":false}\n"}));

    provider.disconnect();
    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane plugin telemetry socket is not connected");
}

// ---- concurrent callers -----------------------------------------------------

std::string raceSample(int i) {
    char text[400];
    std::snprintf(text, sizeof(text),
                  R"({"lat":%.6f,"lon":8.0,"alt_ft":%d,"alt_agl_ft":%d,"sim_on_ground":%s,"paused":%s,)"
                  R"("crash_detected":%s,"session_id":%d,"aircraft_name":"Plane %d","nearest_airport_icao":"N%03d",)"
                  R"("ias_kt":%d,"vne_kt":250,"engine_running":[1,%d],"light_nav":true})",
                  45.0 + (i % 7) * 0.02, 1000 + i, i % 3 == 0 ? 0 : 500, i % 3 == 0 ? "true" : "false",
                  i % 5 == 0 ? "true" : "false", i % 11 == 0 ? "true" : "false", i / 10, i / 25, i / 40,
                  200 + (i % 4) * 30, i % 2);
    return text;
}

XPlaneAirportRecord airportAround(double lat) {
    XPlaneAirportRecord airport;
    airport.icao = "RACE";
    airport.runways = {{.latitude = lat, .longitude = 8.0, .lengthMeters = 2000, .widthMeters = 40, .headingDegrees = 45}};
    return airport;
}

using PluginConcurrencyTest = PluginFixture;

// Snapshots, mode changes, runway caching and pause commands from other
// threads while the main thread processes samples; receivers call back into
// the provider. Run under ThreadSanitizer this proves the locking.
TEST_F(PluginConcurrencyTest, SnapshotsAndModeChangesRaceMainThreadProcessing) {
    provider.setXPlaneRoot("/nonexistent-navorel-root");
    provider.setControlPort(freeUdpPort());
    std::atomic<int> reentrantCalls{0};
    std::atomic<int> flights{0};
    provider.setFlightDataCallback([&](const FlightData&) {
        // A receiver may use the provider: no provider lock is held here.
        ++flights;
        if (provider.getXPlaneVersion() >= 0 && flights % 16 == 0) {
            ++reentrantCalls;
            provider.setActiveMode();
            provider.cacheAirport(airportAround(45.02));
        }
    });

    std::atomic<bool> done{false};
    std::thread server([&] {
        for (int round = 0; !done.load(); ++round) {
            switch (round % 4) {
                case 0: provider.requestDataSnapshot(); provider.setActiveMode(); break;
                case 1: provider.setPreflightMode(); break;
                case 2: provider.setIdleMode(); break;
                default: provider.setPaused(round % 8 == 3); break;
            }
            (void)provider.isConnected(), (void)provider.isAwaitingTelemetry(), (void)provider.getLastError();
            std::this_thread::yield();
        }
    });
    std::thread worker([&] {
        while (!done.load()) {
            XPlaneAirportRecord record;
            std::string error;
            provider.loadAirport("ZZZZ", record, error);
            provider.cacheAirport(airportAround(45.0));
            std::this_thread::sleep_for(1ms);
        }
    });

    constexpr int kSamples = 400;
    for (int i = 0; i < kSamples; ++i) {
        ASSERT_EQ(plugin.sendTo(port, raceSample(i)), platform::UdpSocket::SendResult::SENT);
        if (i % 4 == 0) provider.processMessages();
        if (i % 20 == 0) {
            ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() == static_cast<std::uint64_t>(i + 1); }));
        }
    }
    ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() == kSamples; }));
    provider.processMessages();
    done = true;
    server.join();
    worker.join();
    provider.disconnect();

    EXPECT_GE(flights.load(), kSamples);
    EXPECT_GT(reentrantCalls.load(), 0);
    EXPECT_FALSE(output.events().empty());
}

TEST_F(PluginConcurrencyTest, ReceiverMayRequestASnapshotAndChangeTheMode) {
    int depth = 0;
    int calls = 0;
    provider.setFlightDataCallback([&](const FlightData&) {
        ++calls;
        if (depth++ == 0) {
            provider.requestDataSnapshot();
            provider.setPreflightMode();
        }
        --depth;
    });
    feed(R"({"lat":1,"lon":2,"alt_ft":3})");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace navorel::test
