#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace navorel {

// What the main loop waits on between its periodic passes: input that has
// arrived (a datagram, a simulator message, a finished runway lookup, a
// client's state change) wakes it at once. Any thread may notify; however
// many notifications arrive during one pass, the next wait returns once.
class LoopWake {
public:
    void notify() {
        {
            std::lock_guard lock(mutex_);
            notified_ = true;
        }
        condition_.notify_one();
    }

    // Returns at the first notification since the last wait, or after the
    // time-out; true when notified.
    bool waitFor(std::chrono::steady_clock::duration timeout) {
        std::unique_lock lock(mutex_);
        const bool notified = condition_.wait_for(lock, timeout, [this] { return notified_; });
        notified_ = false;
        return notified;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool notified_ = false;
};

}  // namespace navorel
