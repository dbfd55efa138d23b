#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "FakeProvider.h"
#include "app/RunwayRequests.h"
#include "app/protocol/CommandResult.h"
#include "core/JsonMessagePool.h"
#include "support/ManualClock.h"

// The X-Plane path against a real scenery tree (contents, key order, request
// ids, unknown airports, many requests at once, the MSFS refusal without a
// simulator) is covered end to end. Here: the tables, the SimConnect facility
// path no end-to-end test can reach, and the pending-request lifecycle.

namespace navorel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

template <std::size_t N>
void copyField(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

FacilityAirportData airportData(const std::string& name, const std::string& icao, const std::string& region) {
    FacilityAirportData data{};
    data.latitude = 47.458056;
    data.longitude = 8.548056;
    data.altitudeMeters = 432.0;
    data.magneticVariation = -2.5f;
    copyField(data.name, name);
    copyField(data.icao, icao);
    copyField(data.region, region);
    data.runwayCount = 3;
    return data;
}

FacilityRunwayData runwayData(std::int32_t primaryNumber, std::int32_t primaryDesignator,
                              std::int32_t secondaryNumber, std::int32_t secondaryDesignator) {
    FacilityRunwayData data{};
    data.latitude = 47.4;
    data.longitude = 8.5;
    data.altitudeMeters = 100.0;
    data.headingDegrees = 137.25f;
    data.lengthMeters = 2500.0f;
    data.widthMeters = 60.0f;
    data.primaryNumber = primaryNumber;
    data.primaryDesignatorCode = primaryDesignator;
    data.secondaryNumber = secondaryNumber;
    data.secondaryDesignatorCode = secondaryDesignator;
    return data;
}

// Scenery lookup stand-in that can hold every lookup until released. Codes
// ending in X are not found, THRW throws, SILNT fails without a text, BARE has
// no position, variation or runways.
class FakeScenery {
public:
    bool load(const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
        std::unique_lock lock(mutex_);
        ++running_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        --running_;
        if (icao == "THRW") throw std::runtime_error("disk on fire");
        if (icao.back() == 'X') error = "Airport not found in apt.dat";
        if (icao.back() == 'X' || icao == "SILNT") return false;
        record.icao = icao;
        record.hasPosition = record.hasMagneticVariation = icao != "BARE";
        record.latitude = record.magneticVariation = 50.0;
        record.runways.resize(icao == "BARE" ? 0 : 1);
        return true;
    }
    void hold(bool on) {
        {
            std::lock_guard lock(mutex_);
            holding_ = on;
        }
        changed_.notify_all();
    }
    // Waits (bounded) until this many lookups are inside load().
    bool waitRunning(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return running_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    int running_ = 0;
};

// A simulator whose facility request throws.
class ThrowingProvider : public test::FakeProvider {
public:
    bool requestRunwayData(const std::string&, std::uint32_t) override { throw std::runtime_error("boom"); }
};

// One manager with both kinds of provider: the simulator one answers through
// facility callbacks the test delivers on the main thread, the scenery one
// through lookups on the manager's two workers. Each broadcast is serialised
// as the server does, so a text that is not UTF-8 would fail here too.
class RunwayRequests : public ::testing::Test {
protected:
    RunwayRequests() {
        scenery.localRunways = true;
        scenery.lookup = [this](const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
            return files.load(icao, record, error);
        };
        manager->installFacilityCallbacks(provider);
    }

    RunwayRequestManager::Operations operations() {
        RunwayRequestManager::Operations ops;
        ops.activeProvider = [this]() -> SimulatorProvider& {
            if (xplane) return scenery;
            return provider;
        };
        ops.clientCount = [this] { return clients; };
        ops.broadcast = [this](const json& message) { sent.push_back(json::parse(message.dump())); };
        ops.lookupFinished = [this] { ++lookupsFinished; };
        return ops;
    }

    std::uint32_t accept(const std::string& icao) {
        const CommandResult result = manager->handleRunwayRequest(icao);
        EXPECT_TRUE(result.success) << result.message;
        return result.success ? result.data["requestId"].get<std::uint32_t>() : 0;
    }

    void expire() { manager->expireRunwayRequests(clock.steadyNow()); }

    // Runs the main loop's part until `count` messages went out (bounded).
    bool drainUntil(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            manager->processCompletedLookups();
            expire();
            if (sent.size() >= count) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    test::ManualClock clock;
    JsonMessagePool pool;
    test::FakeProvider provider;
    test::FakeProvider scenery{"X-Plane"};
    FakeScenery files;
    std::atomic<bool> xplane{false};
    std::atomic<int> lookupsFinished{0};
    std::size_t clients = 1;
    std::vector<json> sent;
    std::unique_ptr<RunwayRequestManager> manager = std::make_unique<RunwayRequestManager>(pool, operations(), clock);
};

// ---------------------------------------------------------------------------
// SimConnect path.

TEST_F(RunwayRequests, AcceptsThreeToFiveCharactersAndRefusalsLeaveNothingPending) {
    const CommandResult result = manager->handleRunwayRequest("lszh");
    ASSERT_TRUE(result.success);
    EXPECT_EQ(result.data, (json{{"icao", "LSZH"}, {"requestId", 10000}}));
    EXPECT_TRUE(result.data["requestId"].is_number_unsigned());
    EXPECT_EQ(accept("EGl"), 10001u);
    EXPECT_EQ(accept("K1g9z"), 10002u);
    // Length counts bytes, and only ASCII letters change case.
    for (const char* bad : {"EG", "LSZHXX", "", "\xC3\xBC"}) {
        EXPECT_EQ(manager->handleRunwayRequest(bad).message, "ICAO must be between 3 and 5 characters") << bad;
    }
    EXPECT_EQ(manager->handleRunwayRequest("\xC3\xBCxy").data["icao"], "\xC3\xBCXY");

    // A request the simulator refuses uses up its id and leaves nothing to time out.
    provider.acceptRequests = false;
    EXPECT_EQ(manager->handleRunwayRequest("LSGG").message, "Failed to request runway data from simulator");
    EXPECT_EQ(manager->pendingCount(), 4u);
    provider.acceptRequests = true;
    EXPECT_EQ(accept("LSGG"), 10005u);

    // Not connected comes before any other check.
    provider.connected = false;
    EXPECT_EQ(manager->handleRunwayRequest("X").message, "SimConnect is not connected");
    EXPECT_EQ(provider.requests().size(), 6u);
    EXPECT_EQ(manager->pendingCount(), 5u);
}

TEST_F(RunwayRequests, FacilityAnswerBecomesRunwayInfo) {
    const std::uint32_t id = accept("LSZH");
    // Padded texts as the simulator delivers them; the ICAO fills its field.
    provider.airport(id, airportData(" \tZurich Airport\r\n", "LSZHABCD", "LS  "));
    provider.runway(id, 501, runwayData(14, 0, 32, 0));
    provider.pavement(id, 501, {100.0f, 60.0f, 1});
    provider.pavement(id, 501, {0.0000005f, -0.0000009f, 0});
    provider.pavement(id, 501, {999.0f, 999.0f, 1});  // a runway has two ends
    provider.runway(id, 502, runwayData(16, 1, 34, 2));
    provider.pavement(id, 502, {50.0f, 45.0f, 0});
    provider.runway(id, 503, runwayData(10, 0, 28, 0));
    provider.pavement(id, 777, {1.0f, 1.0f, 1});  // no such runway
    provider.end(id);

    ASSERT_EQ(sent.size(), 1u);
    const json m = sent[0];
    EXPECT_EQ(m["icao"], "LSZH");
    EXPECT_EQ(m["airport"], (json{{"name", "Zurich Airport"}, {"icao", "LSZHABCD"}, {"region", "LS"},
                                  {"latitude", 47.458056}, {"longitude", 8.548056}, {"altitudeFt", 1417.0},
                                  {"magneticVariation", -2.5}, {"runwayCount", 3}}));
    const json& runways = m["runways"];
    ASSERT_EQ(runways.size(), 3u);
    EXPECT_DOUBLE_EQ(runways[0]["lengthFt"].get<double>(), 8202.0);  // 2500 m
    EXPECT_DOUBLE_EQ(runways[0]["widthFt"].get<double>(), 197.0);     // 60 m
    EXPECT_DOUBLE_EQ(runways[0]["altitudeFt"].get<double>(), 328.0);  // 100 m
    EXPECT_EQ(runways[0]["primaryThreshold"],
              (json{{"enabled", true}, {"lengthFt", 328.0}, {"present", true}, {"widthFt", 197.0}}));
    EXPECT_EQ(runways[0]["secondaryThreshold"],
              (json{{"enabled", false}, {"lengthFt", 0.0}, {"present", true}, {"widthFt", 0.0}}));
    EXPECT_EQ(runways[1]["primaryIdent"], "16L");
    EXPECT_EQ(runways[1]["secondaryIdent"], "34R");
    EXPECT_EQ(runways[1]["primaryThreshold"]["enabled"], false);
    EXPECT_EQ(runways[1]["secondaryThreshold"]["present"], false);
    // A threshold never delivered is absent and disabled with zero lengths.
    EXPECT_EQ(runways[2]["primaryThreshold"],
              (json{{"enabled", false}, {"lengthFt", 0.0}, {"present", false}, {"widthFt", 0.0}}));
    EXPECT_EQ(runways[2]["primaryIdent"], "10");
}

TEST_F(RunwayRequests, FirstOfEndOrTimeOutWinsAndLaterOnesDoNothing) {
    const std::uint32_t answered = accept("LSZH");
    const std::uint32_t late = accept("LSGG");
    const std::uint32_t noAirport = accept("ZZZZ");
    provider.airport(answered, airportData("Zurich", "LSZH", "LS"));
    provider.end(answered);
    provider.runway(noAirport, 1, runwayData(1, 0, 19, 0));
    provider.end(noAirport);
    clock.advance(4999ms);
    expire();
    EXPECT_EQ(manager->pendingCount(), 1u);
    clock.advance(1ms);
    expire();  // answered: nothing more; late: times out

    // Callbacks arriving after the time-out, and a second end, find nothing.
    provider.airport(late, airportData("Geneva", "LSGG", "LS"));
    provider.runway(late, 1, runwayData(4, 0, 22, 0));
    provider.pavement(late, 1, {1.0f, 1.0f, 1});
    provider.end(late);
    provider.end(answered);
    clock.advance(10s);
    expire();

    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0]["type"], "runway_info");
    EXPECT_EQ(sent[0]["icao"], "LSZH");
    EXPECT_EQ(sent[1]["icao"], "ZZZZ");
    EXPECT_EQ(sent[1]["error"], "Airport data was not returned by the simulator");
    EXPECT_EQ(sent[2], (json{{"type", "runway_info_error"}, {"icao", "LSGG"},
                             {"error", "Runway info request timed out"}, {"timestamp", sent[2]["timestamp"]}}));
    EXPECT_EQ(manager->pendingCount(), 0u);
}

TEST_F(RunwayRequests, LimitsAndFailuresLeaveNothingBehind) {
    clients = 0;  // no client: no message, but the request still ends
    provider.end(accept("LSZH"));
    EXPECT_TRUE(sent.empty());
    clients = 1;
    for (std::size_t i = 0; i < RunwayRequestManager::kMaxPendingRequests; ++i) accept("KJFK");
    EXPECT_EQ(manager->handleRunwayRequest("KJFK").message, "Too many runway info requests in progress");
    clock.advance(5s);
    expire();
    EXPECT_EQ(sent.size(), RunwayRequestManager::kMaxPendingRequests);
    EXPECT_EQ(manager->pendingCount(), 0u);

    RunwayRequestManager::Operations ops = operations();
    ThrowingProvider throwingProvider;
    ops.activeProvider = [&]() -> SimulatorProvider& { return throwingProvider; };
    ops.broadcast = [](const json&) { throw std::runtime_error("send failed"); };
    RunwayRequestManager throwing(pool, ops, clock);
    EXPECT_THROW(throwing.handleRunwayRequest("LSZH"), std::runtime_error);
    EXPECT_EQ(throwing.pendingCount(), 0u);
    const std::size_t idle = pool.idleDocuments();
    EXPECT_NO_THROW(throwing.sendRunwayInfoError("KJFK", "x"));
    EXPECT_EQ(pool.idleDocuments(), idle);  // the document went back
}

// ---------------------------------------------------------------------------
// X-Plane path: lookups on the manager's workers, no time-out.

TEST_F(RunwayRequests, FailedLookupsBecomeErrorsAndMissingDataZeros) {
    xplane = true;
    const char* codes[] = {"kzzx", "SILNT", "THRW", "BARE"};
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(manager->handleRunwayRequest(codes[i]).success);
        ASSERT_TRUE(drainUntil(i + 1)) << codes[i];
    }
    EXPECT_EQ(sent[0], (json{{"type", "runway_info_error"}, {"icao", "KZZX"},
                             {"error", "Airport not found in apt.dat"}, {"timestamp", sent[0]["timestamp"]}}));
    EXPECT_EQ(sent[1]["error"], "Failed to load airport from apt.dat");  // no text of its own
    EXPECT_EQ(sent[2]["error"], "Failed to load airport from apt.dat");  // threw
    EXPECT_EQ(sent[3]["airport"]["latitude"], 0.0);
    EXPECT_EQ(sent[3]["airport"]["magneticVariation"], 0.0);
    EXPECT_EQ(sent[3]["runways"], json::array());
    EXPECT_EQ(scenery.takeCalls(), std::vector<std::string>{"cache BARE"});
}

