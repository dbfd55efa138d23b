#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace navorel {
namespace {

const char* const kHelpText =
    "Navorel Bridge 1.0.0 - Lightweight flight data relay\n"
    "\n"
    "Usage: NavorelBridge [options]\n"
    "\n"
    "Options:\n"
    "  --port <port>        WebSocket server port (default: 8380)\n"
    "  --verbose, -v        Enable console output and file logging (for debugging)\n"
    "  --xplane             Force X-Plane data via Navorel plugin\n"
    "  --xplane-plugin      Alias for --xplane\n"
    "  --msfs               Force Microsoft Flight Simulator (SimConnect)\n"
    "  --auto               Auto-detect simulator (default)\n"
    "  --xplane-probe       Probe X-Plane plugin telemetry for 10 seconds\n"
    "  --xplane-root <path> Set X-Plane install root for apt.dat runway lookups\n"
    "  --allow-origin <url> Also accept browser clients from this origin\n"
    "  --help, -h           Show this help message\n"
    "\n"
    "Security: Bridge only accepts connections from localhost (127.0.0.1)\n"
    "Logging: --verbose creates navorel_bridge.log in the executable directory\n";

const std::string kPortError = "Error: Port must be between 1024-65535\n";

std::string unknownOption(const std::string& arg) {
    return "Warning: Unknown option '" + arg + "' (use --help for options)\n";
}

struct Parsed {
    BridgeOptions options;
    ParseOutcome outcome;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "NavorelBridge");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed;
    parsed.outcome = parseCommandLine(static_cast<int>(args.size()), argv.data(), parsed.options, out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

enum class Mode { Automatic, XPlaneOnly, MsfsOnly, Invalid };

Mode mode(const BridgeOptions& options) {
    if (!options.forceXPlane && options.autoDetect) return Mode::Automatic;
    if (options.forceXPlane && !options.autoDetect) return Mode::XPlaneOnly;
    if (!options.forceXPlane && !options.autoDetect) return Mode::MsfsOnly;
    return Mode::Invalid;
}

TEST(CommandLine, NoArgumentsKeepTheDefaults) {
    const Parsed p = parse({});
    EXPECT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.port, 8380);
    EXPECT_FALSE(p.options.verbose);
    EXPECT_FALSE(p.options.xplaneProbe);
    EXPECT_EQ(mode(p.options), Mode::Automatic);
    EXPECT_EQ(p.options.xplaneRoot, "");
    EXPECT_EQ(p.options.pluginTelemetryPort, 49005);
    EXPECT_EQ(p.options.pluginControlPort, 49006);
    EXPECT_TRUE(p.options.allowedOrigins.empty());
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
}

TEST(CommandLine, PortOutsideTheRangeIsRejectedAndThePreviousValueKept) {
    Parsed p = parse({"--port", "80"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_EQ(p.options.port, 8380);

    p = parse({"--port", "9000", "--port", "70000"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_EQ(p.options.port, 9000);

    p = parse({"--port", "9000", "--port", "9001"});
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.options.port, 9001);
}

TEST(CommandLine, PortBoundsAreInclusive) {
    EXPECT_EQ(parse({"--port", "1024"}).options.port, 1024);
    EXPECT_EQ(parse({"--port", "65535"}).options.port, 65535);
    EXPECT_EQ(parse({"--port", "1023"}).err, kPortError);
    EXPECT_EQ(parse({"--port", "65536"}).err, kPortError);
    EXPECT_EQ(parse({"--port", "-9000"}).err, kPortError);
}

TEST(CommandLine, PortIsReadLikeTheStandardConversion) {
    // Leading blanks and a sign are accepted, trailing text is ignored.
    EXPECT_EQ(parse({"--port", "  9000"}).options.port, 9000);
    EXPECT_EQ(parse({"--port", "+9000"}).options.port, 9000);
    EXPECT_EQ(parse({"--port", "9000abc"}).options.port, 9000);
    EXPECT_EQ(parse({"--port", "9000.5"}).options.port, 9000);
    EXPECT_EQ(parse({"--port", "09000"}).options.port, 9000);  // base 10, not octal
    EXPECT_EQ(parse({"--port", "0x2328"}).err, kPortError);     // reads as 0
}

TEST(CommandLine, UnreadablePortCountsAsOutOfRange) {
    for (const char* value : {"abc", "", " ", "-", "99999999999", "2147483648", "-2147483649"}) {
        const Parsed p = parse({"--port", "9100", "--port", value});
        EXPECT_EQ(p.err, kPortError) << '"' << value << '"';
        EXPECT_EQ(p.options.port, 9100) << '"' << value << '"';
    }
}

TEST(CommandLine, ValuesAreConsumedEvenWhenTheyLookLikeOptions) {
    Parsed p = parse({"--port", "--verbose"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_FALSE(p.options.verbose);

    p = parse({"--xplane-root", "--help"});
    EXPECT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.xplaneRoot, "--help");
    EXPECT_EQ(p.out, "");

    p = parse({"--allow-origin", "--msfs"});
    EXPECT_EQ(mode(p.options), Mode::Automatic);
    EXPECT_EQ(p.options.allowedOrigins, std::vector<std::string>{"--msfs"});
}

TEST(CommandLine, OptionWithoutItsValueIsAnUnknownOption) {
    for (const char* name : {"--port", "--xplane-root", "--allow-origin"}) {
        const Parsed p = parse({"--verbose", name});
        EXPECT_EQ(p.err, unknownOption(name));
        EXPECT_TRUE(p.options.verbose);
        EXPECT_EQ(p.options.port, 8380);
        EXPECT_EQ(p.options.xplaneRoot, "");
        EXPECT_TRUE(p.options.allowedOrigins.empty());
    }
}

TEST(CommandLine, LastSimulatorSelectionWins) {
    EXPECT_EQ(mode(parse({"--xplane"}).options), Mode::XPlaneOnly);
    EXPECT_EQ(mode(parse({"--xplane-plugin"}).options), Mode::XPlaneOnly);
    EXPECT_EQ(mode(parse({"--msfs"}).options), Mode::MsfsOnly);
    EXPECT_EQ(mode(parse({"--xplane", "--msfs"}).options), Mode::MsfsOnly);
    EXPECT_EQ(mode(parse({"--msfs", "--auto"}).options), Mode::Automatic);
    EXPECT_EQ(mode(parse({"--auto", "--xplane-plugin"}).options), Mode::XPlaneOnly);

    // The probe leaves the selection alone.
    Parsed p = parse({"--msfs", "--xplane-probe"});
    EXPECT_TRUE(p.options.xplaneProbe);
    EXPECT_EQ(mode(p.options), Mode::MsfsOnly);
}

TEST(CommandLine, FlagsAndValues) {
    EXPECT_TRUE(parse({"--verbose"}).options.verbose);
    EXPECT_TRUE(parse({"-v"}).options.verbose);

    const Parsed p = parse({"--xplane-root", "C:\\X-Plane 12\\Custom Scenery", "--allow-origin",
                            "https://a.example", "--allow-origin", "https://b.example", "--xplane-root",
                            "/opt/X Plane"});
    EXPECT_EQ(p.options.xplaneRoot, "/opt/X Plane");
    EXPECT_EQ(p.options.allowedOrigins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
    EXPECT_EQ(p.err, "");
}

TEST(CommandLine, NamesAreMatchedWholeAndCaseSensitively) {
    for (const char* arg : {"--XPLANE", "--Verbose", "-V", "-H", "--port=9000", "--verb", "-", "--"}) {
        const Parsed p = parse({arg});
        EXPECT_EQ(p.err, unknownOption(arg)) << arg;
        EXPECT_EQ(p.outcome, ParseOutcome::Run);
        EXPECT_EQ(mode(p.options), Mode::Automatic);
        EXPECT_FALSE(p.options.verbose);
        EXPECT_EQ(p.options.port, 8380);
    }
}

TEST(CommandLine, UnknownOptionsWarnAndParsingGoesOn) {
    const Parsed p = parse({"--bogus", "--xplane", "-x", "--port", "9000"});
    EXPECT_EQ(p.err, unknownOption("--bogus") + unknownOption("-x"));
    EXPECT_EQ(mode(p.options), Mode::XPlaneOnly);
    EXPECT_EQ(p.options.port, 9000);
}

TEST(CommandLine, ArgumentsWithoutADashAreIgnoredSilently) {
    const Parsed p = parse({"xplane", "9000", "", "HELP", "--msfs"});
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.options.port, 8380);
    EXPECT_EQ(mode(p.options), Mode::MsfsOnly);
}

TEST(CommandLine, HelpPrintsTheHelpTextAndStopsParsing) {
    for (const char* name : {"--help", "-h"}) {
        const Parsed p = parse({"--verbose", name, "--bogus", "--port", "80"});
        EXPECT_EQ(p.outcome, ParseOutcome::ShowedHelp);
        EXPECT_EQ(p.out, kHelpText);
        EXPECT_EQ(p.err, "");
        EXPECT_TRUE(p.options.verbose);
    }
    // Errors met before the help still show.
    const Parsed p = parse({"--port", "80", "--help"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_EQ(p.out, kHelpText);
}

TEST(CommandLine, BannerAndHelpText) {
    std::ostringstream banner;
    printBanner(banner);
    EXPECT_EQ(banner.str(), "Navorel Bridge 1.0.0 - Lightweight flight data relay\n");

    std::ostringstream help;
    printHelp(help);
    EXPECT_EQ(help.str(), kHelpText);
}

}  // namespace
}  // namespace navorel
