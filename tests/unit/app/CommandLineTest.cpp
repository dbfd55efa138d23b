#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"

// The exact help text, banner and exit code are checked against the real
// binary (natively and under Wine) by the end-to-end command-line tests.

namespace navorel {
namespace {

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

TEST(CommandLine, PortValuesAreReadLikeTheStandardConversionAndBadOnesKeepThePreviousPort) {
    struct Case {
        const char* value;
        int port;  // 0: refused, 9100 kept
    };
    const Case cases[] = {
        {"1024", 1024}, {"65535", 65535}, {"  9000", 9000}, {"+9000", 9000}, {"9000abc", 9000},
        {"9000.5", 9000}, {"09000", 9000},  // base 10, not octal
        {"80", 0}, {"1023", 0}, {"65536", 0}, {"-9000", 0}, {"0x2328", 0},  // reads as 0
        {"abc", 0}, {"", 0}, {" ", 0}, {"-", 0}, {"99999999999", 0}, {"2147483648", 0}, {"-2147483649", 0},
    };
    for (const Case& c : cases) {
        const Parsed p = parse({"--port", "9100", "--port", c.value});
        EXPECT_EQ(p.err, c.port == 0 ? kPortError : "") << '"' << c.value << '"';
        EXPECT_EQ(p.options.port, c.port == 0 ? 9100 : c.port) << '"' << c.value << '"';
    }
    EXPECT_EQ(parse({"--port", "80"}).options.port, 8380);
}

TEST(CommandLine, ValuesAreConsumedEvenWhenTheyLookLikeOptionsButALastOptionHasNone) {
    Parsed p = parse({"--port", "--verbose", "--xplane-root", "--help", "--allow-origin", "--msfs"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_FALSE(p.options.verbose);
    EXPECT_EQ(p.options.xplaneRoot, "--help");
    EXPECT_EQ(p.options.allowedOrigins, std::vector<std::string>{"--msfs"});
    EXPECT_EQ(mode(p.options), Mode::Automatic);

    for (const char* name : {"--port", "--xplane-root", "--allow-origin"}) {
        p = parse({"--verbose", name});
        EXPECT_EQ(p.err, unknownOption(name));
        EXPECT_TRUE(p.options.verbose);
        EXPECT_EQ(p.options.port, 8380);
        EXPECT_EQ(p.options.xplaneRoot, "");
        EXPECT_TRUE(p.options.allowedOrigins.empty());
    }
}

TEST(CommandLine, TheLastSimulatorSelectionWinsAndValueOptionsCollect) {
    const std::pair<std::vector<std::string>, Mode> cases[] = {
        {{}, Mode::Automatic}, {{"--xplane-plugin"}, Mode::XPlaneOnly}, {{"--xplane", "--msfs"}, Mode::MsfsOnly},
        {{"--msfs", "--auto"}, Mode::Automatic},
        {{"--msfs", "--xplane-probe"}, Mode::MsfsOnly},  // the probe leaves the selection alone
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(mode(parse(args).options), expected) << ::testing::PrintToString(args);
    }
    const Parsed p = parse({"--xplane-root", "C:\\X-Plane 12", "--allow-origin", "https://a.example",
                            "--allow-origin", "https://b.example", "--xplane-root", "/opt/X Plane"});
    EXPECT_EQ(p.options.xplaneRoot, "/opt/X Plane");
    EXPECT_EQ(p.options.allowedOrigins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
}

TEST(CommandLine, UnknownOptionsWarnWordsWithoutADashAreIgnoredAndHelpStops) {
    // Names are matched whole and case-sensitively.
    Parsed p = parse({"--XPLANE", "-V", "--port=9000", "--", "xplane", "HELP", "-x", "--xplane", "--port", "9000"});
    EXPECT_EQ(p.err, unknownOption("--XPLANE") + unknownOption("-V") + unknownOption("--port=9000") +
                         unknownOption("--") + unknownOption("-x"));
    EXPECT_EQ(mode(p.options), Mode::XPlaneOnly);
    EXPECT_EQ(p.options.port, 9000);

    std::ostringstream help;
    printHelp(help);
    p = parse({"--port", "80", "-h", "--bogus"});
    EXPECT_EQ(p.outcome, ParseOutcome::ShowedHelp);
    EXPECT_EQ(p.out, help.str());
    EXPECT_EQ(p.err, kPortError);  // what came before the help still shows
}

}  // namespace
}  // namespace navorel
