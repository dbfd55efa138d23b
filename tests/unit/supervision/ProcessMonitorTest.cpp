#include <gtest/gtest.h>

#include <stdexcept>

#include "supervision/ProcessMonitor.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;
using platform::ProcessEntry;

// A process list the test sets at will; nullopt is a failed snapshot.
class ProcessMonitorTest : public ::testing::Test {
protected:
    ProcessMonitorTest() {
        monitor.setStateCallback([this](ProcessState state, const std::string& reason) {
            events.push_back(processStateName(state) + (": " + reason));
        });
    }
    void scanWith(std::optional<std::vector<ProcessEntry>> list) {
        processes = std::move(list);
        clock.advance(5s);
        monitor.poll();
    }
    std::optional<std::vector<ProcessEntry>> snapshot() {
        ++scans;
        if (snapshotThrows) throw std::runtime_error("proc unavailable");
        return processes;
    }

    test::ManualClock clock;
    test::CapturedLog log;
    std::optional<std::vector<ProcessEntry>> processes;
    bool snapshotThrows = false;
    int scans = 0;
    std::vector<std::string> events;
    ProcessMonitor monitor{{"X-Plane.exe", "FlightSimulator.exe"}, 5, [&] { return snapshot(); }, clock, log.logger()};
};

TEST_F(ProcessMonitorTest, ScansOncePerIntervalFromTheFirstIntervalOnAndNotWhileStopped) {
    monitor.start();
    EXPECT_EQ(scans, 0) << "the poll inside start() comes too early";
    for (int i = 0; i < 120; ++i) {
        clock.advance(100ms);
        monitor.poll();
    }
    EXPECT_EQ(scans, 2) << "12 s of polling every 100 ms";
    monitor.stop();
    scanWith({});
    EXPECT_EQ(scans, 2);
    monitor.start();
    EXPECT_EQ(scans, 3) << "starting after a whole interval scans at once";
}

TEST_F(ProcessMonitorTest, MatchesWholeNamesWithoutRegardToAsciiCaseAndTheFirstInTheListWins) {
    const std::pair<const char*, bool> names[] = {{"X-Plane.exe.bak", false}, {"X-Plane.exe2", false},
                                                  {"My X-Plane.exe", false},  {"x-plane.ex", false},
                                                  {"X-PLANE.EXE", true},      {"x-PlAnE.eXe", true}};
    monitor.start();
    for (const auto& [name, watched] : names) {
        scanWith({{{1, name}, {2, "flightsimulator.EXE"}}});
        EXPECT_EQ(monitor.getDetectedProcess(), watched ? name : "flightsimulator.EXE") << "as the list spells it";
        scanWith(std::vector<ProcessEntry>{});
    }
}

TEST_F(ProcessMonitorTest, OnlyAStartOrAnEndBetweenScansIsAnEventAndAFailedSnapshotIsAnEnd) {
    monitor.start();
    scanWith({{{1, "X-Plane.exe"}}});
    scanWith({{{9, "X-Plane.exe"}}});          // exited and restarted between two scans
    scanWith({{{2, "FlightSimulator.exe"}}});  // replaced in one scan by another simulator
    scanWith(std::vector<ProcessEntry>{});
    EXPECT_EQ(monitor.getDetectedProcess(), "");
    EXPECT_EQ(events, (std::vector<std::string>{"DETECTED: Process detected: X-Plane.exe",
                                                "NOT_DETECTED: Process terminated: X-Plane.exe"}));
    for (const bool throws : {false, true}) {  // a failed snapshot, then a throwing source
        scanWith({{{2, "FlightSimulator.exe"}}});
        snapshotThrows = throws;
        scanWith(std::nullopt);
        EXPECT_EQ(events.back(), "NOT_DETECTED: Process terminated: FlightSimulator.exe");
        EXPECT_EQ(log.lines().end()[-2], "[WARN ] [ProcessMonitor] Failed to create process snapshot");
    }
}

}  // namespace
}  // namespace navorel
