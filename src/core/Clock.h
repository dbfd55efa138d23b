#pragma once

#include <chrono>
#include <cstdint>

namespace navorel {

using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;
using SystemClock = std::chrono::system_clock;
using SystemTime = SystemClock::time_point;

// Time source of every time-dependent class, so tests can drive time directly
// instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual SteadyTime steadyNow() const = 0;
    virtual SystemTime systemNow() const = 0;

    // The real clocks of the machine.
    static Clock& real();
};

// 100-nanosecond intervals since 1970-01-01 UTC: the "timestamp" of every
// outbound message.
std::int64_t toUnixTicks100ns(SystemTime time);

}  // namespace navorel
