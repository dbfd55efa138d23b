#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "server/JsonMessagePool.h"
#include "supervision/ApplicationStateManager.h"
#include "CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct StateChange {
    ApplicationState from;
    ApplicationState to;
    std::string reason;
};

class ApplicationStateManagerTest : public ::testing::Test {
protected:
    ApplicationStateManagerTest() {
        manager.setStateChangeCallback([this](ApplicationState from, ApplicationState to, const std::string& reason) {
            changes.push_back({from, to, reason});
        });
    }

    // A message built once the interval has passed, or null.
    std::unique_ptr<Json> buildAfterInterval() {
        clock.advance(1000ms);
        return manager.buildPreflightMessage(pool);
    }

    test::ManualClock clock;
    test::CapturedLog log;
    JsonMessagePool pool;
    ApplicationStateManager manager{clock, log.logger()};
    std::vector<StateChange> changes;
};

FlightData flightAt(double latitude, double longitude) {
    FlightData data{};
    data.latitude = latitude;
    data.longitude = longitude;
    return data;
}

TEST(ApplicationStateNames, NamesEveryValueAndUnknownOtherwise) {
    EXPECT_STREQ(applicationStateName(ApplicationState::IDLE), "IDLE");
    EXPECT_STREQ(applicationStateName(ApplicationState::PREFLIGHT), "PREFLIGHT");
    EXPECT_STREQ(applicationStateName(ApplicationState::ACTIVE), "ACTIVE");
    EXPECT_STREQ(applicationStateName(ApplicationState::SHUTDOWN), "SHUTDOWN");
    EXPECT_STREQ(applicationStateName(static_cast<ApplicationState>(4)), "UNKNOWN");
    EXPECT_STREQ(applicationStateName(static_cast<ApplicationState>(-1)), "UNKNOWN");
}

TEST_F(ApplicationStateManagerTest, ChangesAreLoggedAndReportedOnceAndRepeatsAreSilent) {
    EXPECT_EQ(manager.getState(), ApplicationState::IDLE);
    EXPECT_EQ(manager.getStateName(), "IDLE");

    manager.setState(ApplicationState::PREFLIGHT, "Client request");
    manager.setState(ApplicationState::PREFLIGHT, "");
    manager.setState(ApplicationState::ACTIVE, "");
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ(manager.getStateName(), "ACTIVE");

    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[INFO ] [ApplicationStateManager] State: IDLE -> PREFLIGHT (Client request)",
                               "[INFO ] [ApplicationStateManager] State: PREFLIGHT -> ACTIVE",
                           }));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].from, ApplicationState::IDLE);
    EXPECT_EQ(changes[0].to, ApplicationState::PREFLIGHT);
    EXPECT_EQ(changes[0].reason, "Client request");
    EXPECT_EQ(changes[1].from, ApplicationState::PREFLIGHT);
    EXPECT_EQ(changes[1].to, ApplicationState::ACTIVE);
}

TEST_F(ApplicationStateManagerTest, MessageCarriesOnlyTheGroupsFedAndTheTimeOfTheLastFeed) {
    manager.setState(ApplicationState::PREFLIGHT);
    clock.advance(1500ms);
    EXPECT_EQ(manager.buildPreflightMessage(pool), nullptr) << "nothing fed yet";

    const std::int64_t fedAt = toUnixTicks100ns(clock.systemNow());
    manager.updateTitle("Cessna 172 Skyhawk");
    auto message = manager.buildPreflightMessage(pool);
    ASSERT_NE(message, nullptr) << "the interval has passed already; an empty round does not restart it";
    EXPECT_EQ(message->dump(),
              R"({"timestamp":)" + std::to_string(fedAt) + R"(,"title":"Cessna 172 Skyhawk","type":"preflight_data"})");
    pool.ReleaseJson(std::move(message));

    clock.advance(400ms);
    EXPECT_EQ(manager.buildPreflightMessage(pool), nullptr);
    clock.advance(599ms);
    EXPECT_EQ(manager.buildPreflightMessage(pool), nullptr);
    clock.advance(1ms);
    message = manager.buildPreflightMessage(pool);
    ASSERT_NE(message, nullptr) << "groups stay in every later message";
    EXPECT_EQ(message->at("title"), "Cessna 172 Skyhawk");
    EXPECT_EQ(message->at("timestamp"), fedAt);
}

