#include "app/RunBridge.h"

#include <iostream>

#include "app/CommandLine.h"
#include "log/Logger.h"
#include "platform/Console.h"

namespace navorel {

int RunBridge(int argc, char** argv) {
    platform::setConsoleUtf8();
    printBanner(std::cout);
    BridgeOptions options;
    if (parseCommandLine(argc, argv, options, std::cout, std::cerr) == ParseOutcome::ShowedHelp) return 0;
    Logger::instance().configure(options.verbose ? LogLevel::INFO : LogLevel::ERROR, LogLevel::DEBUG,
                                 "navorel_bridge.log", options.verbose, 10, 3);
    return 0;
}

}  // namespace navorel
