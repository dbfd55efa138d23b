#include "core/Clock.h"

namespace navorel {

namespace {
class RealClock final : public Clock {
public:
    SteadyTime steadyNow() const override { return SteadyClock::now(); }
    SystemTime systemNow() const override { return SystemClock::now(); }
};
}  // namespace

Clock& Clock::real() {
    static RealClock clock;
    return clock;
}

std::int64_t toUnixTicks100ns(SystemTime time) {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<Ticks>(time.time_since_epoch()).count();
}

}  // namespace navorel
