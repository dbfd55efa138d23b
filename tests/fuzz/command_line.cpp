// Command lines: the input split at NUL bytes into arguments (argv[0] is the
// program). Parsing never ends the process; the options hold valid values.

#include <sstream>
#include <vector>

#include "FuzzSupport.h"
#include "app/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"NavorelBridge"};
    std::string_view rest = navorel::fuzz::asText(data, size);
    while (!rest.empty() && arguments.size() < 64) {
        const std::size_t end = rest.find('\0');
        arguments.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
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
    FUZZ_CHECK(!options.forceXPlane || !options.autoDetect);
    FUZZ_CHECK(options.allowedOrigins.size() < arguments.size());
    return 0;
}