TEST_F(RunwayRequests, SceneryLookupsNeedNoConnectionNeverTimeOutAndWakeTheLoop) {
    xplane = true;
    scenery.connected = false;
    files.hold(true);
    for (const char* icao : {"EDDF", "EDDM", "EDDH"}) accept(icao);
    ASSERT_TRUE(files.waitRunning(2));
    clock.advance(1h);
    expire();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(manager->pendingCount(), 3u);
    files.hold(false);
    ASSERT_TRUE(drainUntil(3));
    for (const json& m : sent) EXPECT_EQ(m["type"], "runway_info");
    EXPECT_EQ(lookupsFinished.load(), 3);
    EXPECT_EQ(manager->lookupWorkerCount(), 2u);
    EXPECT_EQ(manager->pendingCount(), 0u);
}

TEST_F(RunwayRequests, DestructionWaitsForRunningLookupsOnly) {
    xplane = true;
    files.hold(true);
    for (int i = 0; i < 5; ++i) accept("EDDF");
    ASSERT_TRUE(files.waitRunning(2));
    std::thread releaser([this] {
        std::this_thread::sleep_for(20ms);
        files.hold(false);
    });
    manager.reset();  // joins the workers once their lookups return
    releaser.join();
    EXPECT_LE(scenery.takeCalls().size(), 2u);
}

