#include "platform/ShutdownSignal.h"

#include <csignal>

namespace navorel::platform {

namespace {

// Plain lock-free atomics are all a signal handler may touch.
std::atomic<std::atomic<bool>*> g_running{nullptr};
std::atomic<bool> g_received{false};
struct sigaction g_previousInt {};
struct sigaction g_previousTerm {};

extern "C" void onShutdownSignal(int) {
    if (std::atomic<bool>* running = g_running.load()) running->store(false);
    g_received.store(true);
}

}  // namespace

ShutdownSignalHandler::ShutdownSignalHandler(std::atomic<bool>& running) {
    g_received.store(false);
    g_running.store(&running);
    struct sigaction action {};
    action.sa_handler = onShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
}

ShutdownSignalHandler::~ShutdownSignalHandler() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    g_running.store(nullptr);
}

bool ShutdownSignalHandler::signalReceived() const { return g_received.load(); }

}  // namespace navorel::platform
