#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/ManualClock.h"
#include "RunwayTestSupport.h"
#include "app/RunwayRequests.h"
#include "server/JsonMessagePool.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// SimConnect path: a fake provider delivers the facility callbacks.

class SimConnectRunwayRequests : public ::testing::Test {
protected:
    SimConnectRunwayRequests() : manager(pool, operations(), clock) {
        manager.installFacilityCallbacks(provider);
    }

    RunwayRequestManager::Operations operations() {
        RunwayRequestManager::Operations ops;
        ops.isXPlaneActive = [] { return false; };
        ops.isActiveProviderConnected = [this] { return provider.isConnected(); };
        ops.requestRunwayData = [this](const std::string& icao, std::uint32_t id) {
            return provider.requestRunwayData(icao, id);
        };
        ops.clientCount = [this] { return sink.clients.load(); };
        ops.broadcast = [this](const nlohmann::json& message) { sink.broadcast(message); };
        return ops;
    }

    std::uint32_t accept(const std::string& icao) {
        const CommandResult result = manager.handleRunwayRequest(icao);
        EXPECT_TRUE(result.success) << result.message;
        return result.success ? result.data["requestId"].get<std::uint32_t>() : 0;
    }

    // One round of the main loop's part in this.
    void mainLoopRound() {
        provider.processMessages();
        manager.processCompletedLookups();
        manager.expireRunwayRequests(clock.steadyNow());
    }

    test::ManualClock clock;
    test::MessageSink sink;
    test::FakeFacilityProvider provider;
    JsonMessagePool pool;
    RunwayRequestManager manager;
};

TEST_F(SimConnectRunwayRequests, AcceptsThreeToFiveCharactersAnsweringInUpperCase) {
    const CommandResult result = manager.handleRunwayRequest("lszh");
    ASSERT_TRUE(result.success);
    EXPECT_EQ(result.message, "Runway info request accepted");
    EXPECT_EQ(result.data, (nlohmann::json{{"icao", "LSZH"}, {"requestId", 10000}}));
    EXPECT_TRUE(result.data["requestId"].is_number_unsigned());
    EXPECT_EQ(provider.requests().at(0), (std::pair<std::string, std::uint32_t>{"LSZH", 10000}));

    EXPECT_TRUE(manager.handleRunwayRequest("EGl").success);
    EXPECT_TRUE(manager.handleRunwayRequest("K1g9z").success);
    for (const char* bad : {"EG", "LSZHXX", "", "\xC3\xBC"}) {
        const CommandResult refused = manager.handleRunwayRequest(bad);
        EXPECT_FALSE(refused.success);
        EXPECT_EQ(refused.message, "ICAO must be between 3 and 5 characters");
        EXPECT_TRUE(refused.data.is_null());
    }
    // Only ASCII letters change case.
    EXPECT_EQ(manager.handleRunwayRequest("\xC3\xBCxy").data["icao"], "\xC3\xBCXY");
    EXPECT_EQ(provider.requests().size(), 4u);
}

TEST_F(SimConnectRunwayRequests, NotConnectedIsRefusedBeforeAnythingElse) {
    provider.connected = false;
    const CommandResult result = manager.handleRunwayRequest("X");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, "SimConnect is not connected");
    EXPECT_TRUE(provider.requests().empty());
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(SimConnectRunwayRequests, IdsCountUpFromTenThousandAndEachRequestIsAnswered) {
    EXPECT_EQ(accept("LSZH"), 10000u);
    EXPECT_EQ(accept("LSZH"), 10001u);
    for (std::uint32_t id : {10000u, 10001u}) {
        provider.queueAirport(id, test::airportData("Zurich", "LSZH", "LS", 432.0, 0));
        provider.queueEnd(id);
    }
    mainLoopRound();
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["type"], "runway_info");
    EXPECT_EQ(messages[1]["type"], "runway_info");
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(SimConnectRunwayRequests, RefusedSimulatorRequestLeavesNothingBehind) {
    provider.acceptRequests = false;
    const CommandResult result = manager.handleRunwayRequest("LSZH");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, "Failed to request runway data from simulator");
    EXPECT_EQ(manager.pendingCount(), 0u);
    clock.advance(10s);
    mainLoopRound();
    EXPECT_EQ(sink.count(), 0u);
    // The id was used up all the same.
    provider.acceptRequests = true;
    EXPECT_EQ(accept("LSZH"), 10001u);
}

