#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "server/JsonMessagePool.h"
#include "supervision/ApplicationStateManager.h"
#include "supervision/HeartbeatMonitor.h"
#include "supervision/ProcessMonitor.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct StateChange {
    ApplicationState from;
    ApplicationState to;
    std::string reason;
    bool operator==(const StateChange&) const = default;
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

TEST_F(ApplicationStateManagerTest, ChangesAreLoggedAndReportedOnceAndRepeatsAreSilent) {
    manager.setState(ApplicationState::PREFLIGHT, "Client request");
    manager.setState(ApplicationState::PREFLIGHT, "");
    manager.setState(ApplicationState::ACTIVE, "");
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[INFO ] [ApplicationStateManager] State: IDLE -> PREFLIGHT (Client request)",
                               "[INFO ] [ApplicationStateManager] State: PREFLIGHT -> ACTIVE",
                           }));
    using State = ApplicationState;
    EXPECT_EQ(changes, (std::vector<StateChange>{{State::IDLE, State::PREFLIGHT, "Client request"},
                                                 {State::PREFLIGHT, State::ACTIVE, ""}}));
}

TEST_F(ApplicationStateManagerTest, MessageEverySecondWithTheGroupsFedSincePreflightWasEntered) {
    manager.updateTitle("Idle title");
    manager.setState(ApplicationState::PREFLIGHT);
    clock.advance(1500ms);
    EXPECT_EQ(manager.buildPreflightMessage(pool), nullptr) << "nothing fed yet; feeds in IDLE are ignored";

    const std::int64_t fedAt = toUnixTicks100ns(clock.systemNow());
    manager.updateTitle("Cessna 172 Skyhawk");
    auto message = manager.buildPreflightMessage(pool);
    ASSERT_NE(message, nullptr) << "the interval has passed already; an empty round does not restart it";
    EXPECT_EQ(message->dump(),
              R"({"timestamp":)" + std::to_string(fedAt) + R"(,"title":"Cessna 172 Skyhawk","type":"preflight_data"})");
    clock.advance(999ms);
    EXPECT_EQ(manager.buildPreflightMessage(pool), nullptr);
    clock.advance(1ms);
    message = manager.buildPreflightMessage(pool);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->at("title"), "Cessna 172 Skyhawk") << "groups stay in every later message";
    EXPECT_EQ(message->at("timestamp"), fedAt);

    manager.setState(ApplicationState::ACTIVE);
    manager.updateTitle("Active title");
    EXPECT_EQ(buildAfterInterval(), nullptr) << "no message outside PREFLIGHT";
    manager.setState(ApplicationState::PREFLIGHT);
    EXPECT_EQ(buildAfterInterval(), nullptr) << "entering PREFLIGHT again empties the groups";
    manager.updateFlight(flightAt(1.0, 2.0));
    message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_FALSE(message->contains("title")) << "the title was not fed since PREFLIGHT was entered";
}

TEST_F(ApplicationStateManagerTest, FeedsAreRoundedHalvesAwayFromZeroAndTheParkingBrakeFolded) {
    manager.setState(ApplicationState::PREFLIGHT);
    FlightData flight = flightAt(47.1234567, -122.30000049);
    flight.groundSpeedGps = 12.25;
    flight.fuelVolume = 100.04;
    flight.fuelWeight = 1234.5;
    manager.updateFlight(flight);
    SystemsData systems{};
    systems.engine1Running = 1.0;
    systems.engine3Running = 0.7;
    systems.engine4Running = 0.5;
    manager.updateSystems(systems);
    EquipmentData equipment{};
    equipment.parkingBrakePosition = 50.0;  // percentage scale
    manager.updateEquipment(equipment);
    const std::string fedAt = std::to_string(toUnixTicks100ns(clock.systemNow()));
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->dump(), R"({"engine1Running":true,"engine2Running":false,"engine3Running":true,)"
                               R"("engine4Running":false,"fuelVolume":100.0,"fuelWeight":1235.0,)"
                               R"("groundSpeedGps":12.3,"latitude":47.123457,"longitude":-122.3,)"
                               R"("parkingBrake":true,"simOnGround":false,"timestamp":)" +
                                   fedAt + R"(,"type":"preflight_data"})");
}

TEST_F(ApplicationStateManagerTest, MessageIsAValidObjectWhateverThePoolOrTheTitleHoldsOut) {
    auto recycled = pool.AcquireJson();
    *recycled = Json::array({1, 2});
    pool.ReleaseJson(std::move(recycled));  // comes back as an empty array

    manager.setState(ApplicationState::PREFLIGHT);
    manager.updateTitle(static_cast<const char*>(nullptr));
    EXPECT_EQ(buildAfterInterval(), nullptr) << "a null title is no title";
    AircraftInfo info{};
    std::memcpy(info.title, "Boeing \xff\xc3 737 \xed\xa0\x80 \xc3\xa9", 20);
    manager.updateTitle(info.title);
    auto message = buildAfterInterval();
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->is_object());
    EXPECT_EQ(pool.idleDocuments(), 0u) << "the document came from the pool";
    EXPECT_EQ(message->at("title"),
              "Boeing \xEF\xBF\xBD\xEF\xBF\xBD 737 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xc3\xa9");
    EXPECT_NO_THROW((void)message->dump());
}

// The runtime installs one of each as the process-wide instance; one that is
// destroyed while installed must not leave a dangling pointer behind.
TEST(SupervisionInstances, DestroyingAnInstalledInstanceUninstallsIt) {
    test::CapturedLog log;
    {
        ApplicationStateManager manager(Clock::real(), log.logger());
        ApplicationStateManager::setInstance(&manager);
        HeartbeatMonitor heartbeat(Clock::real(), log.logger());
        HeartbeatMonitor::setInstance(&heartbeat);
        ProcessMonitor processes({"X-Plane.exe"}, 5, [] { return std::vector<platform::ProcessEntry>{}; });
        ProcessMonitor::setInstance(&processes);
        { ApplicationStateManager other(Clock::real(), log.logger()); }
        EXPECT_EQ(ApplicationStateManager::instance(), &manager) << "another instance leaves it alone";
    }
    EXPECT_EQ(ApplicationStateManager::instance(), nullptr);
    EXPECT_EQ(HeartbeatMonitor::instance(), nullptr);
    EXPECT_EQ(ProcessMonitor::instance(), nullptr);
}

// Commands change the state on the server's thread while the main loop feeds
// the snapshot and builds messages.
TEST_F(ApplicationStateManagerTest, ConcurrentCallersSeeEveryChangeExactlyOnce) {
    std::atomic<int> callbacks{0};
    manager.setStateChangeCallback([&](ApplicationState from, ApplicationState to, const std::string&) {
        EXPECT_NE(from, to);
        callbacks.fetch_add(1);
    });
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            const ApplicationState cycle[] = {ApplicationState::PREFLIGHT, ApplicationState::ACTIVE,
                                              ApplicationState::PREFLIGHT, ApplicationState::IDLE};
            for (int i = 0; i < 2000; ++i) manager.setState(cycle[i % 4], "round");
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
        if (auto message = manager.buildPreflightMessage(pool)) pool.ReleaseJson(std::move(message));
    }
    for (std::thread& thread : threads) thread.join();

    const auto lines = log.lines();
    EXPECT_EQ(static_cast<int>(lines.size()), callbacks.load()) << "one log line per reported change";
    EXPECT_GT(callbacks.load(), 0);
}

}  // namespace
}  // namespace navorel
