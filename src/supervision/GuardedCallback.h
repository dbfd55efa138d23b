#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace navorel {

// A callback that one thread may replace while another calls it. A call runs
// on a copy taken under the lock, so the callback may replace itself or call
// back into its owner without a deadlock.
template <typename Function>
class GuardedCallback {
public:
    void set(Function function) {
        std::lock_guard lock(mutex_);
        function_ = std::move(function);
    }

    Function get() const {
        std::lock_guard lock(mutex_);
        return function_;
    }

    // Calls the current callback, if there is one.
    template <typename... Args>
    void operator()(Args&&... args) const {
        if (const Function function = get()) function(std::forward<Args>(args)...);
    }

private:
    mutable std::mutex mutex_;
    Function function_;
};

// The log line of a state change: "State: OLD -> NEW (reason)".
inline std::string stateChangeLine(const char* oldName, const char* newName, const std::string& reason) {
    std::string line = std::string("State: ") + oldName + " -> " + newName;
    if (!reason.empty()) line += " (" + reason + ")";
    return line;
}

}  // namespace navorel
