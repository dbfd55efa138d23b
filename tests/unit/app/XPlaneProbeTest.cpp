#include "app/XPlaneProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/UdpSocket.h"

// The three outcomes of the real binary (telemetry, none, port taken) and the
// summary's counts are checked end to end; these pin the lines per sample and
// what counts as telemetry.

namespace navorel {
namespace {

using namespace std::chrono_literals;

struct ProbeRun {
    int code = -1;
    std::vector<std::string> out;

    std::size_t count(const std::string& prefix) const {
        return std::count_if(out.begin(), out.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
};

std::uint16_t freePort() {
    platform::UdpSocket probe;
    return probe.open(0, 10ms) == platform::UdpSocket::OpenResult::OK ? probe.localPort() : 0;
}

// Runs the probe on free ports while a thread plays the plugin, sending the
// datagram every few milliseconds.
ProbeRun probeWhileSending(const std::string& datagram, std::chrono::milliseconds duration) {
    BridgeOptions options;
    options.pluginTelemetryPort = freePort();
    options.pluginControlPort = freePort();
    platform::UdpSocket plugin;
    plugin.open(0, 10ms);
    std::jthread sender([&](const std::stop_token& stop) {
        for (; !stop.stop_requested(); std::this_thread::sleep_for(5ms)) {
            plugin.sendTo(options.pluginTelemetryPort, datagram);
        }
    });
    std::ostringstream out, err;
    ProbeRun run;
    run.code = RunXPlaneProbe(options, duration, out, err);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) run.out.push_back(line);
    return run;
}

TEST(XPlaneProbeTest, TelemetryGivesAtMostFiveLinesPerKindInTheirFormats) {
    const ProbeRun run = probeWhileSending(R"({"lat":47.25,"lon":8.5,"alt_ft":1234.5678,"sim_on_ground":true,)"
                                           R"("spoilers_ratio":0.125,"ias_kt":300,"vne_kt":250})",
                                           300ms);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.count("[XPlane Plugin] flight "), 5u);
    EXPECT_EQ(run.count("[XPlane Plugin] systems "), 5u);
    EXPECT_EQ(run.count("[XPlane Plugin] alert "), 1u);  // alerts come on a change only
    EXPECT_EQ(run.out.at(1), "[XPlane Plugin] flight lat=47.25 lon=8.5 alt_ft=1234.57 ias_kt=300");
    EXPECT_EQ(run.out.at(2), "[XPlane Plugin] systems on_ground=1 on_runway=0 spoilers=12.5");
    EXPECT_EQ(run.out.at(3), "[XPlane Plugin] alert overspeed=1 stall=0 slew=0");
}

TEST(XPlaneProbeTest, SystemsAloneAreNotTelemetry) {
    const ProbeRun run = probeWhileSending(R"({"sim_on_ground":false,"lat":1,"lon":2})", 200ms);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.count("[XPlane Plugin] flight "), 0u);
    EXPECT_GT(run.count("[XPlane Plugin] systems "), 0u);
}

}  // namespace
}  // namespace navorel
