#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"

// The help text, the banner, exit codes and a run with warnings are checked
// against the real binary (natively and under Wine) end to end.

namespace navorel {
namespace {

const std::string kPortError = "Error: Port must be between 1024-65535\n";

std::string unknownOption(const std::string& arg) {
    return std::string("Warning: Unknown option '").append(arg).append("' (use --help for options)\n");
}

struct Parsed {
    BridgeOptions options;
    ParseOutcome outcome;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "NavorelBridge");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    Parsed parsed;
    parsed.outcome = parseCommandLine(static_cast<int>(args.size()), argv.data(), parsed.options, out, err);
    parsed.err = err.str();
    return parsed;
}

// The simulator selection: whether X-Plane is forced, whether detection runs.
using Selection = std::pair<bool, bool>;
const Selection kAutomatic{false, true}, kXPlaneOnly{true, false}, kMsfsOnly{false, false};

Selection selection(const BridgeOptions& options) { return {options.forceXPlane, options.autoDetect}; }

TEST(CommandLine, PortValuesAreReadLikeTheStandardConversionAndBadOnesKeepThePreviousPort) {
    const std::pair<const char*, int> cases[] = {  // 0: refused, 9100 kept
        {"1024", 1024}, {"65535", 65535}, {"  9000", 9000}, {"+9000", 9000}, {"9000abc", 9000},
        {"9000.5", 9000}, {"09000", 9000},  // base 10, not octal
        {"80", 0}, {"1023", 0}, {"65536", 0}, {"-9000", 0}, {"0x2328", 0},  // reads as 0
        {"abc", 0}, {"", 0}, {" ", 0}, {"-", 0}, {"99999999999", 0}, {"2147483648", 0}, {"-2147483649", 0},
    };
    for (const auto& [value, port] : cases) {
        const Parsed p = parse({"--port", "9100", "--port", value});
        EXPECT_EQ(p.err, port == 0 ? kPortError : "") << '"' << value << '"';
        EXPECT_EQ(p.options.port, port == 0 ? 9100 : port) << '"' << value << '"';
    }
}

// A value option given last has none and counts as unknown (checked end to end).
TEST(CommandLine, ValueOptionsTakeTheNextWordEvenAnOptionAndRootsAndOriginsCollect) {
    Parsed p = parse({"--port", "--verbose", "--xplane-root", "--help", "--allow-origin", "--msfs"});
    EXPECT_EQ(p.err, kPortError);
    EXPECT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_FALSE(p.options.verbose);
    EXPECT_EQ(p.options.xplaneRoot, "--help");
    EXPECT_EQ(p.options.allowedOrigins, std::vector<std::string>{"--msfs"});
    EXPECT_EQ(selection(p.options), kAutomatic);
    p = parse({"--xplane-root", "C:\\X-Plane 12", "--allow-origin", "https://a.example", "--allow-origin",
               "https://b.example", "--xplane-root", "/opt/X Plane"});
    EXPECT_EQ(p.options.xplaneRoot, "/opt/X Plane");
    EXPECT_EQ(p.options.allowedOrigins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
}

TEST(CommandLine, TheLastSimulatorSelectionWinsUnknownOptionsWarnWordsAreIgnoredAndHelpStops) {
    const std::pair<std::vector<std::string>, Selection> cases[] = {
        {{}, kAutomatic}, {{"--xplane-plugin"}, kXPlaneOnly}, {{"--xplane", "--msfs"}, kMsfsOnly},
        {{"--msfs", "--auto"}, kAutomatic},
        {{"--msfs", "--xplane-probe"}, kMsfsOnly},  // the probe leaves the selection alone
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(selection(parse(args).options), expected) << ::testing::PrintToString(args);
    }
    // Names are matched whole and case-sensitively.
    Parsed p = parse({"--XPLANE", "-V", "--port=9000", "--", "xplane", "HELP", "-x", "--xplane", "--port", "9000"});
    EXPECT_EQ(p.err, unknownOption("--XPLANE") + unknownOption("-V") + unknownOption("--port=9000") +
                         unknownOption("--") + unknownOption("-x"));
    EXPECT_EQ(selection(p.options), kXPlaneOnly);
    EXPECT_EQ(p.options.port, 9000);
    p = parse({"-h", "--bogus"});
    EXPECT_EQ(p.outcome, ParseOutcome::ShowedHelp);
    EXPECT_EQ(p.err, "");  // nothing after the help is read
}

}  // namespace
}  // namespace navorel
