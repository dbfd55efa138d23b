#pragma once

#include <atomic>
#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/OutboundMessages.h"
#include "app/PauseControl.h"
#include "app/RunwayRequests.h"
#include "app/protocol/WebSocketMessageHandler.h"
#include "app/runtime/LoopWake.h"
#include "app/runtime/ProviderPoller.h"
#include "app/runtime/SimulatorSelection.h"
#include "core/ApplicationState.h"
#include "core/Clock.h"
#include "core/JsonMessagePool.h"
#include "server/WebSocketServer.h"
#include "supervision/ApplicationStateManager.h"
#include "supervision/HeartbeatMonitor.h"
#include "supervision/ProcessMonitor.h"
#include "supervision/ReconnectionManager.h"

namespace navorel {

class SimulatorProvider;

// What a test replaces; the defaults are the real providers, process list,
// clock and console.
struct RuntimeEnvironment {
    SimulatorProvider* simConnect = nullptr;
    SimulatorProvider* xplane = nullptr;
    ProcessMonitor::ProcessListSource processList;
    Clock* clock = nullptr;
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
};

// The bridge after the command line: builds and wires every long-lived
// object, starts the server once everything is wired, runs the main loop and
// shuts down in order.
//
// Threads: the main loop owns the providers; commands arrive on the server
// thread and never call into a provider's slow paths. A state change is
// recorded at once and applied to the provider by the main loop, which it
// wakes.
class BridgeRuntime {
public:
    static constexpr std::chrono::milliseconds kConnectedPeriod{50};
    static constexpr std::chrono::milliseconds kIdlePeriod{500};
    static constexpr std::chrono::milliseconds kShutdownPause{500};
    static constexpr std::chrono::seconds kStatusInterval{1};
    // While connected, the periodic work may wait this long past its time for
    // a pass that input brings anyway, so that telemetry arriving at 30 Hz
    // does not add 20 wake-ups a second of the loop's own.
    static constexpr std::chrono::milliseconds kPeriodicSlack{25};

    // running is the process-wide flag that signals, SHUTDOWN and the
    // heartbeat time-out clear.
    BridgeRuntime(const BridgeOptions& options, std::atomic<bool>& running, RuntimeEnvironment environment = {});
    // Stops the server before anything its handlers use goes.
    ~BridgeRuntime();
    BridgeRuntime(const BridgeRuntime&) = delete;
    BridgeRuntime& operator=(const BridgeRuntime&) = delete;

    // Start-up, the main loop and the shutdown; the process exit code (1 when
    // the server cannot start, else 0).
    int run();

    // The parts of run().
    bool start();
    // One round of the loop: the input that has arrived, and the periodic
    // work when it is due. False when the heartbeat has timed out.
    bool runPass();
    // The wait after a pass: until input arrives or the periodic work is due.
    // Input that arrives in bursts wakes the loop once.
    void waitForWork();
    void shutdown();

    WebSocketServer& server() { return server_; }
    ApplicationStateManager& stateManager() { return stateManager_; }
    HeartbeatMonitor& heartbeat() { return heartbeat_; }
    ReconnectionManager& reconnection() { return reconnection_; }
    ProcessMonitor& processMonitor() { return processMonitor_; }
    const SimulatorSelection& selection() const { return selection_; }
    // Wakes the main loop; what providers call when input has arrived.
    LoopWake& wake() { return wake_; }

private:
    std::chrono::milliseconds currentPeriod() const;
    void wireProviders();
    void wireSupervision();
    void wireCommands();
    WebSocketServer::Handlers serverHandlers();

    // Callbacks.
    bool connectActiveProvider();
    void onProcessStateChanged(ProcessState state);
    void onApplicationStateChanged(ApplicationState oldState, ApplicationState newState);
    std::vector<std::string> greet(const WebSocketServer::PerSocketData& client, std::size_t clientCount);

    // Steps of a pass.
    bool superviseConnection();
    void applyStateChanges();
    void periodicSteps(SteadyTime now);
    void printStatusLine();

    const BridgeOptions& options_;
    std::atomic<bool>& running_;
    Clock& clock_;
    std::ostream& out_;
    std::ostream& err_;

    std::unique_ptr<SimulatorProvider> ownedSimConnect_;
    std::unique_ptr<SimulatorProvider> ownedXPlane_;
    SimulatorProvider& simConnect_;
    SimulatorProvider& xplane_;

    LoopWake wake_;
    JsonMessagePool pool_;
    ApplicationStateManager stateManager_;
    HeartbeatMonitor heartbeat_;
    ProcessMonitor processMonitor_;
    ReconnectionManager reconnection_;
    SimulatorSelection selection_;

    WebSocketServer server_;
    OutboundMessages messages_;
    RunwayRequestManager runways_;
    PauseControl pause_;
    WebSocketMessageHandler commands_;
    ProviderPoller poller_;

    // Main thread only.
    ApplicationState appliedState_ = ApplicationState::IDLE;
    SteadyTime nextPeriodic_{};
    SteadyTime lastStatusTime_{};
};

}  // namespace navorel
