// X-Plane plugin datagrams through the provider as the main loop runs it, with
// receivers that build and serialise every outbound message. Input: a mode
// byte (idle, preflight, active), then datagrams separated by NUL bytes, 100 ms
// apart. An apt.dat with one runway lets the on-runway rule run too.

#include <filesystem>
#include <fstream>
#include <random>

#include "FuzzSupport.h"
#include "OutboundChecks.h"
#include "xplane/XPlanePluginProvider.h"

namespace {

namespace fs = std::filesystem;

// An install root of its own, with one runway, removed at exit.
const struct XPlaneRoot {
    fs::path path = fs::temp_directory_path() / ("navorel-fuzz-xplane-" + std::to_string(std::random_device{}()));
    XPlaneRoot() {
        const fs::path dir = path / "Custom Scenery" / "Global Airports" / "Earth nav data";
        fs::create_directories(dir);
        std::ofstream(dir / "apt.dat") << "I\n1100 Version\n\n1     13 1 0 KSFO San Francisco Intl\n"
            "100 60.96 1 1 0.25 1 3 0 10L 37.62872250 -122.39342127 0 0 2 0 0 1 28R 37.61351918 -122.35716907 0 0 3 2 1 0\n"
            "99\n";
    }
    ~XPlaneRoot() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
} g_root;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    navorel::fuzz::ManualClock clock;
    navorel::XPlanePluginProvider provider(clock);
    provider.setXPlaneRoot(g_root.path.string());
    navorel::fuzz::OutboundChecks outbound(provider, clock, true);
    switch (data[0] % 3) {
        case 0: provider.setIdleMode(); break;
        case 1: provider.setPreflightMode(); break;
        default: provider.setActiveMode(); break;
    }
    for (std::string_view datagram : navorel::fuzz::splitAtNul(navorel::fuzz::asText(data + 1, size - 1), size)) {
        provider.acceptDatagram(datagram);
        provider.processMessages();
        clock.elapsed += std::chrono::milliseconds(100);
    }
    return 0;
}
