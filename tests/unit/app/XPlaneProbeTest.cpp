#include "app/XPlaneProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/UdpSocket.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::size_t countStartingWith(const std::vector<std::string>& all, const std::string& prefix) {
    std::size_t count = 0;
    for (const auto& line : all) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

std::uint16_t freePort() {
    platform::UdpSocket probe;
    if (probe.open(0, 10ms) != platform::UdpSocket::OpenResult::OK) return 0;
    return probe.localPort();
}

struct ProbeRun {
    int code = -1;
    std::vector<std::string> out;
    std::string err;
};

// Runs the probe on free ports while a thread plays the plugin, sending the
// datagram every few milliseconds.
ProbeRun probeWhileSending(const std::string& datagram, std::chrono::milliseconds duration) {
    BridgeOptions options;
    options.pluginTelemetryPort = freePort();
    options.pluginControlPort = freePort();
    platform::UdpSocket plugin;
    plugin.open(0, 10ms);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) {
            plugin.sendTo(options.pluginTelemetryPort, datagram);
            std::this_thread::sleep_for(5ms);
        }
    });
    std::ostringstream out;
    std::ostringstream err;
    ProbeRun run;
    run.code = RunXPlaneProbe(options, duration, out, err);
    stop = true;
    sender.join();
    run.out = lines(out.str());
    run.err = err.str();
    EXPECT_EQ(run.out.at(0), "[XPlane Plugin] Connecting UDP telemetry on port " +
                                 std::to_string(options.pluginTelemetryPort) + "...");
    return run;
}

// The three outcomes of the real binary (telemetry, none, port taken) are
// checked end to end; these pin the line formats and the counting rules.
TEST(XPlaneProbeTest, TelemetryGivesAtMostFiveLinesPerKindAndTheFullCount) {
    const ProbeRun run = probeWhileSending(R"({"lat":47.25,"lon":8.5,"alt_ft":1234.5678,"sim_on_ground":true,)"
                                           R"("spoilers_ratio":0.125,"ias_kt":300,"vne_kt":250})",
                                           300ms);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(countStartingWith(run.out, "[XPlane Plugin] flight "), 5u);
    EXPECT_EQ(countStartingWith(run.out, "[XPlane Plugin] systems "), 5u);
    // Alerts go out on change only: one.
    EXPECT_EQ(countStartingWith(run.out, "[XPlane Plugin] alert "), 1u);
    EXPECT_EQ(run.out[1], "[XPlane Plugin] flight lat=47.25 lon=8.5 alt_ft=1234.57 ias_kt=300");
    EXPECT_EQ(run.out[2], "[XPlane Plugin] systems on_ground=1 on_runway=0 spoilers=12.5");
    EXPECT_EQ(run.out[3], "[XPlane Plugin] alert overspeed=1 stall=0 slew=0");

    std::smatch match;
    const std::regex summary(R"(\[XPlane Plugin\] Samples received in 0\.3s: flight=(\d+), systems=(\d+), alert=1)");
    ASSERT_TRUE(std::regex_match(run.out.back(), match, summary)) << run.out.back();
    EXPECT_GT(std::stoi(match[1]), 5);
    EXPECT_EQ(match[1], match[2]);
}

TEST(XPlaneProbeTest, SystemsAloneAreNotTelemetry) {
    const ProbeRun run = probeWhileSending(R"({"sim_on_ground":false,"lat":1,"lon":2})", 200ms);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(countStartingWith(run.out, "[XPlane Plugin] flight "), 0u);
    EXPECT_GT(countStartingWith(run.out, "[XPlane Plugin] systems "), 0u);
    EXPECT_EQ(run.err, "[XPlane Plugin] No telemetry received. Verify plugin is loaded and ports match.\n");
}

}  // namespace
}  // namespace navorel