TEST_F(SimConnectRunwayRequests, FacilityAnswerBecomesRunwayInfo) {
    const std::uint32_t id = accept("LSZH");
    // Padded texts as the simulator delivers them; the ICAO fills its field.
    provider.queueAirport(id, test::airportData(" \tZurich Airport\r\n", "LSZHABCD", "LS  ", 432.0, 3));
    provider.queueRunway(id, 501, test::runwayData(14, 0, 32, 0));
    provider.queuePavement(id, 501, {100.0f, 60.0f, 1});
    provider.queuePavement(id, 501, {0.0000005f, -0.0000009f, 0});
    provider.queuePavement(id, 501, {999.0f, 999.0f, 1});  // a runway has two ends
    provider.queueRunway(id, 502, test::runwayData(16, 1, 34, 2));
    provider.queuePavement(id, 502, {50.0f, 45.0f, 0});
    provider.queueRunway(id, 503, test::runwayData(10, 0, 28, 0));
    provider.queuePavement(id, 777, {1.0f, 1.0f, 1});  // no such runway
    provider.queueEnd(id);
    mainLoopRound();

    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    const nlohmann::json& m = messages[0];
    EXPECT_EQ(m["icao"], "LSZH");
    EXPECT_EQ(m["airport"]["name"], "Zurich Airport");
    EXPECT_EQ(m["airport"]["icao"], "LSZHABCD");
    EXPECT_EQ(m["airport"]["region"], "LS");
    EXPECT_DOUBLE_EQ(m["airport"]["altitudeFt"].get<double>(), 1417.0);  // 432 m
    EXPECT_DOUBLE_EQ(m["airport"]["magneticVariation"].get<double>(), -2.5);
    EXPECT_DOUBLE_EQ(m["airport"]["latitude"].get<double>(), 47.458056);
    EXPECT_EQ(m["airport"]["runwayCount"], 3);

    const nlohmann::json& runways = m["runways"];
    ASSERT_EQ(runways.size(), 3u);
    EXPECT_DOUBLE_EQ(runways[0]["lengthFt"].get<double>(), 8202.0);  // 2500 m
    EXPECT_DOUBLE_EQ(runways[0]["widthFt"].get<double>(), 197.0);     // 60 m
    EXPECT_DOUBLE_EQ(runways[0]["altitudeFt"].get<double>(), 328.0);  // 100 m
    EXPECT_DOUBLE_EQ(runways[0]["headingDegrees"].get<double>(), 137.3);
    EXPECT_EQ(runways[0]["primaryThreshold"],
              (nlohmann::json{{"enabled", true}, {"lengthFt", 328.0}, {"present", true}, {"widthFt", 197.0}}));
    EXPECT_EQ(runways[0]["secondaryThreshold"],
              (nlohmann::json{{"enabled", false}, {"lengthFt", 0.0}, {"present", true}, {"widthFt", 0.0}}));
    EXPECT_EQ(runways[1]["primaryIdent"], "16L");
    EXPECT_EQ(runways[1]["secondaryIdent"], "34R");
    EXPECT_EQ(runways[1]["primaryThreshold"]["present"], true);
    EXPECT_EQ(runways[1]["primaryThreshold"]["enabled"], false);
    EXPECT_EQ(runways[1]["secondaryThreshold"]["present"], false);
    EXPECT_EQ(runways[2]["primaryThreshold"]["present"], false);
    EXPECT_EQ(runways[2]["secondaryThreshold"]["present"], false);
    EXPECT_EQ(runways[2]["primaryIdent"], "10");
}

TEST_F(SimConnectRunwayRequests, EndWithoutAirportIsAnError) {
    const std::uint32_t id = accept("ZZZZ");
    provider.queueRunway(id, 1, test::runwayData(1, 0, 19, 0));
    provider.queueEnd(id);
    mainLoopRound();
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["type"], "runway_info_error");
    EXPECT_EQ(messages[0]["icao"], "ZZZZ");
    EXPECT_EQ(messages[0]["error"], "Airport data was not returned by the simulator");
}

