#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "FakeProvider.h"
#include "app/RunwayRequests.h"
#include "core/JsonMessagePool.h"
#include "support/Eventually.h"
#include "support/ManualClock.h"

// The X-Plane path against a real scenery tree (contents, key order, request
// ids, case, unknown airports, codes of 2 and 6 letters, the MSFS refusal
// without a simulator) is covered end to end. Here: the SimConnect facility
// path no end-to-end test can reach, failures, and the pending-request lifecycle.

namespace navorel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Strings = std::vector<std::string>;
using test::eventually;

// An X-Plane stand-in whose scenery lookups wait while `holding`. Codes ending
// in X are not found, THRW throws, SILNT fails without a text, BARE has no
// position, variation or runways.
class FakeScenery : public test::FakeProvider {
public:
    FakeScenery() : FakeProvider("X-Plane") { localRunways = true; }

    bool loadAirport(const std::string& icao, XPlaneAirportRecord& record, std::string& error) override {
        ++started;
        while (holding) std::this_thread::sleep_for(1ms);
        if (icao == "THRW") throw std::runtime_error("disk on fire");
        if (icao.back() == 'X') error = "Airport not found in apt.dat";
        if (icao.back() == 'X' || icao == "SILNT") return false;
        record.icao = icao;
        record.hasPosition = record.hasMagneticVariation = icao != "BARE";
        record.latitude = record.magneticVariation = 50.0;
        record.runways.resize(icao == "BARE" ? 0 : 1);
        return true;
    }

    std::atomic<bool> holding{false};
    std::atomic<int> started{0};
};

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
    RunwayRequests() { manager->installFacilityCallbacks(provider); }

    RunwayRequestManager::Operations operations() {
        return {.activeProvider = [this]() -> SimulatorProvider& { return xplane ? scenery : provider; },
                .clientCount = [this] { return clients; },
                .broadcast =
                    [this](const json& message) {
                        const json& m = sent.emplace_back(json::parse(message.dump()));
                        outcomes.push_back(m["icao"].get<std::string>().append(": ").append(m.value("error", "info")));
                    },
                .lookupFinished = [this] { ++lookupsFinished; }};
    }

    std::uint32_t accept(const std::string& icao) {
        const CommandResult result = manager->handleRunwayRequest(icao);
        EXPECT_TRUE(result.success) << result.message;
        return result.success ? result.data["requestId"].get<std::uint32_t>() : 0;
    }

    void expire() { manager->expireRunwayRequests(clock.steadyNow()); }

    // Runs the main loop's part until `count` messages went out (bounded).
    bool drainUntil(std::size_t count) {
        return eventually([&] {
            manager->processCompletedLookups();
            expire();
            return sent.size() >= count;
        });
    }

    test::ManualClock clock;
    JsonMessagePool pool;
    test::FakeProvider provider;
    FakeScenery scenery;
    std::atomic<bool> xplane{false};
    std::atomic<int> lookupsFinished{0};
    std::size_t clients = 1;
    std::vector<json> sent;
    Strings outcomes;  // "ICAO: info" or "ICAO: error" for each message sent
    std::unique_ptr<RunwayRequestManager> manager = std::make_unique<RunwayRequestManager>(pool, operations(), clock);
};

TEST_F(RunwayRequests, LengthCountsBytesOnlyAsciiChangesCaseAndRefusalsLeaveNothingPending) {
    // Length counts bytes, and only ASCII letters change case.
    const std::pair<const char*, const char*> accepted[] = {
        {"k1g", "K1G"}, {"K1g9z", "K1G9Z"}, {"\xC3\xBCxy", "\xC3\xBCXY"}};
    for (const auto& [code, icao] : accepted) EXPECT_EQ(manager->handleRunwayRequest(code).data["icao"], icao);
    for (const char* bad : {"", "\xC3\xBC", "LSZHXX"}) {
        EXPECT_EQ(manager->handleRunwayRequest(bad).message, "ICAO must be between 3 and 5 characters") << bad;
    }
    // A request the simulator refuses uses up its id and leaves nothing to time out.
    provider.acceptRequests = false;
    EXPECT_EQ(manager->handleRunwayRequest("LSGG").message, "Failed to request runway data from simulator");
    provider.acceptRequests = true;
    EXPECT_EQ(accept("LSGG"), 10004u);
    EXPECT_EQ(provider.requests().size(), 5u);
    EXPECT_EQ(manager->pendingCount(), 4u);
}

TEST_F(RunwayRequests, FacilityAnswerBecomesRunwayInfo) {
    const std::uint32_t id = accept("LSZH");
    // Padded texts as the simulator delivers them; the ICAO fills its field.
    FacilityAirportData zurich{47.458056, 8.548056, 432.0, -2.5f, " \tZurich Airport\r\n", "", "LS  ", 3};
    std::memcpy(zurich.icao, "LSZHABCD", sizeof zurich.icao);
    provider.airport(id, zurich);
    provider.runway(id, 501, {47.4, 8.5, 100.0, 137.25f, 2500.0f, 60.0f, 0, 14, 0, 32, 0});
    provider.pavement(id, 501, {100.0f, 60.0f, 1});
    provider.pavement(id, 501, {0.0000005f, -0.0000009f, 0});  // noise: no "-0.0" or exponents
    provider.pavement(id, 501, {999.0f, 999.0f, 1});           // a runway has two ends
    provider.pavement(id, 777, {1.0f, 1.0f, 1});  // no such runway
    provider.end(id);

    EXPECT_EQ(sent.at(0)["airport"], (json{{"name", "Zurich Airport"}, {"icao", "LSZHABCD"}, {"region", "LS"},
                                           {"latitude", 47.458056}, {"longitude", 8.548056}, {"altitudeFt", 1417.0},
                                           {"magneticVariation", -2.5}, {"runwayCount", 3}}));
    const json& runway = sent.at(0)["runways"].at(0);
    EXPECT_EQ(runway["altitudeFt"], 328.0);
    EXPECT_EQ(runway["primaryThreshold"],
              (json{{"enabled", true}, {"lengthFt", 328.0}, {"present", true}, {"widthFt", 197.0}}));
    EXPECT_EQ(runway["secondaryThreshold"].dump(), R"({"enabled":false,"lengthFt":0.0,"present":true,"widthFt":0.0})");
}

