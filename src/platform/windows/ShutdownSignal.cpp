#include "platform/ShutdownSignal.h"

#include <csignal>

namespace navorel::platform {

namespace {

// The C runtime runs the handler on a thread of its own; plain lock-free
// atomics are all it touches.
std::atomic<std::atomic<bool>*> g_running{nullptr};
std::atomic<bool> g_received{false};
void (*g_previousInt)(int) = SIG_DFL;
void (*g_previousTerm)(int) = SIG_DFL;

extern "C" void onShutdownSignal(int signalNumber) {
    // The C runtime resets the handler before calling it; a second Ctrl+C
    // must not kill the bridge in the middle of its shutdown.
    std::signal(signalNumber, onShutdownSignal);
    if (std::atomic<bool>* running = g_running.load()) running->store(false);
    g_received.store(true);
}

}  // namespace

ShutdownSignalHandler::ShutdownSignalHandler(std::atomic<bool>& running) {
    g_received.store(false);
    g_running.store(&running);
    g_previousInt = std::signal(SIGINT, onShutdownSignal);
    g_previousTerm = std::signal(SIGTERM, onShutdownSignal);
}

ShutdownSignalHandler::~ShutdownSignalHandler() {
    std::signal(SIGINT, g_previousInt == SIG_ERR ? SIG_DFL : g_previousInt);
    std::signal(SIGTERM, g_previousTerm == SIG_ERR ? SIG_DFL : g_previousTerm);
    g_running.store(nullptr);
}

bool ShutdownSignalHandler::signalReceived() const { return g_received.load(); }

}  // namespace navorel::platform
