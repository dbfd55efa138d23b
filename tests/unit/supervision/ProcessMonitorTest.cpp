#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "support/CapturedLog.h"
#include "supervision/ProcessMonitor.h"
#include "support/ManualClock.h"
#include "support/StayAliveChild.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using platform::ProcessEntry;

NAVOREL_STAY_ALIVE_CHILD_TEST()

const std::vector<std::string> kAutomaticNames = {"X-Plane.exe", "X-Plane 12.exe", "X-Plane 11.exe",
                                                  "FlightSimulator.exe", "FlightSimulator2024.exe"};

struct Event {
    ProcessState state;
    std::string reason;
    bool operator==(const Event&) const = default;
};

// Processes the test starts, renames and stops at will.
class ProcessMonitorTest : public ::testing::Test {
protected:
    ProcessMonitorTest() {
        monitor.setStateCallback([this](ProcessState state, const std::string& reason) {
            events.push_back({state, reason});
        });
    }

    void run(std::vector<std::string> names) {
        processes.clear();
        std::uint32_t pid = 100;
        for (std::string& name : names) processes.push_back(ProcessEntry{pid++, std::move(name)});
    }

    // Sets the process list and moves time to the next scan.
    void scanWith(std::vector<std::string> names) {
        run(std::move(names));
        clock.advance(5s);
        monitor.poll();
    }

    test::ManualClock clock;
    test::CapturedLog log;
    std::vector<ProcessEntry> processes{{4, "System"}, {500, "explorer.exe"}};
    bool snapshotFails = false;
    bool snapshotThrows = false;
    int scans = 0;
    std::vector<Event> events;
    ProcessMonitor monitor{kAutomaticNames, 5,
                           [this]() -> std::optional<std::vector<ProcessEntry>> {
                               ++scans;
                               if (snapshotThrows) throw std::runtime_error("proc unavailable");
                               if (snapshotFails) return std::nullopt;
                               return processes;
                           },
                           clock, log.logger()};
};

TEST_F(ProcessMonitorTest, ScansAtMostOncePerIntervalAndNotBeforeTheFirstHasPassed) {
    monitor.start();
    EXPECT_EQ(scans, 0) << "the poll inside start() comes too early";
    for (int i = 0; i < 120; ++i) {
        clock.advance(100ms);
        monitor.poll();
    }
    EXPECT_EQ(scans, 2) << "12 s of polling every 100 ms";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[INFO ] [ProcessMonitor] Started monitoring processes: "
                                                    "X-Plane.exe, X-Plane 12.exe, X-Plane 11.exe, "
                                                    "FlightSimulator.exe, FlightSimulator2024.exe"});
}

TEST_F(ProcessMonitorTest, StartingLateScansAtOnceAndTheFirstWatchedProcessInTheListWins) {
    run({"FlightSimulator2024.exe", "X-Plane.exe"});
    clock.advance(5s);
    monitor.start();
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(monitor.getDetectedProcess(), "FlightSimulator2024.exe");
}

TEST_F(ProcessMonitorTest, MatchesWholeNamesInAnyCaseAndKeepsTheListsSpelling) {
    monitor.start();
    scanWith({"X-Plane.exe.bak", "X-Plane.exe2", "My X-Plane.exe", "X-Plane", "x-plane.ex"});
    EXPECT_EQ(monitor.getState(), ProcessState::NOT_DETECTED);
    EXPECT_TRUE(events.empty());

    scanWith({"explorer.exe", "X-PLANE.EXE"});
    EXPECT_EQ(monitor.getState(), ProcessState::DETECTED);
    EXPECT_EQ(monitor.getDetectedProcess(), "X-PLANE.EXE");
    EXPECT_EQ(events, (std::vector<Event>{{ProcessState::DETECTED, "Process detected: X-PLANE.EXE"}}));
    EXPECT_EQ(log.lines().back(),
              "[INFO ] [ProcessMonitor] State: NOT_DETECTED -> DETECTED (Process detected: X-PLANE.EXE)");
}