TEST_F(RunwayRequests, FirstOfEndOrTimeOutWinsAndLaterOnesDoNothing) {
    const std::uint32_t answered = accept("LSZH");
    const std::uint32_t late = accept("LSGG");
    const std::uint32_t noAirport = accept("ZZZZ");
    provider.airport(answered, {});
    provider.end(answered);
    provider.runway(noAirport, 1, {});
    provider.end(noAirport);
    clock.advance(4999ms);
    expire();
    EXPECT_EQ(manager->pendingCount(), 1u);
    clock.advance(1ms);
    expire();

    // Callbacks arriving after the time-out, and a second end, find nothing.
    provider.airport(late, {});
    provider.runway(late, 1, {});
    provider.pavement(late, 1, {1.0f, 1.0f, 1});
    provider.end(late);
    provider.end(answered);
    clock.advance(10s);
    expire();
    EXPECT_EQ(outcomes, (Strings{"LSZH: info", "ZZZZ: Airport data was not returned by the simulator",
                                 "LSGG: Runway info request timed out"}));
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
    EXPECT_NO_THROW(throwing.sendRunwayInfoError("KJFK", "x"));
}

TEST_F(RunwayRequests, FailedLookupsBecomeErrorsAndMissingDataZeros) {
    xplane = true;
    for (const char* icao : {"kzzx", "SILNT", "THRW", "BARE"}) {
        accept(icao);
        ASSERT_TRUE(drainUntil(sent.size() + 1)) << icao;
    }
    EXPECT_EQ(outcomes, (Strings{"KZZX: Airport not found in apt.dat", "SILNT: Failed to load airport from apt.dat",
                                 "THRW: Failed to load airport from apt.dat", "BARE: info"}));
    EXPECT_EQ(sent[3]["airport"]["latitude"], 0.0);
    EXPECT_EQ(sent[3]["airport"]["magneticVariation"], 0.0);
    EXPECT_EQ(sent[3]["runways"], json::array());
    EXPECT_EQ(scenery.takeCalls(), Strings{"cache BARE"});  // only what was found is cached
}

TEST_F(RunwayRequests, SceneryLookupsNeedNoConnectionNeverTimeOutAndWakeTheLoop) {
    xplane = true;
    scenery.connected = false;
    scenery.holding = true;
    for (const char* icao : {"EDDF", "EDDM", "EDDH"}) accept(icao);
    EXPECT_TRUE(eventually([&] { return scenery.started >= 2; }));
    EXPECT_EQ(manager->lookupWorkerCount(), 2u);
    clock.advance(1h);
    expire();
    EXPECT_TRUE(sent.empty());
    scenery.holding = false;
    ASSERT_TRUE(drainUntil(3));
    for (const json& m : sent) EXPECT_EQ(m["type"], "runway_info");
    EXPECT_EQ(lookupsFinished.load(), 3);
}

TEST_F(RunwayRequests, DestructionWaitsForRunningLookupsOnly) {
    xplane = true;
    scenery.holding = true;
    for (int i = 0; i < 5; ++i) accept("EDDF");
    EXPECT_TRUE(eventually([&] { return scenery.started >= 2; }));
    std::jthread releaser([this] {
        std::this_thread::sleep_for(20ms);
        scenery.holding = false;
    });
    manager.reset();  // joins the workers once their lookups return
    EXPECT_LE(scenery.takeCalls().size(), 2u);  // the queued ones never ran
}

// Requests from a server thread while the main thread delivers answers,
// completions and time-outs; every accepted request gets exactly one answer.
TEST_F(RunwayRequests, ServerThreadRequestsMainThreadCompletions) {
    constexpr std::size_t kRequests = 100;
    std::atomic<std::size_t> accepted{0};
    std::jthread server([&] {
        for (std::size_t i = 0; i < kRequests; ++i) {
            xplane = (i % 3 == 0);
            CommandResult result;
            do {  // when the table is full, wait for the main thread to make room
                std::this_thread::yield();
                result = manager->handleRunwayRequest(i % 2 ? "KAX" : "KBY");
            } while (result.message == "Too many runway info requests in progress");
            accepted += result.success;
        }
    });

    // Main thread: answer SimConnect requests (some without airport, some
    // left to time out), run completions and time-outs.
    std::size_t answered = 0;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        const auto requests = provider.requests();
        for (; answered < requests.size(); ++answered) {
            const std::uint32_t id = requests[answered].second;
            if (id % 5 == 0) continue;  // never answered: times out
            if (id % 2 == 0) provider.airport(id, {});
            provider.runway(id, 1, {});
            provider.pavement(id, 1, {10.0f, 30.0f, 1});
            provider.end(id);
        }
        manager->processCompletedLookups();
        clock.advance(100ms);
        expire();
        if (accepted == kRequests && sent.size() == kRequests && manager->pendingCount() == 0) break;
    }
    EXPECT_EQ(accepted.load(), kRequests);
    EXPECT_EQ(sent.size(), kRequests);
    EXPECT_EQ(manager->pendingCount(), 0u);
}

}  // namespace
}  // namespace navorel
