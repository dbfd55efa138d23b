#include "app/BridgeRuntime.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/OutboundMessages.h"
#include "app/PauseControl.h"
#include "app/ProviderPoller.h"
#include "app/RunwayRequests.h"
#include "log/Logger.h"
#include "msfs/SimConnectHandler.h"
#include "platform/ShutdownSignal.h"
#include "platform/XPlaneExecutables.h"
#include "server/JsonMessagePool.h"
#include "server/WebSocketMessageHandler.h"
#include "server/WebSocketServer.h"
#include "supervision/ApplicationStateManager.h"
#include "supervision/HeartbeatMonitor.h"
#include "supervision/ProcessMonitor.h"
#include "supervision/ReconnectionManager.h"
#include "xplane/XPlanePluginProvider.h"

namespace navorel {

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectedPeriod = 50ms;
constexpr auto kIdlePeriod = 500ms;
constexpr auto kShutdownPause = 500ms;
constexpr auto kStatusInterval = 1s;

std::string toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> xplaneProcessNames() {
    std::vector<std::string> names = {"X-Plane.exe", "X-Plane 12.exe", "X-Plane 11.exe"};
    // On Linux the native binary joins the list.
    for (const std::string& name : platform::xplaneMainExecutableNames()) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

void info(const std::string& text) { logLine(LogLevel::INFO, {}, text); }

}  // namespace

std::vector<std::string> watchedProcessNames(const BridgeOptions& options) {
    const std::vector<std::string> msfs = {"FlightSimulator.exe", "FlightSimulator2024.exe"};
    if (options.forceXPlane) return xplaneProcessNames();
    if (!options.autoDetect) return msfs;
    std::vector<std::string> names = xplaneProcessNames();
    names.insert(names.end(), msfs.begin(), msfs.end());
    return names;
}

BridgeRuntime::BridgeRuntime(const BridgeOptions& options, std::atomic<bool>& running)
    : options_(options), running_(running) {}

int BridgeRuntime::run() {
    // Signals only set atomics; this thread writes the handler's line.
    platform::ShutdownSignalHandler signals(running_);
    bool signalLogged = false;
    const auto logSignalOnce = [&] {
        if (!signalLogged && signals.signalReceived()) {
            signalLogged = true;
            info("Shutdown signal received, shutting down gracefully...");
        }
    };

    JsonMessagePool pool;
    ApplicationStateManager stateManager;
    ApplicationStateManager::setInstance(&stateManager);
    HeartbeatMonitor heartbeat;
    HeartbeatMonitor::setInstance(&heartbeat);
    ProcessMonitor processMonitor(watchedProcessNames(options_));
    ProcessMonitor::setInstance(&processMonitor);
    std::set<std::string> xplaneNames;
    for (const std::string& name : xplaneProcessNames()) xplaneNames.insert(toLower(name));

    WebSocketServer server(options_.port, options_.allowedOrigins);
    if (!server.Start()) {
        const std::string error = server.GetLastError();
        const std::string text = "Failed to start WebSocket server: " + (error.empty() ? "Unknown error" : error);
        logLine(LogLevel::ERROR, {}, text);
        std::cerr << text << std::endl;
        return 1;
    }
    const std::uint16_t boundPort = server.GetPort();
    info("WebSocket server started successfully on port " + std::to_string(boundPort));
    if (boundPort != options_.port) std::cout << "WEBSOCKET_PORT_CONFLICT=" << options_.port << '\n';
    std::cout << "WEBSOCKET_PORT=" << boundPort << std::endl;

    SimConnectHandler simConnect;
    XPlanePluginProvider xplane;
    if (!options_.xplaneRoot.empty()) xplane.setXPlaneRoot(options_.xplaneRoot);
    xplane.setTelemetryPort(options_.pluginTelemetryPort);
    xplane.setControlPort(options_.pluginControlPort);

    ReconnectionManager reconnection;

    // Written on the main thread only (automatic switching); read by the
    // server thread's commands too.
    std::atomic<bool> usingXPlane{options_.forceXPlane};
    const auto active = [&]() -> SimulatorProvider& {
        if (usingXPlane.load()) return xplane;
        return simConnect;
    };
    const auto simulatorName = [&] { return usingXPlane.load() ? "X-Plane" : "Flight Simulator"; };
    const auto connectionName = [&] { return usingXPlane.load() ? "X-Plane plugin" : "SimConnect connection"; };
    const auto broadcast = [&](const nlohmann::json& message) { server.BroadcastJson(message); };
    const auto clientCount = [&] { return server.GetClientCount(); };

    OutboundMessages::Hooks hooks;
    hooks.broadcast = broadcast;
    hooks.clientCount = clientCount;
    hooks.simDetected = [&] { return processMonitor.getState() == ProcessState::DETECTED; };
    hooks.simConnected = [&] { return active().isConnected(); };
    hooks.usingXPlane = [&] { return usingXPlane.load(); };
    hooks.xplaneVersion = [&] { return xplane.getXPlaneVersion(); };
    hooks.simulatorVariant = [&] { return simConnect.getSimulatorVariant(); };
    hooks.detectedProcess = [&] { return processMonitor.getDetectedProcess(); };
    OutboundMessages messages(pool, stateManager, std::move(hooks));

    RunwayRequestManager::Operations runwayOps;
    runwayOps.isXPlaneActive = [&] { return usingXPlane.load(); };
    runwayOps.isActiveProviderConnected = [&] { return active().isConnected(); };
    runwayOps.requestRunwayData = [&](const std::string& icao, std::uint32_t id) {
        return simConnect.requestRunwayData(icao, id);
    };
    runwayOps.loadAirport = [&](const std::string& icao, XPlaneAirportRecord& record, std::string& error) {
        return xplane.loadAirport(icao, record, error);
    };
    runwayOps.cacheAirport = [&](const XPlaneAirportRecord& record) { xplane.cacheAirport(record); };
    runwayOps.clientCount = clientCount;
    runwayOps.broadcast = broadcast;
    RunwayRequestManager runways(pool, std::move(runwayOps));

    PauseControl pause([&] { return PauseControl::ActiveProvider{&active(), usingXPlane.load()}; });

    auto handler = std::make_unique<WebSocketMessageHandler>();
    handler->SetStateChangeCallback(
        [&](ApplicationState state, const std::string& reason) { stateManager.setState(state, reason); });
    handler->SetHeartbeatCallback([&] { heartbeat.recordHeartbeat(); });
    handler->SetShutdownCallback([&] {
        info("Graceful shutdown requested via WebSocket");
        running_.store(false);
    });
    handler->SetRunwayInfoCallback([&](const std::string& icao) { return runways.handleRunwayRequest(icao); });
    handler->SetSimControlCallback(
        [&](bool paused, const std::string& reason) { return pause.handlePauseRequest(paused, reason); });
    server.SetMessageHandler(std::move(handler));

    processMonitor.setStateCallback([&](ProcessState state, const std::string&) {
        if (state == ProcessState::DETECTED) {
            if (options_.autoDetect && !options_.forceXPlane) {
                const bool isXPlane = xplaneNames.count(toLower(processMonitor.getDetectedProcess())) > 0;
                if (isXPlane != usingXPlane.load()) {
                    if (reconnection.getState() == ConnectionState::CONNECTED) {
                        active().disconnect();
                        reconnection.onConnectionLost("Switching simulator");
                    }
                    usingXPlane.store(isXPlane);
                }
            }
            info(std::string(simulatorName()) + " detected - ready for " + connectionName() +
                 " (will retry indefinitely)");
        } else if (state == ProcessState::NOT_DETECTED) {
            logLine(LogLevel::WARN, {},
                    std::string(simulatorName()) + " process terminated - disconnecting " + connectionName());
            if (reconnection.getState() == ConnectionState::CONNECTED) {
                active().disconnect();
                reconnection.onConnectionLost(std::string(simulatorName()) + " process terminated");
            }
            if (usingXPlane.load() && server.GetClientCount() > 0 && stateManager.isActive()) {
                messages.sendSimStop();
            }
        }
        if (state == ProcessState::DETECTED || state == ProcessState::NOT_DETECTED) {
            reconnection.onProcessRestarted();
        }
        messages.sendSimStatusIfChanged();
    });
    processMonitor.start();

    stateManager.setStateChangeCallback(
        [&](ApplicationState oldState, ApplicationState newState, const std::string&) {
            messages.sendSimStatusIfChanged();
            if (newState == ApplicationState::PREFLIGHT || newState == ApplicationState::IDLE) {
                messages.clearAcarsInfoFlag();
            }
            if (reconnection.getState() == ConnectionState::CONNECTED) {
                if (newState == ApplicationState::PREFLIGHT) {
                    active().setPreflightMode();
                } else if (newState == ApplicationState::ACTIVE) {
                    active().requestDataSnapshot();
                    active().setActiveMode();
                } else if (newState == ApplicationState::IDLE && usingXPlane.load()) {
                    xplane.setIdleMode();
                }
            }
            if (oldState == ApplicationState::PREFLIGHT && newState == ApplicationState::ACTIVE) {
                messages.sendAcarsInfoOnce();
            }
        });

    heartbeat.setTimeoutCallback([&] {
        logLine(LogLevel::ERROR, {}, "ACARS heartbeat timeout - shutting down bridge");
        running_.store(false);
    });
    heartbeat.setWarningCallback([&] { messages.sendHeartbeatWarning(); });

    reconnection.setConnectFunction([&] {
        try {
            SimulatorProvider& provider = active();
            const bool connected = provider.connect();
            if (connected) {
                const ApplicationState state = stateManager.getState();
                if (state == ApplicationState::PREFLIGHT) {
                    provider.setPreflightMode();
                } else if (state == ApplicationState::ACTIVE) {
                    provider.requestDataSnapshot();
                    provider.setActiveMode();
                }
            }
            return connected;
        } catch (const std::exception& e) {
            logLine(LogLevel::ERROR, {}, std::string("Error connecting to the simulator: ") + e.what());
            return false;
        }
    });
    reconnection.setStateCallback([&](ConnectionState state, const std::string&) {
        if (state == ConnectionState::DISCONNECTED || state == ConnectionState::CONNECTED) {
            messages.sendSimStatusIfChanged();
        }
    });

    server.SetConnectionStatusProvider([&](bool connected) -> std::unique_ptr<nlohmann::json> {
        if (!connected) return nullptr;
        if (stateManager.isActive()) messages.sendAcarsInfoOnce();
        return messages.buildSimStatus();
    });

    const auto installDataCallbacks = [&](SimulatorProvider& provider, SampleSource source) {
        provider.setFlightDataCallback([&](const FlightData& data) { messages.sendFlightData(data); });
        provider.setAircraftInfoCallback(
            [&, source](const AircraftInfo& data) { messages.sendAircraftInfo(data, source); });
        provider.setLandingDataCallback([&](const LandingData& data) { messages.sendLandingData(data); });
        provider.setSystemsDataCallback(
            [&, source](const SystemsData& data) { messages.sendSystemsData(data, source); });
        provider.setEquipmentDataCallback([&](const EquipmentData& data) { messages.sendEquipmentData(data); });
        provider.setAlertDataCallback([&](const AlertData& data) { messages.sendAlertData(data); });
        provider.setEnvironmentDataCallback(
            [&](const EnvironmentData& data) { messages.sendEnvironmentData(data); });
    };
    installDataCallbacks(simConnect, SampleSource::SimConnect);
    installDataCallbacks(xplane, SampleSource::XPlane);
    for (SimulatorProvider* provider : {static_cast<SimulatorProvider*>(&simConnect),
                                        static_cast<SimulatorProvider*>(&xplane)}) {
        provider->setSimEventCallback(
            [&](std::uint32_t type, std::uint32_t data) { messages.handleSimEvent(type, data); });
    }
    runways.installFacilityCallbacks(simConnect);
    runways.installFacilityCallbacks(xplane);

    messages.sendSimStatusIfChanged();
    info("Bridge running. Press Ctrl+C to stop.");

    const bool automatic = options_.autoDetect && !options_.forceXPlane;
    const auto printStatusLine = [&] {
        const ProcessState processState = processMonitor.getState();
        const bool detected = processState == ProcessState::DETECTED;
        std::string modeLabel = usingXPlane.load() ? "X-Plane" : "MSFS";
        std::string connectionLabel = usingXPlane.load() ? "XPlane Plugin" : "SimConnect";
        if (automatic && !detected) modeLabel = connectionLabel = "AUTO";
        std::ostringstream line;
        line << "\r[Status] " << modeLabel << ": " << ProcessMonitor::getStateName(processState) << " | "
             << connectionLabel << ": " << reconnection.getStateName() << " | Clients: " << server.GetClientCount();
        const std::uint64_t wait = reconnection.getSecondsUntilNextAttempt();
        if (reconnection.getState() != ConnectionState::CONNECTED && detected && wait > 0) {
            line << " | Next attempt in: " << wait << "s";
        }
        line << std::string(10, ' ');
        std::cout << line.str() << std::flush;
    };

    ProviderPoller poller;
    SteadyTime lastStatusTime = SteadyClock::now();
    while (running_.load()) {
        logSignalOnce();
        const SteadyTime now = SteadyClock::now();

        heartbeat.check();
        if (!heartbeat.isAlive()) {
            logLine(LogLevel::ERROR, {}, "ACARS heartbeat timeout - bridge shutting down");
            break;
        }
        processMonitor.poll();
        if (processMonitor.getState() == ProcessState::DETECTED &&
            reconnection.getState() != ConnectionState::CONNECTED && reconnection.shouldAttemptReconnect()) {
            reconnection.attemptConnection();
        }
        {
            // The telemetry of one pass leaves together (see BroadcastHold).
            const WebSocketServer::BroadcastHold hold(server);
            poller.poll(active(), reconnection, usingXPlane.load() && xplane.isAwaitingTelemetry());
            if (server.GetClientCount() > 0) {
                if (auto summary = stateManager.buildPreflightMessage(pool)) {
                    broadcast(*summary);
                    pool.ReleaseJson(std::move(summary));
                }
            }
            messages.sendSimStatusIfChanged();
            messages.checkPauseEvent(now);
            runways.processCompletedLookups();
            runways.expireRunwayRequests(now);
            messages.recheckSpoilers(now);
        }
        if (options_.verbose && SteadyClock::now() - lastStatusTime >= kStatusInterval) {
            printStatusLine();
            lastStatusTime = SteadyClock::now();
        }
        std::this_thread::sleep_for(active().isConnected() ? kConnectedPeriod : kIdlePeriod);
    }
    logSignalOnce();

    std::cout << "\n\nShutting down..." << std::endl;
    server.SetAcceptingConnections(false);
    std::this_thread::sleep_for(kShutdownPause);
    processMonitor.stop();
    server.Stop();
    active().disconnect();
    info("Bridge stopped successfully");
    return 0;
}

}  // namespace navorel
