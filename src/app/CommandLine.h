#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace navorel {

inline constexpr const char* kBridgeName = "Navorel Bridge";
inline constexpr const char* kBridgeVersion = "1.0.0";
inline constexpr std::uint16_t kDefaultPort = 8380;

// The parsed command line: filled once at start-up, read-only afterwards.
struct BridgeOptions {
    std::uint16_t port = kDefaultPort;
    bool verbose = false;
    bool xplaneProbe = false;
    bool forceXPlane = false;
    bool autoDetect = true;
    std::string xplaneRoot;
    std::uint16_t pluginTelemetryPort = 49005;
    std::uint16_t pluginControlPort = 49006;
    // Exact browser origins accepted besides the local ones.
    std::vector<std::string> allowedOrigins;
};

enum class ParseOutcome { Run, ShowedHelp };

// Parses argv into options. Errors and warnings go to err; the help text goes
// to out and yields ShowedHelp, after which the program exits with code 0.
ParseOutcome parseCommandLine(int argc, const char* const* argv, BridgeOptions& options,
                              std::ostream& out, std::ostream& err);

void printBanner(std::ostream& out);
void printHelp(std::ostream& out);

}  // namespace navorel