TEST_F(ProcessMonitorTest, OnlyAStartOrAnEndBetweenScansIsAnEvent) {
    monitor.start();
    scanWith({"X-Plane.exe"});
    ASSERT_EQ(events.size(), 1u);

    // Exited and restarted between two scans, under a new pid.
    processes = {{900, "X-Plane.exe"}};
    clock.advance(5s);
    monitor.poll();
    // Replaced in the same scan by another watched simulator.
    scanWith({"FlightSimulator.exe"});
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(monitor.getDetectedProcess(), "X-Plane.exe") << "the first name is kept";

    scanWith({});
    EXPECT_EQ(monitor.getState(), ProcessState::NOT_DETECTED);
    EXPECT_EQ(monitor.getDetectedProcess(), "");
    EXPECT_EQ(events.back(), (Event{ProcessState::NOT_DETECTED, "Process terminated: X-Plane.exe"}));
    EXPECT_EQ(log.lines().back(),
              "[INFO ] [ProcessMonitor] State: DETECTED -> NOT_DETECTED (Process terminated: X-Plane.exe)");
}

TEST_F(ProcessMonitorTest, FailedOrThrowingSnapshotIsWarnedAndCountsAsNoProcess) {
    monitor.start();
    scanWith({"FlightSimulator.exe"});
    snapshotFails = true;
    scanWith({"FlightSimulator.exe"});
    EXPECT_EQ(monitor.getState(), ProcessState::NOT_DETECTED);
    EXPECT_EQ(events.back(), (Event{ProcessState::NOT_DETECTED, "Process terminated: FlightSimulator.exe"}));

    snapshotThrows = true;
    scanWith({"FlightSimulator.exe"});
    EXPECT_EQ(monitor.getState(), ProcessState::NOT_DETECTED);
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[WARN ] [ProcessMonitor] Failed to create process snapshot"), 2);
}

TEST_F(ProcessMonitorTest, StoppedMonitorNeitherScansNorChanges) {
    monitor.start();
    scanWith({"X-Plane 11.exe"});
    monitor.stop();
    EXPECT_EQ(log.lines().back(), "[INFO ] [ProcessMonitor] Stopped monitoring processes");

    const int scansBefore = scans;
    scanWith({});
    EXPECT_EQ(scans, scansBefore);
    EXPECT_EQ(monitor.getState(), ProcessState::DETECTED);
    EXPECT_EQ(monitor.getDetectedProcess(), "X-Plane 11.exe");
}

TEST(ProcessMonitorLifetime, DestroyingARunningMonitorStopsIt) {
    test::ManualClock clock;
    test::CapturedLog log;
    {
        ProcessMonitor monitor({"X-Plane.exe"}, 5, [] { return std::vector<ProcessEntry>{}; }, clock, log.logger());
        monitor.start();
    }
    EXPECT_EQ(log.lines().back(), "[INFO ] [ProcessMonitor] Stopped monitoring processes");
}

// The platform's own process list, with a real child process whose name is
// watched in other capitals.
TEST(ProcessMonitorPlatform, DetectsARealProcessAndItsEnd) {
    const std::string name = "X-Plane-" + std::to_string(platform::currentProcessId()) + ".exe";
    std::string watched = name;
    for (char& c : watched) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    test::ManualClock clock;
    test::CapturedLog log;
    ProcessMonitor monitor({"FlightSimulator.exe", watched}, 5, {}, clock, log.logger());
    monitor.start();

    test::ExecutableCopy copy(name);
    auto child = copy.start("C:\\Sims\\X-Plane 12\\" + name);
    ASSERT_NE(child, nullptr);
    clock.advance(5s);
    monitor.poll();
    EXPECT_EQ(monitor.getState(), ProcessState::DETECTED);
    EXPECT_EQ(monitor.getDetectedProcess(), name);

    child->kill();
    clock.advance(5s);
    monitor.poll();
    EXPECT_EQ(monitor.getState(), ProcessState::NOT_DETECTED);
    EXPECT_EQ(log.lines().back(),
              "[INFO ] [ProcessMonitor] State: DETECTED -> NOT_DETECTED (Process terminated: " + name + ")");
}

}  // namespace
}  // namespace navorel