// Requests from a server thread while the main thread delivers answers,
// completions and time-outs; every accepted request gets exactly one answer.
TEST_F(RunwayRequests, ServerThreadRequestsMainThreadCompletions) {
    constexpr int kRequests = 100;
    std::atomic<int> accepted{0};
    std::atomic<bool> serverDone{false};
    std::thread server([&] {
        for (int i = 0; i < kRequests; ++i) {
            xplane = (i % 3 == 0);
            const std::string icao = std::string("K") + static_cast<char>('A' + i % 26) + (i % 2 ? "X" : "Y");
            // When the table is full, wait for the main thread to make room.
            for (;;) {
                const CommandResult result = manager->handleRunwayRequest(icao);
                if (result.success) ++accepted;
                if (result.success || result.message != "Too many runway info requests in progress") break;
                std::this_thread::yield();
            }
        }
        serverDone = true;
    });

    // Main thread: answer SimConnect requests (some without airport, some
    // left to time out), run completions and time-outs.
    std::size_t answeredRequests = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto requests = provider.requests();
        for (; answeredRequests < requests.size(); ++answeredRequests) {
            const std::uint32_t id = requests[answeredRequests].second;
            if (id % 5 == 0) continue;  // never answered: times out
            if (id % 2 == 0) provider.airport(id, airportData("Field", "KXXX", "K1"));
            provider.runway(id, 1, runwayData(9, 1, 27, 2));
            provider.pavement(id, 1, {10.0f, 30.0f, 1});
            provider.end(id);
        }
        manager->processCompletedLookups();
        clock.advance(100ms);
        expire();
        if (serverDone && sent.size() == static_cast<std::size_t>(accepted.load()) && manager->pendingCount() == 0) {
            break;
        }
        std::this_thread::yield();
    }
    server.join();

    EXPECT_EQ(accepted.load(), kRequests);
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(accepted.load()));
    EXPECT_EQ(manager->pendingCount(), 0u);
    EXPECT_LE(manager->lookupWorkerCount(), 2u);
}

}  // namespace
}  // namespace navorel
