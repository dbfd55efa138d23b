#include "app/XPlaneProbe.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "xplane/XPlanePluginProvider.h"

namespace navorel {

namespace {

constexpr std::uint32_t kLinesPerKind = 5;
constexpr auto kPollInterval = std::chrono::milliseconds(50);

int flag(double value) { return value > 0.5 ? 1 : 0; }

// Counts one sample; true while its line is still to be printed.
bool countSample(std::atomic<std::uint32_t>& counter) { return counter.fetch_add(1) + 1 <= kLinesPerKind; }

void printLine(std::ostream& out, const std::ostringstream& line) {
    out << line.str() << '\n';
    out.flush();
}

}  // namespace

int RunXPlaneProbe(const BridgeOptions& options, std::chrono::milliseconds duration) {
    return RunXPlaneProbe(options, duration, std::cout, std::cerr);
}

int RunXPlaneProbe(const BridgeOptions& options, std::chrono::milliseconds duration, std::ostream& out,
                   std::ostream& err) {
    XPlanePluginProvider provider;
    provider.setTelemetryPort(options.pluginTelemetryPort);
    provider.setControlPort(options.pluginControlPort);
    if (!options.xplaneRoot.empty()) provider.setXPlaneRoot(options.xplaneRoot);

    // Atomic in case a provider ever calls back from a thread of its own.
    std::atomic<std::uint32_t> flightCount{0};
    std::atomic<std::uint32_t> systemsCount{0};
    std::atomic<std::uint32_t> alertCount{0};

    provider.setFlightDataCallback([&](const FlightData& data) {
        if (!countSample(flightCount)) return;
        std::ostringstream line;
        line << "[XPlane Plugin] flight lat=" << data.latitude << " lon=" << data.longitude
             << " alt_ft=" << data.altitude << " ias_kt=" << data.airspeedIndicated;
        printLine(out, line);
    });
    provider.setSystemsDataCallback([&](const SystemsData& data) {
        if (!countSample(systemsCount)) return;
        std::ostringstream line;
        line << "[XPlane Plugin] systems on_ground=" << flag(data.simOnGround)
             << " on_runway=" << flag(data.onAnyRunway) << " spoilers=" << data.spoilersHandlePosition;
        printLine(out, line);
    });
    provider.setAlertDataCallback([&](const AlertData& data) {
        if (!countSample(alertCount)) return;
        std::ostringstream line;
        line << "[XPlane Plugin] alert overspeed=" << flag(data.overspeedWarning)
             << " stall=" << flag(data.stallWarning) << " slew=" << flag(data.isSlewActive);
        printLine(out, line);
    });

    out << "[XPlane Plugin] Connecting UDP telemetry on port " << options.pluginTelemetryPort << "..." << '\n';
    out.flush();
    if (!provider.connect()) {
        err << "[XPlane Plugin] Connect failed: " << provider.getLastError() << '\n';
        err.flush();
        return 1;
    }
    provider.setPreflightMode();

    const auto start = SteadyClock::now();
    for (auto now = start; now - start < duration; now = SteadyClock::now()) {
        try {
            provider.processMessages();
        } catch (const std::exception&) {
            // A sample that could not be handled is simply not counted.
        }
        const auto left = duration - std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
        std::this_thread::sleep_for(std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(kPollInterval)));
    }
    provider.disconnect();

    std::ostringstream summary;
    summary << "[XPlane Plugin] Samples received in " << std::chrono::duration<double>(duration).count()
            << "s: flight=" << flightCount.load() << ", systems=" << systemsCount.load()
            << ", alert=" << alertCount.load();
    printLine(out, summary);

    if (flightCount.load() > 0) return 0;
    err << "[XPlane Plugin] No telemetry received. Verify plugin is loaded and ports match." << '\n';
    err.flush();
    return 1;
}

}  // namespace navorel