TEST_F(SimConnectRunwayRequests, TimesOutAfterFiveSeconds) {
    accept("KJFK");
    clock.advance(4999ms);
    mainLoopRound();
    EXPECT_EQ(sink.count(), 0u);
    clock.advance(1ms);
    mainLoopRound();
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["type"], "runway_info_error");
    EXPECT_EQ(messages[0]["icao"], "KJFK");
    EXPECT_EQ(messages[0]["error"], "Runway info request timed out");
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(SimConnectRunwayRequests, FirstOfEndOrTimeOutWinsAndLaterOnesDoNothing) {
    const std::uint32_t answered = accept("LSZH");
    const std::uint32_t late = accept("LSGG");
    provider.queueAirport(answered, test::airportData("Zurich", "LSZH", "LS", 432.0, 0));
    provider.queueEnd(answered);
    mainLoopRound();
    clock.advance(5s);
    mainLoopRound();  // answered: nothing more; late: times out
    ASSERT_EQ(sink.count(), 2u);

    // Callbacks arriving after the time-out, and a second end, find nothing.
    provider.queueAirport(late, test::airportData("Geneva", "LSGG", "LS", 411.0, 0));
    provider.queueRunway(late, 1, test::runwayData(4, 0, 22, 0));
    provider.queuePavement(late, 1, {1.0f, 1.0f, 1});
    provider.queueEnd(late);
    provider.queueEnd(answered);
    clock.advance(10s);
    mainLoopRound();

    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["type"], "runway_info");
    EXPECT_EQ(messages[0]["icao"], "LSZH");
    EXPECT_EQ(messages[1]["type"], "runway_info_error");
    EXPECT_EQ(messages[1]["icao"], "LSGG");
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(SimConnectRunwayRequests, NoClientNoMessageButTheRequestStillEnds) {
    sink.clients = 0;
    const std::uint32_t id = accept("LSZH");
    provider.queueEnd(id);
    mainLoopRound();
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(SimConnectRunwayRequests, RequestsInProgressAreBounded) {
    for (std::size_t i = 0; i < RunwayRequestManager::kMaxPendingRequests; ++i) accept("KJFK");
    const CommandResult refused = manager.handleRunwayRequest("KJFK");
    EXPECT_FALSE(refused.success);
    EXPECT_EQ(refused.message, "Too many runway info requests in progress");
    clock.advance(5s);
    mainLoopRound();
    EXPECT_EQ(sink.count(), RunwayRequestManager::kMaxPendingRequests);
    accept("KJFK");
}

TEST_F(SimConnectRunwayRequests, ThrowingProviderLeavesNoPendingRequest) {
    RunwayRequestManager::Operations ops = operations();
    ops.requestRunwayData = [](const std::string&, std::uint32_t) -> bool { throw std::runtime_error("boom"); };
    RunwayRequestManager throwing(pool, ops, clock);
    EXPECT_THROW(throwing.handleRunwayRequest("LSZH"), std::runtime_error);
    EXPECT_EQ(throwing.pendingCount(), 0u);
}

// ---------------------------------------------------------------------------
// X-Plane path: lookups on the manager's workers.

// Scenery lookup stand-in; can hold every lookup until released.
class FakeSceneryLookup {
public:
    bool load(const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
        std::unique_lock lock(mutex_);
        ++running_;
        maxRunning_ = std::max(maxRunning_, running_);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        --running_;
        if (icao == "THRW") throw std::runtime_error("disk on fire");
        if (icao == "NONE") {
            error = "Airport not found in apt.dat";
            return false;
        }
        if (icao == "SILNT") return false;
        record = airport(icao);
        return true;
    }
    void cache(const XPlaneAirportRecord& record) {
        std::lock_guard lock(mutex_);
        cached_.push_back(record.icao);
    }

    static XPlaneAirportRecord airport(const std::string& icao) {
        XPlaneAirportRecord record;
        record.icao = icao;
        record.name = "Test Field";
        record.region = "ED";
        record.elevationFt = 1500.4;
        record.latitude = 50.1;
        record.longitude = 8.6;
        record.hasPosition = true;
        record.magneticVariation = 3.456;
        record.hasMagneticVariation = true;
        XPlaneRunwayRecord runway;
        runway.latitude = 50.0;
        runway.longitude = 8.5;
        runway.lengthMeters = 4000.0;
        runway.widthMeters = 45.0;
        runway.headingDegrees = 249.96;
        runway.primaryDisplacedThresholdMeters = 300.0;
        runway.secondaryDisplacedThresholdMeters = 0.0;
        runway.surfaceCode = 4;
        runway.primaryNumber = 25;
        runway.primaryDesignatorCode = 3;
        runway.secondaryNumber = 7;
        runway.secondaryDesignatorCode = 3;
        record.runways = {runway, runway};
        record.runways[1].secondaryDisplacedThresholdMeters = 10.0;
        return record;
    }

    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            holding_ = false;
        }
        changed_.notify_all();
    }
    // Waits (bounded) until this many lookups are inside load().
    bool waitRunning(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return running_ >= count; });
    }
    int maxRunning() {
        std::lock_guard lock(mutex_);
        return maxRunning_;
    }
    std::vector<std::string> cached() {
        std::lock_guard lock(mutex_);
        return cached_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    int running_ = 0;
    int maxRunning_ = 0;
    std::vector<std::string> cached_;
};