TEST_F(ApplicationStateManagerTest, FlightValuesAreRoundedHalvesAwayFromZero) {
    manager.setState(ApplicationState::PREFLIGHT);
    FlightData data = flightAt(47.1234567, -122.30000049);
    data.groundSpeedGps = 12.25;
    data.fuelVolume = 100.04;
    data.fuelWeight = 1234.5;
    manager.updateFlight(data);
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    const std::string text = message->dump();
    EXPECT_NE(text.find(R"("latitude":47.123457,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("longitude":-122.3,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("groundSpeedGps":12.3,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("fuelVolume":100.0,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("fuelWeight":1235.0,)"), std::string::npos) << text;

    data.fuelWeight = -1234.5;
    data.latitude = std::numeric_limits<double>::quiet_NaN();
    data.longitude = std::numeric_limits<double>::infinity();
    manager.updateFlight(data);
    message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->at("fuelWeight"), -1235.0);
    EXPECT_TRUE(std::isnan(message->at("latitude").get<double>()));
    EXPECT_TRUE(std::isinf(message->at("longitude").get<double>()));
}

TEST_F(ApplicationStateManagerTest, ParkingBrakeIsSetByAnyOfItsSources) {
    manager.setState(ApplicationState::PREFLIGHT);
    struct Case {
        const char* name;
        double EquipmentData::*field;
        double value;
        bool expected;
    };
    const Case cases[] = {
        {"nothing set", nullptr, 0.0, false},
        {"brake", &EquipmentData::parkingBrake, 0.6, true},
        {"brake at 0.5", &EquipmentData::parkingBrake, 0.5, false},
        {"switch percent 50", &EquipmentData::parkingBrakeSwitchPercent, 50.0, true},
        {"switch percent 49.9", &EquipmentData::parkingBrakeSwitchPercent, 49.9, false},
        {"lever", &EquipmentData::parkingBrakeLeverPosition, 0.51, true},
        {"MIP switch", &EquipmentData::parkingBrakeMipSwitch, 1.0, true},
        {"position as a fraction", &EquipmentData::parkingBrakePosition, 0.6, true},
        {"position 1.0 is a fraction", &EquipmentData::parkingBrakePosition, 1.0, true},
        {"position as a percentage", &EquipmentData::parkingBrakePosition, 50.0, true},
        {"position 40 percent", &EquipmentData::parkingBrakePosition, 40.0, false},
    };
    for (const Case& c : cases) {
        EquipmentData data{};
        if (c.field != nullptr) data.*c.field = c.value;
        manager.updateEquipment(data);
        auto message = buildAfterInterval();
        ASSERT_NE(message, nullptr) << c.name;
        EXPECT_EQ(message->at("parkingBrake"), c.expected) << c.name;
        EXPECT_EQ(message->size(), 3u) << c.name;
        pool.ReleaseJson(std::move(message));
    }
}

TEST_F(ApplicationStateManagerTest, SystemsFeedSetsGroundAndEngines) {
    manager.setState(ApplicationState::PREFLIGHT);
    SystemsData data{};
    data.simOnGround = 0.0;
    data.engine1Running = 1.0;
    data.engine3Running = 0.7;
    data.engine4Running = 0.5;
    manager.updateSystems(data);
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->dump(), R"({"engine1Running":true,"engine2Running":false,"engine3Running":true,)"
                               R"("engine4Running":false,"simOnGround":false,"timestamp":)" +
                                   std::to_string(toUnixTicks100ns(clock.systemNow() - 1000ms)) +
                                   R"(,"type":"preflight_data"})");
}

TEST_F(ApplicationStateManagerTest, NothingIsFedOrSentOutsidePreflightAndReEntryStartsEmpty) {
    manager.updateTitle("Idle title");
    manager.updateFlight(flightAt(1.0, 2.0));
    manager.setState(ApplicationState::PREFLIGHT);
    EXPECT_EQ(buildAfterInterval(), nullptr) << "feeds in IDLE were ignored";

    manager.updateTitle("First title");
    manager.updateFlight(flightAt(3.0, 4.0));
    ASSERT_NE(buildAfterInterval(), nullptr);

    manager.setState(ApplicationState::ACTIVE);
    manager.updateTitle("Active title");
    EXPECT_EQ(buildAfterInterval(), nullptr) << "no message outside PREFLIGHT";

    manager.setState(ApplicationState::PREFLIGHT);
    EXPECT_EQ(buildAfterInterval(), nullptr) << "entering PREFLIGHT again empties the groups";
    EXPECT_EQ(buildAfterInterval(), nullptr);

    manager.updateTitle("Second title");
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->at("title"), "Second title");
    EXPECT_FALSE(message->contains("latitude")) << "the position was not fed since PREFLIGHT was entered";
}

