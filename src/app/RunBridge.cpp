#include "app/RunBridge.h"

#include <atomic>
#include <iostream>

#include "app/BridgeRuntime.h"
#include "app/CommandLine.h"
#include "app/XPlaneProbe.h"
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
    if (options.xplaneProbe) return RunXPlaneProbe(options);

    std::atomic<bool> running{true};
    return BridgeRuntime(options, running).run();
}

}  // namespace navorel
