#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "XPlanePluginTestSupport.h"

namespace navorel::test {
namespace {

using namespace std::chrono_literals;

XPlaneAirportRecord airportAround(double lat, double lon) {
    XPlaneAirportRecord airport;
    airport.icao = "RACE";
    XPlaneRunwayRecord runway;
    runway.latitude = lat;
    runway.longitude = lon;
    runway.headingDegrees = 45;
    runway.lengthMeters = 2000;
    runway.widthMeters = 40;
    airport.runways.push_back(runway);
    return airport;
}

using PluginConcurrencyTest = PluginFixture;

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

// Snapshots, mode changes, runway caching and pause commands from other
// threads while the main thread processes samples; receivers call back into
// the provider. Run under ThreadSanitizer this proves the locking.
TEST_F(PluginConcurrencyTest, SnapshotsAndModeChangesRaceMainThreadProcessing) {
    provider.setXPlaneRoot("/nonexistent-navorel-root");
    provider.setControlPort(freeUdpPort());
    std::atomic<int> reentrantCalls{0};
    std::atomic<int> flights{0};
    provider.setFlightDataCallback([&](const FlightData&) {
        ++flights;
        // A receiver may use the provider: no provider lock is held here.
        if (provider.getXPlaneVersion() >= 0 && flights % 16 == 0) {
            ++reentrantCalls;
            provider.setActiveMode();
            provider.cacheAirport(airportAround(45.02, 8.0));
        }
    });

    std::atomic<bool> done{false};
    std::thread server([&] {
        int round = 0;
        while (!done.load()) {
            switch (round++ % 4) {
            case 0:
                provider.requestDataSnapshot();
                provider.setActiveMode();
                break;
            case 1:
                provider.setPreflightMode();
                break;
            case 2:
                provider.setIdleMode();
                break;
            default:
                provider.setPaused(round % 8 == 3);
                break;
            }
            (void)provider.isConnected();
            (void)provider.isAwaitingTelemetry();
            (void)provider.getLastError();
            std::this_thread::yield();
        }
    });
    std::thread worker([&] {
        while (!done.load()) {
            XPlaneAirportRecord record;
            std::string error;
            provider.loadAirport("ZZZZ", record, error);
            provider.cacheAirport(airportAround(45.0, 8.0));
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