TEST_F(ApplicationStateManagerTest, MessageIsAnObjectWhateverThePoolHandsOut) {
    auto recycled = pool.AcquireJson();
    *recycled = Json::array({1, 2});
    pool.ReleaseJson(std::move(recycled));  // comes back as an empty array

    manager.setState(ApplicationState::PREFLIGHT);
    manager.updateTitle(static_cast<const char*>(nullptr));
    EXPECT_EQ(buildAfterInterval(), nullptr) << "a null title is no title";
    manager.updateTitle("A320");
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->is_object());
    EXPECT_EQ(message->at("type"), "preflight_data");
    EXPECT_EQ(pool.idleDocuments(), 0u) << "the document came from the pool";
}

TEST_F(ApplicationStateManagerTest, BrokenUtf8InTheTitleCannotBreakTheMessage) {
    manager.setState(ApplicationState::PREFLIGHT);
    AircraftInfo info{};
    std::memcpy(info.title, "Boeing \xff\xc3 737 \xed\xa0\x80 \xc3\xa9", 20);
    manager.updateTitle(info.title);
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->at("title"), "Boeing \xEF\xBF\xBD\xEF\xBF\xBD 737 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xc3\xa9");
    EXPECT_NO_THROW((void)message->dump());
}

TEST(ApplicationStateManagerInstance, InstalledInstanceIsReachableUntilItGoes) {
    EXPECT_EQ(ApplicationStateManager::instance(), nullptr);
    {
        test::CapturedLog log;
        ApplicationStateManager manager(Clock::real(), log.logger());
        ApplicationStateManager::setInstance(&manager);
        EXPECT_EQ(ApplicationStateManager::instance(), &manager);
        ApplicationStateManager other(Clock::real(), log.logger());
    }
    EXPECT_EQ(ApplicationStateManager::instance(), nullptr);
}

// Commands change the state on the server's thread while the main loop feeds
// the snapshot and builds messages.
TEST(ApplicationStateManagerThreads, ConcurrentCallersSeeEveryChangeExactlyOnce) {
    test::ManualClock clock;
    test::CapturedLog log;
    JsonMessagePool pool;
    ApplicationStateManager manager(clock, log.logger());
    std::atomic<int> callbacks{0};
    manager.setStateChangeCallback([&](ApplicationState from, ApplicationState to, const std::string&) {
        EXPECT_NE(from, to);
        callbacks.fetch_add(1);
    });

    constexpr int kRounds = 2000;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            const ApplicationState cycle[] = {ApplicationState::PREFLIGHT, ApplicationState::ACTIVE,
                                              ApplicationState::PREFLIGHT, ApplicationState::IDLE};
            for (int i = 0; i < kRounds; ++i) manager.setState(cycle[i % 4], "round");
            finished.fetch_add(1);
        });
    }
    threads.emplace_back([&] {
        while (finished.load() < 2) {
            manager.updateFlight(flightAt(1.0, 2.0));
            manager.updateTitle("Concurrent");
            manager.updateSystems(SystemsData{});
            manager.updateEquipment(EquipmentData{});
        }
    });
    while (finished.load() < 2) {
        clock.advance(1000ms);
        if (auto message = manager.buildPreflightMessage(pool)) {
            EXPECT_EQ(message->at("type"), "preflight_data");
            pool.ReleaseJson(std::move(message));
        }
    }
    for (std::thread& thread : threads) thread.join();

    std::size_t stateLines = 0;
    for (const std::string& line : log.lines()) {
        if (line.find("[ApplicationStateManager] State: ") != std::string::npos) ++stateLines;
    }
    EXPECT_EQ(stateLines, static_cast<std::size_t>(callbacks.load()));
    EXPECT_GT(callbacks.load(), 0);
}

}  // namespace
}  // namespace navorel
