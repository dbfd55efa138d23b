#include "app/CommandLine.h"

#include <ostream>
#include <stdexcept>
#include <string_view>

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

enum class Next { Continue, ShowHelp };

struct Option {
    std::string_view name;
    bool takesValue;
    Next (*apply)(BridgeOptions& options, const char* value, std::ostream& err);
};

// Names are matched whole and case-sensitively. An option that takes a value
// but stands last has nothing to consume and is reported as unknown.
constexpr Option kOptions[] = {
    {"--port", true,
     [](BridgeOptions& o, const char* value, std::ostream& err) {
         if (!parsePort(value, o.port)) err << "Error: Port must be between 1024-65535" << std::endl;
         return Next::Continue;
     }},
    {"--verbose", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.verbose = true;
         return Next::Continue;
     }},
    {"-v", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.verbose = true;
         return Next::Continue;
     }},
    {"--xplane-probe", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.xplaneProbe = true;
         return Next::Continue;
     }},
    {"--xplane", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.forceXPlane = true;
         o.autoDetect = false;
         return Next::Continue;
     }},
    {"--xplane-plugin", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.forceXPlane = true;
         o.autoDetect = false;
         return Next::Continue;
     }},
    {"--msfs", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.forceXPlane = false;
         o.autoDetect = false;
         return Next::Continue;
     }},
    {"--auto", false,
     [](BridgeOptions& o, const char*, std::ostream&) {
         o.forceXPlane = false;
         o.autoDetect = true;
         return Next::Continue;
     }},
    {"--xplane-root", true,
     [](BridgeOptions& o, const char* value, std::ostream&) {
         o.xplaneRoot = value;
         return Next::Continue;
     }},
    {"--allow-origin", true,
     [](BridgeOptions& o, const char* value, std::ostream&) {
         o.allowedOrigins.emplace_back(value);
         return Next::Continue;
     }},
    {"--help", false, [](BridgeOptions&, const char*, std::ostream&) { return Next::ShowHelp; }},
    {"-h", false, [](BridgeOptions&, const char*, std::ostream&) { return Next::ShowHelp; }},
};

const Option* findOption(std::string_view arg) {
    for (const Option& option : kOptions) {
        if (option.name == arg) return &option;
    }
    return nullptr;
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
        const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        const Option* option = findOption(arg);
        if (option != nullptr && (!option->takesValue || i + 1 < argc)) {
            const char* value = option->takesValue ? argv[++i] : "";
            if (value == nullptr) value = "";
            if (option->apply(options, value, err) == Next::ShowHelp) {
                printHelp(out);
                return ParseOutcome::ShowedHelp;
            }
        } else if (!arg.empty() && arg.front() == '-') {
            err << "Warning: Unknown option '" << arg << "' (use --help for options)" << std::endl;
        }
    }
    return ParseOutcome::Run;
}

}  // namespace navorel