class XPlaneRunwayRequests : public ::testing::Test {
protected:
    RunwayRequestManager::Operations operations() {
        RunwayRequestManager::Operations ops;
        ops.isXPlaneActive = [] { return true; };
        ops.isActiveProviderConnected = [] { return false; };  // not asked on this path
        ops.loadAirport = [this](const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
            return scenery.load(icao, record, error);
        };
        ops.cacheAirport = [this](const XPlaneAirportRecord& record) { scenery.cache(record); };
        ops.clientCount = [this] { return sink.clients.load(); };
        ops.broadcast = [this](const nlohmann::json& message) { sink.broadcast(message); };
        return ops;
    }

    // Runs the main loop's part until `count` messages went out (bounded).
    bool drainUntil(RunwayRequestManager& manager, std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            manager.processCompletedLookups();
            manager.expireRunwayRequests(clock.steadyNow());
            if (sink.count() >= count) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    test::ManualClock clock;
    test::MessageSink sink;
    FakeSceneryLookup scenery;
    JsonMessagePool pool;
};

TEST_F(XPlaneRunwayRequests, FoundAirportBecomesRunwayInfo) {
    RunwayRequestManager manager(pool, operations(), clock);
    const CommandResult result = manager.handleRunwayRequest("eddf");
    ASSERT_TRUE(result.success) << result.message;
    EXPECT_EQ(result.data["requestId"], 10000u);
    ASSERT_TRUE(drainUntil(manager, 1));

    const nlohmann::json m = sink.messages().at(0);
    EXPECT_EQ(m["type"], "runway_info");
    EXPECT_EQ(m["icao"], "EDDF");
    EXPECT_EQ(m["airport"]["name"], "Test Field");
    EXPECT_EQ(m["airport"]["region"], "ED");
    EXPECT_DOUBLE_EQ(m["airport"]["altitudeFt"].get<double>(), 1500.0);
    EXPECT_DOUBLE_EQ(m["airport"]["magneticVariation"].get<double>(), 3.46);
    EXPECT_DOUBLE_EQ(m["airport"]["latitude"].get<double>(), 50.1);
    EXPECT_EQ(m["airport"]["runwayCount"], 2);
    const nlohmann::json& runway = m["runways"][0];
    EXPECT_DOUBLE_EQ(runway["altitudeFt"].get<double>(), 1500.0);
    EXPECT_DOUBLE_EQ(runway["lengthFt"].get<double>(), 13123.0);
    EXPECT_DOUBLE_EQ(runway["widthFt"].get<double>(), 148.0);
    EXPECT_DOUBLE_EQ(runway["headingDegrees"].get<double>(), 250.0);
    EXPECT_EQ(runway["primaryIdent"], "25C");
    EXPECT_EQ(runway["secondaryIdent"], "07C");
    EXPECT_EQ(runway["surface"], "Asphalt");
    EXPECT_EQ(runway["primaryThreshold"],
              (nlohmann::json{{"enabled", true}, {"lengthFt", 984.0}, {"present", true}, {"widthFt", 148.0}}));
    EXPECT_EQ(runway["secondaryThreshold"]["present"], false);
    EXPECT_EQ(m["runways"][1]["secondaryThreshold"]["lengthFt"], 33.0);
    EXPECT_EQ(scenery.cached(), std::vector<std::string>{"EDDF"});
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(XPlaneRunwayRequests, MissingPositionAndVariationBecomeZero) {
    auto ops = operations();
    ops.loadAirport = [](const std::string& icao, XPlaneAirportRecord& record, std::string&) {
        record = FakeSceneryLookup::airport(icao);
        record.hasPosition = false;
        record.hasMagneticVariation = false;
        record.runways.clear();
        return true;
    };
    RunwayRequestManager manager(pool, ops, clock);
    ASSERT_TRUE(manager.handleRunwayRequest("EDDF").success);
    ASSERT_TRUE(drainUntil(manager, 1));
    const nlohmann::json m = sink.messages().at(0);
    EXPECT_EQ(m["airport"]["latitude"], 0.0);
    EXPECT_EQ(m["airport"]["longitude"], 0.0);
    EXPECT_EQ(m["airport"]["magneticVariation"], 0.0);
    EXPECT_EQ(m["airport"]["runwayCount"], 0);
    EXPECT_TRUE(m["runways"].is_array());
    EXPECT_TRUE(m["runways"].empty());
}

TEST_F(XPlaneRunwayRequests, FailedLookupsBecomeErrors) {
    RunwayRequestManager manager(pool, operations(), clock);
    ASSERT_TRUE(manager.handleRunwayRequest("none").success);
    ASSERT_TRUE(drainUntil(manager, 1));
    ASSERT_TRUE(manager.handleRunwayRequest("SILNT").success);
    ASSERT_TRUE(drainUntil(manager, 2));
    ASSERT_TRUE(manager.handleRunwayRequest("THRW").success);
    ASSERT_TRUE(drainUntil(manager, 3));

    const auto messages = sink.messages();
    EXPECT_EQ(messages[0]["type"], "runway_info_error");
    EXPECT_EQ(messages[0]["icao"], "NONE");
    EXPECT_EQ(messages[0]["error"], "Airport not found in apt.dat");
    EXPECT_EQ(messages[1]["error"], "Failed to load airport from apt.dat");
    EXPECT_EQ(messages[2]["error"], "Failed to load airport from apt.dat");
    EXPECT_TRUE(scenery.cached().empty());
}

TEST_F(XPlaneRunwayRequests, NoConnectionCheckAndNoTimeOut) {
    RunwayRequestManager manager(pool, operations(), clock);
    scenery.hold();
    ASSERT_TRUE(manager.handleRunwayRequest("EDDF").success);
    ASSERT_TRUE(scenery.waitRunning(1));
    clock.advance(1h);
    manager.expireRunwayRequests(clock.steadyNow());
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(manager.pendingCount(), 1u);
    scenery.release();
    ASSERT_TRUE(drainUntil(manager, 1));
    EXPECT_EQ(sink.messages().at(0)["type"], "runway_info");
}

TEST_F(XPlaneRunwayRequests, MoreRequestsThanWorkersAreAllAnswered) {
    RunwayRequestManager manager(pool, operations(), clock, 2);
    scenery.hold();
    std::vector<std::uint32_t> ids;
    for (const char* icao : {"AAAA", "BBBB", "CCCC", "DDDD", "EEEE", "NONE"}) {
        const CommandResult result = manager.handleRunwayRequest(icao);
        ASSERT_TRUE(result.success);
        ids.push_back(result.data["requestId"].get<std::uint32_t>());
    }
    ASSERT_TRUE(scenery.waitRunning(2));
    EXPECT_EQ(manager.lookupWorkerCount(), 2u);
    scenery.release();
    ASSERT_TRUE(drainUntil(manager, 6));

    EXPECT_EQ(scenery.maxRunning(), 2);
    EXPECT_EQ(manager.lookupWorkerCount(), 2u);
    std::set<std::string> answered;
    for (const nlohmann::json& m : sink.messages()) answered.insert(m["icao"].get<std::string>());
    EXPECT_EQ(answered, (std::set<std::string>{"AAAA", "BBBB", "CCCC", "DDDD", "EEEE", "NONE"}));
    EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(XPlaneRunwayRequests, ResultOfARequestThatIsGoneIsDropped) {
    RunwayRequestManager manager(pool, operations(), clock, 1);
    scenery.hold();
    const CommandResult first = manager.handleRunwayRequest("EDDF");
    ASSERT_TRUE(scenery.waitRunning(1));
    // A stray end callback takes the record before the lookup is done.
    manager.onFacilityDataEnd(first.data["requestId"].get<std::uint32_t>());
    ASSERT_EQ(sink.count(), 1u);
    // One worker: the second result is queued after the first.
    ASSERT_TRUE(manager.handleRunwayRequest("EDDM").success);
    scenery.release();
    ASSERT_TRUE(drainUntil(manager, 2));
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["error"], "Airport data was not returned by the simulator");
    EXPECT_EQ(messages[1]["icao"], "EDDM");
}

TEST_F(XPlaneRunwayRequests, DestructionWaitsForRunningLookupsOnly) {
    auto manager = std::make_unique<RunwayRequestManager>(pool, operations(), clock, 1);
    scenery.hold();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(manager->handleRunwayRequest("EDDF").success);
    ASSERT_TRUE(scenery.waitRunning(1));
    std::thread releaser([this] {
        std::this_thread::sleep_for(20ms);
        scenery.release();
    });
    manager.reset();  // joins the worker once its lookup returns
    releaser.join();
    EXPECT_LE(scenery.cached().size(), 1u);
}

// ---------------------------------------------------------------------------
// Requests from a server thread while the main thread delivers answers,
// completions and time-outs; every accepted request gets exactly one answer.

TEST(RunwayRequestsConcurrency, ServerThreadRequestsMainThreadCompletions) {
    test::ManualClock clock;
    test::MessageSink sink;
    test::FakeFacilityProvider provider;
    JsonMessagePool pool;
    std::atomic<bool> xplane{false};

    RunwayRequestManager::Operations ops;
    ops.isXPlaneActive = [&] { return xplane.load(); };
    ops.isActiveProviderConnected = [&] { return provider.isConnected(); };
    ops.requestRunwayData = [&](const std::string& icao, std::uint32_t id) {
        return provider.requestRunwayData(icao, id);
    };
    ops.loadAirport = [](const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
        if (icao.back() == 'X') {
            error = "Airport not found in apt.dat";
            return false;
        }
        record = FakeSceneryLookup::airport(icao);
        return true;
    };
    ops.cacheAirport = [](const XPlaneAirportRecord&) {};
    ops.clientCount = [&] { return sink.clients.load(); };
    ops.broadcast = [&](const nlohmann::json& message) { sink.broadcast(message); };
    RunwayRequestManager manager(pool, ops, clock, 2);
    manager.installFacilityCallbacks(provider);

    constexpr int kRequests = 200;
    std::atomic<int> accepted{0};
    std::atomic<bool> serverDone{false};
    std::thread server([&] {
        for (int i = 0; i < kRequests; ++i) {
            xplane = (i % 3 == 0);
            const std::string icao = std::string("K") + static_cast<char>('A' + i % 26) + (i % 2 ? "X" : "Y");
            // When the table is full, wait for the main thread to make room.
            for (;;) {
                const CommandResult result = manager.handleRunwayRequest(icao);
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
            if (id % 2 == 0) provider.queueAirport(id, test::airportData("Field", "KXXX", "K1", 10.0, 1));
            provider.queueRunway(id, 1, test::runwayData(9, 1, 27, 2));
            provider.queuePavement(id, 1, {10.0f, 30.0f, 1});
            provider.queueEnd(id);
        }
        provider.processMessages();
        manager.processCompletedLookups();
        clock.advance(100ms);
        manager.expireRunwayRequests(clock.steadyNow());
        if (serverDone && sink.count() == static_cast<std::size_t>(accepted.load()) &&
            manager.pendingCount() == 0) {
            break;
        }
        std::this_thread::yield();
    }
    server.join();

    EXPECT_EQ(accepted.load(), kRequests);
    EXPECT_EQ(sink.count(), static_cast<std::size_t>(accepted.load()));
    EXPECT_EQ(manager.pendingCount(), 0u);
    EXPECT_LE(manager.lookupWorkerCount(), 2u);
}

}  // namespace
}  // namespace navorel
