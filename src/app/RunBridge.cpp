#include "app/RunBridge.h"

#include <atomic>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/XPlaneProbe.h"
#include "app/runtime/BridgeRuntime.h"
#include "log/Logger.h"
#include "platform/CommandLineArguments.h"
#include "platform/Console.h"

namespace navorel {

int RunBridge(int argc, char** argv) {
    platform::setConsoleUtf8();
    printBanner(std::cout);
    const std::vector<std::string> arguments = platform::utf8Arguments(argc, argv);
    std::vector<const char*> argumentPointers;
    for (const std::string& argument : arguments) argumentPointers.push_back(argument.c_str());
    BridgeOptions options;
    if (parseCommandLine(static_cast<int>(argumentPointers.size()), argumentPointers.data(), options, std::cout,
                         std::cerr) == ParseOutcome::ShowedHelp) {
        return 0;
    }
    Logger::instance().configure(options.verbose ? LogLevel::INFO : LogLevel::ERROR, LogLevel::DEBUG,
                                 "navorel_bridge.log", options.verbose, 10, 3);
    if (options.xplaneProbe) return RunXPlaneProbe(options);

    std::atomic<bool> running{true};
    try {
        return BridgeRuntime(options, running).run();
    } catch (const std::exception& e) {
        // Everything has been stopped and released on the way out.
        const std::string text = std::string("Fatal error: ") + e.what();
        logLine(LogLevel::ERROR, {}, text);
        std::cerr << text << std::endl;
        return 1;
    }
}

}  // namespace navorel
