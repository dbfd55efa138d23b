#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "app/TelemetryFilters.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

const SteadyTime t0 = SteadyTime{} + 1h;
const double kNaN = std::nan("");

// One update of the stabiliser at t0 + ms: a new sample, or the loop's re-check.
using Step = std::tuple<double, int, bool, bool>;  // value, ms, new sample, whether it changed

void play(SpoilerStabiliser& stabiliser, const std::vector<Step>& steps) {
    for (const auto& [value, ms, newSample, changed] : steps) {
        EXPECT_EQ(stabiliser.update(value, t0 + std::chrono::milliseconds(ms), newSample).changed, changed)
            << value << " at " << ms << " ms";
    }
}

TEST(SpoilerStabiliser, AValueCountsOnlyOnceItHasHeldFor350Ms) {
    const std::vector<Step> scenarios[] = {
        // A lone 34.35 while retracted is the known glitch; 50 for 200 ms an excursion.
        {{0, 0, true, true}, {34.35, 50, true, false}, {50, 100, true, false}, {50, 300, true, false},
         {0, 310, true, false}, {0, 1000, false, false}},
        // Held, it counts, on a re-check too; deployed spoilers may read 34.3.
        {{0, 0, true, true}, {50, 100, true, false}, {50, 449, false, false}, {50, 450, false, true},
         {34.3, 500, true, false}, {34.3, 850, true, true}},
        // The candidate's time restarts only when it moves beyond the dead band.
        {{0, 0, true, true}, {50, 0, true, false}, {50.04, 200, true, false}, {50.04, 350, true, true},
         {80, 400, true, false}, {20, 600, true, false}, {20, 900, false, false}, {20, 950, false, true}},
        // Not a number drops what was pending.
        {{0, 0, true, true}, {60, 10, true, false}, {kNaN, 20, true, false}, {60, 400, false, false}},
    };
    for (const auto& steps : scenarios) {
        SpoilerStabiliser stabiliser;
        play(stabiliser, steps);
    }
}

TEST(SpoilerStabiliser, TheGlitchReadsAsRetractedAndPinningReportsRealChangesOnly) {
    SpoilerStabiliser stabiliser;
    EXPECT_TRUE(std::isnan(stabiliser.update(kNaN, t0, true).value));  // nothing known yet
    EXPECT_EQ(stabiliser.update(34.35, t0, true).value, 0.0);
    play(stabiliser, {{0, 0, true, true}});
    EXPECT_FALSE(stabiliser.forceZero());
    play(stabiliser, {{60, 1000, true, false}, {60, 2000, true, true}});
    EXPECT_TRUE(stabiliser.forceZero());
}

TEST(SystemsFilter, SendsOnlyRealChangesAndPicksTheFlapSource) {
    SystemsFilter filter;
    SystemsData data{};
    ASSERT_TRUE(filter.accept(data, false, t0));
    data.flapsHandleIndex = 0.0005;  // within 0.001
    EXPECT_FALSE(filter.accept(data, false, t0 + 10ms));
    data.flapsHandleIndex = 0.0;
    data.landFlapsPosition = 2.0;
    EXPECT_EQ(filter.accept(data, false, t0 + 20ms).value().flapsHandleIndex, 2.0);
}

TEST(PauseFilter, ReportsOnlyPausesThatHold) {
    PauseFilter filter;
    // The first state is reported once it holds, like any change.
    EXPECT_FALSE(filter.onPauseEvent(false, t0 - 1s));
    EXPECT_EQ(filter.check(t0 - 500ms), std::optional<bool>(false));

    EXPECT_FALSE(filter.onPauseEvent(true, t0));
    EXPECT_FALSE(filter.onPauseEvent(false, t0 + 100ms));  // unpaused within 100 ms
    EXPECT_FALSE(filter.check(t0 + 1s));

    EXPECT_FALSE(filter.onPauseEvent(true, t0 + 2s));
    EXPECT_FALSE(filter.onPauseEvent(true, t0 + 2s + 100ms));  // same change pending: time kept
    EXPECT_FALSE(filter.check(t0 + 2s + 249ms));
    EXPECT_EQ(filter.check(t0 + 2s + 250ms), std::optional<bool>(true));
    EXPECT_FALSE(filter.onPauseEvent(true, t0 + 3s));  // already reported
    EXPECT_FALSE(filter.check(t0 + 4s));
}

}  // namespace
}  // namespace navorel
