#include "app/runtime/BridgeRuntime.h"

#include <exception>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/protocol/Messages.h"
#include "app/runtime/ProviderModes.h"
#include "app/runtime/StatusLine.h"
#include "log/Logger.h"
#include "msfs/SimConnectHandler.h"
#include "platform/ShutdownSignal.h"
#include "xplane/XPlanePluginProvider.h"

namespace navorel {

namespace {

void info(const std::string& text) { logLine(LogLevel::INFO, {}, text); }

std::unique_ptr<SimulatorProvider> makeSimConnect(SimulatorProvider* given) {
    if (given != nullptr) return nullptr;
    return std::make_unique<SimConnectHandler>();
}

std::unique_ptr<SimulatorProvider> makeXPlane(SimulatorProvider* given, const BridgeOptions& options) {
    if (given != nullptr) return nullptr;
    auto provider = std::make_unique<XPlanePluginProvider>();
    if (!options.xplaneRoot.empty()) provider->setXPlaneRoot(options.xplaneRoot);
    provider->setTelemetryPort(options.pluginTelemetryPort);
    provider->setControlPort(options.pluginControlPort);
    return provider;
}

}  // namespace

BridgeRuntime::BridgeRuntime(const BridgeOptions& options, std::atomic<bool>& running, RuntimeEnvironment env)
    : options_(options),
      running_(running),
      clock_(env.clock ? *env.clock : Clock::real()),
      out_(env.out ? *env.out : std::cout),
      err_(env.err ? *env.err : std::cerr),
      ownedSimConnect_(makeSimConnect(env.simConnect)),
      ownedXPlane_(makeXPlane(env.xplane, options)),
      simConnect_(env.simConnect ? *env.simConnect : *ownedSimConnect_),
      xplane_(env.xplane ? *env.xplane : *ownedXPlane_),
      stateManager_(clock_),
      heartbeat_(clock_),
      processMonitor_(SimulatorSelection::watchedProcessNames(options), ProcessMonitor::kDefaultPollIntervalSeconds,
                      std::move(env.processList), clock_),
      reconnection_(clock_),
      selection_(simConnect_, xplane_, options),
      server_(options.port, serverHandlers(), options.allowedOrigins, clock_),
      messages_(pool_, stateManager_,
                {[this](const nlohmann::json& m) { server_.BroadcastJson(m); },
                 [this] { return server_.GetClientCount(); },
                 [this] { return processMonitor_.getState() == ProcessState::DETECTED; },
                 [this]() -> SimulatorProvider& { return selection_.active(); },
                 [this] { return processMonitor_.getDetectedProcess(); }},
                clock_),
      runways_(pool_,
               {[this]() -> SimulatorProvider& { return selection_.active(); },
                [this] { return server_.GetClientCount(); },
                [this](const nlohmann::json& m) { server_.BroadcastJson(m); }, [this] { wake_.notify(); }},
               clock_),
      pause_([this]() -> SimulatorProvider& { return selection_.active(); }),
      commands_(clock_) {}

BridgeRuntime::~BridgeRuntime() {
    // The server's handlers reach into the members below it; whatever ended
    // the run (an exception included), no client may run them from now on.
    server_.Stop();
}

int BridgeRuntime::run() {
    // Signals only set atomics; this thread writes the handler's line.
    platform::ShutdownSignalHandler signals(running_);
    bool signalLogged = false;
    const auto logSignal = [&] {
        if (!signalLogged && signals.signalReceived()) {
            signalLogged = true;
            info("Shutdown signal received, shutting down gracefully...");
        }
    };
    if (!start()) return 1;
    while (running_.load()) {
        logSignal();
        if (!runPass()) break;
        waitForWork();
    }
    logSignal();
    shutdown();
    return 0;
}

// ---- start-up ---------------------------------------------------------------

WebSocketServer::Handlers BridgeRuntime::serverHandlers() {
    WebSocketServer::Handlers handlers;
    handlers.onOpen = [this](const WebSocketServer::PerSocketData& client, std::size_t count) {
        return greet(client, count);
    };
    handlers.onMessage = [this](const WebSocketServer::PerSocketData& client, std::string_view text) {
        return commands_.HandleClientText(text, client.connectedAt);
    };
    return handlers;
}

bool BridgeRuntime::start() {
    wireCommands();
    wireSupervision();
    wireProviders();

    // Only now may a client reach the bridge.
    if (!server_.Start()) {
        const std::string error = server_.GetLastError();
        const std::string text = "Failed to start WebSocket server: " + (error.empty() ? "Unknown error" : error);
        logLine(LogLevel::ERROR, {}, text);
        err_ << text << std::endl;
        return false;
    }
    const std::uint16_t boundPort = server_.GetPort();
    info("WebSocket server started successfully on port " + std::to_string(boundPort));
    if (boundPort != options_.port) out_ << "WEBSOCKET_PORT_CONFLICT=" << options_.port << '\n';
    out_ << "WEBSOCKET_PORT=" << boundPort << std::endl;

    messages_.sendSimStatusIfChanged();
    info("Bridge running. Press Ctrl+C to stop.");
    lastStatusTime_ = clock_.steadyNow();
    nextPeriodic_ = lastStatusTime_;
    return true;
}

void BridgeRuntime::wireCommands() {
    commands_.SetStateChangeCallback(
        [this](ApplicationState state, const std::string& reason) { stateManager_.setState(state, reason); });
    commands_.SetHeartbeatCallback([this] { heartbeat_.recordHeartbeat(); });
    commands_.SetShutdownCallback([this] {
        info("Graceful shutdown requested via WebSocket");
        running_.store(false);
        wake_.notify();
    });
    commands_.SetRunwayInfoCallback([this](const std::string& icao) { return runways_.handleRunwayRequest(icao); });
    commands_.SetSimControlCallback(
        [this](bool paused, const std::string& reason) { return pause_.handlePauseRequest(paused, reason); });
    commands_.SetServerStatusFunction([this] {
        return WebSocketMessageHandler::ServerStatus{server_.GetClientCount(), server_.IsRunning()};
    });
}

void BridgeRuntime::wireSupervision() {
    processMonitor_.setStateCallback([this](ProcessState state, const std::string&) { onProcessStateChanged(state); });
    processMonitor_.start();
    stateManager_.setStateChangeCallback([this](ApplicationState oldState, ApplicationState newState,
                                                const std::string&) { onApplicationStateChanged(oldState, newState); });
    heartbeat_.setTimeoutCallback([this] {
        logLine(LogLevel::ERROR, {}, "ACARS heartbeat timeout - shutting down bridge");
        running_.store(false);
    });
    heartbeat_.setWarningCallback([this] { messages_.sendHeartbeatWarning(); });
    reconnection_.setConnectFunction([this] { return connectActiveProvider(); });
    reconnection_.setStateCallback([this](ConnectionState state, const std::string&) {
        if (state == ConnectionState::DISCONNECTED || state == ConnectionState::CONNECTED) {
            messages_.sendSimStatusIfChanged();
        }
    });
}

void BridgeRuntime::wireProviders() {
    const auto installDataCallbacks = [this](SimulatorProvider& provider, SampleSource source) {
        provider.setFlightDataCallback([this](const FlightData& data) { messages_.sendFlightData(data); });
        provider.setAircraftInfoCallback(
            [this, source](const AircraftInfo& data) { messages_.sendAircraftInfo(data, source); });
        provider.setLandingDataCallback([this](const LandingData& data) { messages_.sendLandingData(data); });
        provider.setSystemsDataCallback(
            [this, source](const SystemsData& data) { messages_.sendSystemsData(data, source); });
        provider.setEquipmentDataCallback([this](const EquipmentData& data) { messages_.sendEquipmentData(data); });
        provider.setAlertDataCallback([this](const AlertData& data) { messages_.sendAlertData(data); });
        provider.setEnvironmentDataCallback(
            [this](const EnvironmentData& data) { messages_.sendEnvironmentData(data); });
        provider.setSimEventCallback(
            [this](std::uint32_t type, std::uint32_t data) { messages_.handleSimEvent(type, data); });
        runways_.installFacilityCallbacks(provider);
        provider.setInputArrivedCallback([this] { wake_.notify(); });
    };
    installDataCallbacks(simConnect_, SampleSource::SimConnect);
    installDataCallbacks(xplane_, SampleSource::XPlane);
}

// ---- callbacks --------------------------------------------------------------

bool BridgeRuntime::connectActiveProvider() {
    try {
        SimulatorProvider& provider = selection_.active();
        if (!provider.connect()) return false;
        appliedState_ = stateManager_.getState();
        applyProviderMode(provider, appliedState_);
        return true;
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error connecting to the simulator: ") + e.what());
        return false;
    }
}

void BridgeRuntime::onProcessStateChanged(ProcessState state) {
    if (state == ProcessState::DETECTED) {
        if (selection_.automatic()) {
            const bool isXPlane = selection_.isXPlaneProcess(processMonitor_.getDetectedProcess());
            if (isXPlane != selection_.usingXPlane()) {
                if (reconnection_.getState() == ConnectionState::CONNECTED) {
                    selection_.active().disconnect();
                    reconnection_.onConnectionLost("Switching simulator");
                }
                selection_.select(isXPlane);
            }
        }
        info(std::string(selection_.simulatorName()) + " detected - ready for " + selection_.connectionName() +
             " (will retry indefinitely)");
    } else if (state == ProcessState::NOT_DETECTED) {
        const std::string simulator = selection_.simulatorName();
        logLine(LogLevel::WARN, {}, simulator + " process terminated - disconnecting " + selection_.connectionName());
        if (reconnection_.getState() == ConnectionState::CONNECTED) {
            selection_.active().disconnect();
            reconnection_.onConnectionLost(simulator + " process terminated");
        }
        if (selection_.usingXPlane() && server_.GetClientCount() > 0 && stateManager_.isActive()) {
            messages_.sendSimStop();
        }
    }
    if (state == ProcessState::DETECTED || state == ProcessState::NOT_DETECTED) reconnection_.onProcessRestarted();
    messages_.sendSimStatusIfChanged();
}

// Runs on the thread that changed the state (a client's command on the server
// thread): only what is quick and safe there. The provider follows on the
// main loop, which this wakes.
void BridgeRuntime::onApplicationStateChanged(ApplicationState oldState, ApplicationState newState) {
    messages_.sendSimStatusIfChanged();
    if (newState == ApplicationState::PREFLIGHT || newState == ApplicationState::IDLE) {
        messages_.clearAcarsInfoFlag();
    }
    if (oldState == ApplicationState::PREFLIGHT && newState == ApplicationState::ACTIVE) {
        messages_.sendAcarsInfoOnce();
    }
    wake_.notify();
}

std::vector<std::string> BridgeRuntime::greet(const WebSocketServer::PerSocketData& client, std::size_t clientCount) {
    nlohmann::json welcome;
    protocol::connection(welcome, client.clientId, clientCount);
    std::vector<std::string> texts{welcome.dump()};
    if (stateManager_.isActive()) messages_.sendAcarsInfoOnce();
    texts.push_back(messages_.buildSimStatus()->dump());
    return texts;
}

// ---- the main loop ----------------------------------------------------------

std::chrono::milliseconds BridgeRuntime::currentPeriod() const {
    return selection_.active().isConnected() ? kConnectedPeriod : kIdlePeriod;
}

bool BridgeRuntime::runPass() {
    // The messages of one pass leave together (see BroadcastHold).
    const WebSocketServer::BroadcastHold hold(server_);
    const SteadyTime now = clock_.steadyNow();
    const bool periodic = now >= nextPeriodic_;
    if (periodic && !superviseConnection()) return false;
    // Input, whenever the loop wakes.
    applyStateChanges();
    poller_.poll(selection_.active(), reconnection_);
    runways_.processCompletedLookups();
    if (periodic) {
        nextPeriodic_ = now + currentPeriod();
        periodicSteps(now);
    }
    return true;
}

void BridgeRuntime::waitForWork() {
    const SteadyTime due = nextPeriodic_ + (selection_.active().isConnected() ? kPeriodicSlack : SteadyClock::duration{});
    const SteadyTime now = clock_.steadyNow();
    if (now < due) wake_.waitFor(due - now);
}

// A client's state changes, applied to the provider once per pass: the
// provider is chosen once, and several quick changes end in the last one.
void BridgeRuntime::applyStateChanges() {
    const ApplicationState state = stateManager_.getState();
    if (state == appliedState_) return;
    appliedState_ = state;
    if (reconnection_.getState() == ConnectionState::CONNECTED) applyProviderMode(selection_.active(), state);
}

bool BridgeRuntime::superviseConnection() {
    heartbeat_.check();
    if (!heartbeat_.isAlive()) {
        logLine(LogLevel::ERROR, {}, "ACARS heartbeat timeout - bridge shutting down");
        return false;
    }
    processMonitor_.poll();
    if (processMonitor_.getState() == ProcessState::DETECTED &&
        reconnection_.getState() != ConnectionState::CONNECTED && reconnection_.shouldAttemptReconnect()) {
        reconnection_.attemptConnection();
    }
    return true;
}

void BridgeRuntime::periodicSteps(SteadyTime now) {
    messages_.sendPreflightSummary();
    messages_.sendSimStatusIfChanged();
    messages_.checkPauseEvent(now);
    runways_.expireRunwayRequests(now);
    messages_.recheckSpoilers(now);
    if (options_.verbose && clock_.steadyNow() - lastStatusTime_ >= kStatusInterval) {
        printStatusLine();
        lastStatusTime_ = clock_.steadyNow();
    }
}

void BridgeRuntime::printStatusLine() {
    StatusLineState state;
    state.automatic = selection_.automatic();
    state.modeLabel = selection_.modeLabel();
    state.connectionLabel = selection_.connectionLabel();
    state.process = processMonitor_.getState();
    state.connection = reconnection_.getState();
    state.clients = server_.GetClientCount();
    state.secondsUntilNextAttempt = reconnection_.getSecondsUntilNextAttempt();
    out_ << formatStatusLine(state) << std::flush;
}

void BridgeRuntime::shutdown() {
    out_ << "\n\nShutting down..." << std::endl;
    server_.SetAcceptingConnections(false);
    std::this_thread::sleep_for(kShutdownPause);
    processMonitor_.stop();
    server_.Stop();
    selection_.active().disconnect();
    info("Bridge stopped successfully");
}

}  // namespace navorel
