#include "supervision/ProcessMonitor.h"

#include <exception>
#include <string_view>

#include "core/Text.h"

namespace navorel {

namespace {

constexpr std::string_view kComponent = "ProcessMonitor";

}  // namespace

ProcessMonitor::ProcessMonitor(std::vector<std::string> processNames, int pollIntervalSeconds,
                               ProcessListSource source, Clock& clock, Logger& logger)
    : processNames_(std::move(processNames)),
      pollInterval_(pollIntervalSeconds > 0 ? pollIntervalSeconds : 0),
      source_(source ? std::move(source) : ProcessListSource(&platform::listProcesses)),
      clock_(clock),
      logger_(logger),
      lastPoll_(clock.steadyNow()) {
    lowerNames_.reserve(processNames_.size());
    for (const std::string& name : processNames_) lowerNames_.push_back(asciiLower(name));
}

ProcessMonitor::~ProcessMonitor() {
    // Destruction stops a running monitor; an already stopped one stays quiet.
    if (running_.load()) stop();
}

void ProcessMonitor::log(LogLevel level, const std::string& text) {
    if (logger_.wouldLog(level)) logger_.log(level, kComponent, text);
}

void ProcessMonitor::setStateCallback(StateCallback callback) { stateCallback_.set(std::move(callback)); }

std::string ProcessMonitor::getDetectedProcess() const {
    std::lock_guard lock(detectedLock_);
    return detectedProcess_;
}

void ProcessMonitor::start() {
    running_.store(true);
    std::string names;
    for (const std::string& name : processNames_) {
        if (!names.empty()) names += ", ";
        names += name;
    }
    log(LogLevel::INFO, "Started monitoring processes: " + names);
    poll();
}

void ProcessMonitor::stop() {
    running_.store(false);
    log(LogLevel::INFO, "Stopped monitoring processes");
}

void ProcessMonitor::poll() {
    if (!running_.load()) return;
    const SteadyTime now = clock_.steadyNow();
    if (now - lastPoll_ < pollInterval_) return;
    lastPoll_ = now;

    const std::string found = scan();
    const ProcessState state = getState();
    if (!found.empty() && state == ProcessState::NOT_DETECTED) {
        {
            std::lock_guard lock(detectedLock_);
            detectedProcess_ = found;
        }
        changeState(ProcessState::DETECTED, "Process detected: " + found);
    } else if (found.empty() && state == ProcessState::DETECTED) {
        std::string lost;
        {
            std::lock_guard lock(detectedLock_);
            lost.swap(detectedProcess_);
        }
        changeState(ProcessState::NOT_DETECTED, "Process terminated: " + lost);
    }
}

std::string ProcessMonitor::scan() {
    std::optional<std::vector<platform::ProcessEntry>> processes;
    try {
        processes = source_();
    } catch (const std::exception&) {
        // A failing source must not take the main loop down; it counts as a
        // failed snapshot.
        processes.reset();
    }
    if (!processes) {
        log(LogLevel::WARN, "Failed to create process snapshot");
        return {};
    }
    for (const platform::ProcessEntry& process : *processes) {
        if (process.exeName.empty()) continue;
        const std::string lower = asciiLower(process.exeName);
        for (const std::string& watched : lowerNames_) {
            if (lower == watched) return process.exeName;
        }
    }
    return {};
}

void ProcessMonitor::changeState(ProcessState newState, const std::string& reason) {
    const ProcessState oldState = state_.exchange(newState);
    if (oldState == newState) return;
    log(LogLevel::INFO, stateChangeLine(processStateName(oldState), processStateName(newState), reason));
    stateCallback_(newState, reason);
}

}  // namespace navorel
