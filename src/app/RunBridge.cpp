#include "app/RunBridge.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "app/CommandLine.h"
#include "log/Logger.h"
#include "platform/Console.h"
#include "platform/ShutdownSignal.h"
#include "server/WebSocketMessageHandler.h"
#include "server/WebSocketServer.h"

namespace navorel {

namespace {

constexpr auto kLoopPeriod = std::chrono::milliseconds(500);
constexpr auto kShutdownPause = std::chrono::milliseconds(500);

}  // namespace

// For now the bridge only serves its clients: server, command handler and the
// shutdown order. The simulator side joins later.
int RunBridge(int argc, char** argv) {
    platform::setConsoleUtf8();
    printBanner(std::cout);
    BridgeOptions options;
    if (parseCommandLine(argc, argv, options, std::cout, std::cerr) == ParseOutcome::ShowedHelp) return 0;
    Logger::instance().configure(options.verbose ? LogLevel::INFO : LogLevel::ERROR, LogLevel::DEBUG,
                                 "navorel_bridge.log", options.verbose, 10, 3);

    std::atomic<bool> running{true};
    platform::ShutdownSignalHandler signals(running);

    WebSocketServer server(options.port, options.allowedOrigins);
    if (!server.Start()) {
        const std::string error = server.GetLastError();
        const std::string text = "Failed to start WebSocket server: " + (error.empty() ? "Unknown error" : error);
        Logger::instance().log(LogLevel::ERROR, text);
        std::cerr << text << std::endl;
        return 1;
    }
    const std::uint16_t port = server.GetPort();
    Logger::instance().log(LogLevel::INFO, "WebSocket server started successfully on port " + std::to_string(port));
    if (port != options.port) std::cout << "WEBSOCKET_PORT_CONFLICT=" << options.port << '\n';
    std::cout << "WEBSOCKET_PORT=" << port << std::endl;

    auto handler = std::make_unique<WebSocketMessageHandler>();
    handler->SetShutdownCallback([&running] {
        Logger::instance().log(LogLevel::INFO, "Graceful shutdown requested via WebSocket");
        running.store(false);
    });
    server.SetMessageHandler(std::move(handler));

    Logger::instance().log(LogLevel::INFO, "Bridge running. Press Ctrl+C to stop.");
    while (running.load()) std::this_thread::sleep_for(kLoopPeriod);
    if (signals.signalReceived()) {
        Logger::instance().log(LogLevel::INFO, "Shutdown signal received, shutting down gracefully...");
    }

    std::cout << "\n\nShutting down..." << std::endl;
    server.SetAcceptingConnections(false);
    std::this_thread::sleep_for(kShutdownPause);
    server.Stop();
    Logger::instance().log(LogLevel::INFO, "Bridge stopped successfully");
    return 0;
}

}  // namespace navorel
