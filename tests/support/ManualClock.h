#pragma once

#include <mutex>

#include "core/Clock.h"

namespace navorel::test {

// A clock that moves only when told to; safe to read from several threads.
class ManualClock final : public Clock {
public:
    ManualClock() : steady_(SteadyTime{} + std::chrono::hours(1)), system_(SystemClock::now()) {}

    SteadyTime steadyNow() const override {
        std::lock_guard lock(mutex_);
        return steady_;
    }
    SystemTime systemNow() const override {
        std::lock_guard lock(mutex_);
        return system_;
    }
    template <typename Duration>
    void advance(Duration step) {
        std::lock_guard lock(mutex_);
        steady_ += std::chrono::duration_cast<SteadyClock::duration>(step);
        system_ += std::chrono::duration_cast<SystemClock::duration>(step);
    }

private:
    mutable std::mutex mutex_;
    SteadyTime steady_;
    SystemTime system_;
};

}  // namespace navorel::test
