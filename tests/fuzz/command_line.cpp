// Command lines: the input split at NUL bytes into arguments (argv[0] is the
// program). Parsing never ends the process; the options hold valid values.

#include <sstream>

#include "FuzzSupport.h"
#include "app/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"NavorelBridge"};
    for (std::string_view argument : navorel::fuzz::splitAtNul(navorel::fuzz::asText(data, size), 63)) {
        arguments.emplace_back(argument);
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    navorel::BridgeOptions options;
    std::ostringstream out;
    std::ostringstream err;
    navorel::ParseOutcome outcome{};
    try {
        outcome = navorel::parseCommandLine(static_cast<int>(arguments.size()), argv.data(), options, out, err);
    } catch (...) {
        FUZZ_CHECK(!"parseCommandLine threw");
    }
    // Help is printed exactly when it is the outcome.
    FUZZ_CHECK((outcome == navorel::ParseOutcome::ShowedHelp) == !out.str().empty());
    FUZZ_CHECK(options.port == navorel::kDefaultPort || options.port >= 1024);
    return 0;
}
