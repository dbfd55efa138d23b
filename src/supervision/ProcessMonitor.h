#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "log/Logger.h"
#include "core/Clock.h"
#include "supervision/GuardedCallback.h"
#include "platform/Process.h"

namespace navorel {

enum class ProcessState : std::int32_t { NOT_DETECTED = 0, DETECTED = 1, LOST = 2 };

// Name used in log lines and the status line; "UNKNOWN" for any other value.
constexpr const char* processStateName(ProcessState state) {
    switch (state) {
        case ProcessState::NOT_DETECTED: return "NOT_DETECTED";
        case ProcessState::DETECTED: return "DETECTED";
        case ProcessState::LOST: return "LOST";
    }
    return "UNKNOWN";
}

// Watches the process list for a fixed set of executable names and reports
// when one appears and when none is left. The list is scanned at most once per
// poll interval however often poll() runs. poll/start/stop belong to one
// thread; the getters and stop() may be called from any thread.
class ProcessMonitor {
public:
    using StateCallback = std::function<void(ProcessState newState, const std::string& reason)>;
    // One snapshot of the running processes in enumeration order; nullopt
    // when the snapshot failed.
    using ProcessListSource = std::function<std::optional<std::vector<platform::ProcessEntry>>()>;

    static constexpr int kDefaultPollIntervalSeconds = 5;

    // An empty source means the platform's process list.
    explicit ProcessMonitor(std::vector<std::string> processNames,
                            int pollIntervalSeconds = kDefaultPollIntervalSeconds,
                            ProcessListSource source = {}, Clock& clock = Clock::real(),
                            Logger& logger = Logger::instance());
    ~ProcessMonitor();
    ProcessMonitor(const ProcessMonitor&) = delete;
    ProcessMonitor& operator=(const ProcessMonitor&) = delete;

    void start();
    void stop();
    void poll();

    ProcessState getState() const { return state_.load(); }
    static std::string getStateName(ProcessState state) { return processStateName(state); }
    // As the process list spells it; empty while none is detected.
    std::string getDetectedProcess() const;
    const std::vector<std::string>& getProcessNames() const { return processNames_; }

    // Runs on the thread that calls poll().
    void setStateCallback(StateCallback callback);

private:
    std::string scan();
    void changeState(ProcessState newState, const std::string& reason);
    void log(LogLevel level, const std::string& text);

    const std::vector<std::string> processNames_;
    std::vector<std::string> lowerNames_;
    const std::chrono::seconds pollInterval_;
    ProcessListSource source_;
    Clock& clock_;
    Logger& logger_;

    std::atomic<ProcessState> state_{ProcessState::NOT_DETECTED};
    std::atomic<bool> running_{false};
    SteadyTime lastPoll_;

    // The status message reads the name from the server's thread.
    mutable std::mutex detectedLock_;
    std::string detectedProcess_;

    GuardedCallback<StateCallback> stateCallback_;
};

}  // namespace navorel
