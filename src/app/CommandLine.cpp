#include "app/CommandLine.h"

#include <ostream>
#include <stdexcept>

namespace navorel {

namespace {

// Reads the value as std::stoi does; a value it cannot read counts as out of range.
bool parsePort(const std::string& text, std::uint16_t& port) {
    int value = 0;
    try {
        value = std::stoi(text);
    } catch (const std::exception&) {
        return false;
    }
    if (value < 1024 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

void printBanner(std::ostream& out) {
    out << kBridgeName << ' ' << kBridgeVersion << " - Lightweight flight data relay" << std::endl;
}

void printHelp(std::ostream& out) {
    out << kBridgeName << ' ' << kBridgeVersion << " - Lightweight flight data relay\n"
        << "\n"
        << "Usage: NavorelBridge [options]\n"
        << "\n"
        << "Options:\n"
        << "  --port <port>        WebSocket server port (default: " << kDefaultPort << ")\n"
        << "  --verbose, -v        Enable console output and file logging (for debugging)\n"
        << "  --xplane             Force X-Plane data via Navorel plugin\n"
        << "  --xplane-plugin      Alias for --xplane\n"
        << "  --msfs               Force Microsoft Flight Simulator (SimConnect)\n"
        << "  --auto               Auto-detect simulator (default)\n"
        << "  --xplane-probe       Probe X-Plane plugin telemetry for 10 seconds\n"
        << "  --xplane-root <path> Set X-Plane install root for apt.dat runway lookups\n"
        << "  --allow-origin <url> Also accept browser clients from this origin\n"
        << "  --help, -h           Show this help message\n"
        << "\n"
        << "Security: Bridge only accepts connections from localhost (127.0.0.1)\n"
        << "Logging: --verbose creates navorel_bridge.log in the executable directory\n";
    out.flush();
}

ParseOutcome parseCommandLine(int argc, const char* const* argv, BridgeOptions& options,
                              std::ostream& out, std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            if (!parsePort(argv[++i], options.port)) {
                err << "Error: Port must be between 1024-65535" << std::endl;
            }
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--xplane-probe") {
            options.xplaneProbe = true;
        } else if (arg == "--xplane" || arg == "--xplane-plugin") {
            options.forceXPlane = true;
            options.autoDetect = false;
        } else if (arg == "--msfs") {
            options.forceXPlane = false;
            options.autoDetect = false;
        } else if (arg == "--auto") {
            options.forceXPlane = false;
            options.autoDetect = true;
        } else if (arg == "--xplane-root" && hasValue) {
            options.xplaneRoot = argv[++i];
        } else if (arg == "--allow-origin" && hasValue) {
            options.allowedOrigins.emplace_back(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            printHelp(out);
            return ParseOutcome::ShowedHelp;
        } else if (!arg.empty() && arg[0] == '-') {
            err << "Warning: Unknown option '" << arg << "' (use --help for options)" << std::endl;
        }
    }
    return ParseOutcome::Run;
}

}  // namespace navorel
