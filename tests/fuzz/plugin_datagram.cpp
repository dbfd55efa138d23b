// X-Plane plugin datagrams: the parser, then the provider's processing of the
// accepted samples as the main loop runs it, with receivers that build and
// serialise every outbound message. Input: a mode byte (idle, preflight,
// active), then datagrams separated by NUL bytes, 100 ms apart. The runway
// cache is filled from a small apt.dat, so the on-runway rule runs as well.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "FuzzSupport.h"
#include "OutboundChecks.h"
#include "xplane/PluginDatagram.h"
#include "xplane/XPlanePluginProvider.h"

namespace {

namespace fs = std::filesystem;

fs::path g_root;

bool finite(const std::optional<double>& value) { return !value || std::isfinite(*value); }

// What the parser promises about every sample it accepts.
void checkSample(const navorel::TelemetrySample& s) {
    for (const auto* value : {&s.lat, &s.lon, &s.altFt, &s.altIndFt, &s.altAglFt, &s.pressureAltFt, &s.iasKt,
                              &s.hdgDeg, &s.vsFpm, &s.pitchDeg, &s.bankDeg, &s.groundSpeedKt, &s.fuelMassKg,
                              &s.fuelDensityKgL, &s.autopilotMode, &s.flapsHandleRatio, &s.flapDetents,
                              &s.gearHandleDown, &s.gearDeployRatio, &s.simulationRate, &s.spoilersRatio,
                              &s.parkingBrakeRatio, &s.canopyOpen, &s.vneKt, &s.stallWarning,
                              &s.stallWarningFailure}) {
        FUZZ_CHECK(finite(*value));
    }
    FUZZ_CHECK(!s.nearestAirportIcao || !s.nearestAirportIcao->empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    navorel::fuzz::silenceGlobalLogger();
    // Two San Francisco runways, enough for the on-runway rule.
    g_root = fs::temp_directory_path() / ("navorel-fuzz-xplane-" + std::to_string(std::random_device{}()));
    const fs::path dir = g_root / "Custom Scenery" / "Global Airports" / "Earth nav data";
    fs::create_directories(dir);
    std::ofstream(dir / "apt.dat") << "I\n1100 Version\n\n"
        "1     13 1 0 KSFO San Francisco Intl\n"
        "100 60.96 1 1 0.25 1 3 0 10L 37.62872250 -122.39342127 0 0 2 0 0 1 28R 37.61351918 -122.35716907 0 0 3 2 1 0\n"
        "100 60.96 1 1 0.25 1 3 0 01R 37.60620813 -122.38101328 0 0 2 0 0 1 19L 37.62661889 -122.37055091 0 0 2 0 1 0\n"
        "1     9 1 0 KOAK Oakland Intl\n"
        "100 45.72 1 0 0.25 0 2 1 12 37.71839200 -122.22057900 0 0 3 2 1 0 30 37.70139400 -122.19817900 0 0 3 2 1 0\n"
        "99\n";
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(g_root, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    navorel::fuzz::ManualClock clock;
    navorel::XPlanePluginProvider provider(clock);
    provider.setXPlaneRoot(g_root.string());
    navorel::fuzz::OutboundChecks outbound(clock, true);
    outbound.attachTo(provider);
    switch (data[0] % 3) {
        case 0: provider.setIdleMode(); break;
        case 1: provider.setPreflightMode(); break;
        default: provider.setActiveMode(); break;
    }

    std::string_view rest = navorel::fuzz::asText(data + 1, size - 1);
    std::uint64_t accepted = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        const std::string_view datagram = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

        navorel::TelemetrySample sample;
        const bool parsed = navorel::parsePluginDatagram(datagram, sample);
        if (parsed) checkSample(sample);
        FUZZ_CHECK(!parsed || datagram.size() <= navorel::kMaxPluginDatagramBytes);

        provider.acceptDatagram(datagram);
        if (parsed) ++accepted;
        FUZZ_CHECK(provider.acceptedDatagramCount() == accepted);
        provider.processMessages();
        clock.advance(std::chrono::milliseconds(100));
    }
    FUZZ_CHECK(provider.getXPlaneVersion() >= 0);
    return 0;
}
