#include <gtest/gtest.h>

#include <cmath>

#include "app/TelemetryFilters.h"

namespace navorel {
namespace {

using namespace std::chrono_literals;

const SteadyTime t0 = SteadyTime{} + 1h;

SystemsData systems(double spoilers, double flaps = 0.0) {
    SystemsData data{};
    data.flapsHandleIndex = flaps;
    data.spoilersHandlePosition = spoilers;
    data.simulationRate = 1.0;
    return data;
}

TEST(SpoilerStabiliser, IgnoresTheRetractedGlitchAndShortExcursions) {
    SpoilerStabiliser stabiliser;
    EXPECT_TRUE(stabiliser.update(0.0, t0, true).changed);
    // A lone 34.35 while retracted is the known glitch.
    auto result = stabiliser.update(34.35, t0 + 50ms, true);
    EXPECT_FALSE(result.changed);
    EXPECT_DOUBLE_EQ(result.value, 0.0);
    // 50 for 200 ms, then back to 0: nothing reported.
    EXPECT_FALSE(stabiliser.update(50.0, t0 + 100ms, true).changed);
    EXPECT_FALSE(stabiliser.update(50.0, t0 + 300ms, true).changed);
    EXPECT_FALSE(stabiliser.update(0.0, t0 + 310ms, true).changed);
    EXPECT_FALSE(stabiliser.update(0.0, t0 + 1s, false).changed);
    EXPECT_DOUBLE_EQ(stabiliser.stableValue(), 0.0);
}

TEST(SpoilerStabiliser, AHeldChangeBecomesStableAfterTheHoldTime) {
    SpoilerStabiliser stabiliser;
    stabiliser.update(0.0, t0, true);
    EXPECT_FALSE(stabiliser.update(50.0, t0 + 100ms, true).changed);
    EXPECT_FALSE(stabiliser.update(50.0, t0 + 449ms, false).changed);
    auto result = stabiliser.update(50.0, t0 + 450ms, false);
    EXPECT_TRUE(result.changed);
    EXPECT_DOUBLE_EQ(result.value, 50.0);
    // Deployed spoilers may legitimately read 34.3.
    EXPECT_FALSE(stabiliser.update(34.3, t0 + 500ms, true).changed);
    EXPECT_TRUE(stabiliser.update(34.3, t0 + 850ms, true).changed);
}

TEST(SpoilerStabiliser, CandidateTimeRestartsOnlyWhenTheCandidateMoves) {
    SpoilerStabiliser stabiliser;
    stabiliser.update(0.0, t0, true);
    stabiliser.update(50.0, t0, true);
    stabiliser.update(50.04, t0 + 200ms, true);  // within the dead band: time kept
    EXPECT_TRUE(stabiliser.update(50.04, t0 + 350ms, true).changed);
    stabiliser.update(80.0, t0 + 400ms, true);
    stabiliser.update(20.0, t0 + 600ms, true);  // moved: time restarts
    EXPECT_FALSE(stabiliser.update(20.0, t0 + 900ms, false).changed);
    EXPECT_TRUE(stabiliser.update(20.0, t0 + 950ms, false).changed);
}

TEST(SpoilerStabiliser, NotANumberClearsPendingAndPinningReportsRealChangesOnly) {
    SpoilerStabiliser stabiliser;
    EXPECT_TRUE(std::isnan(stabiliser.update(std::nan(""), t0, true).value));
    stabiliser.update(0.0, t0, true);
    stabiliser.update(60.0, t0 + 10ms, true);
    stabiliser.update(std::nan(""), t0 + 20ms, true);
    EXPECT_FALSE(stabiliser.update(60.0, t0 + 400ms, false).changed);
    EXPECT_FALSE(stabiliser.forceZero());
    stabiliser.update(60.0, t0 + 1s, true);
    EXPECT_TRUE(stabiliser.update(60.0, t0 + 2s, true).changed);
    EXPECT_TRUE(stabiliser.forceZero());
}

TEST(SystemsFilter, SendsOnlyRealChangesAndPicksTheFlapSource) {
    SystemsFilter filter;
    auto first = filter.accept(systems(0.0), false, t0);
    ASSERT_TRUE(first);
    EXPECT_FALSE(filter.accept(systems(0.0, 0.0005), false, t0 + 10ms));  // within 0.001

    SystemsData flaps = systems(0.0, 0.0);
    flaps.landFlapsPosition = 2.0;
    auto withLandFlaps = filter.accept(flaps, false, t0 + 20ms);
    ASSERT_TRUE(withLandFlaps);
    EXPECT_DOUBLE_EQ(withLandFlaps->flapsHandleIndex, 2.0);
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
    auto report = filter.check(t0 + 2s + 250ms);
    ASSERT_TRUE(report);
    EXPECT_TRUE(*report);
    EXPECT_FALSE(filter.onPauseEvent(true, t0 + 3s));  // already reported
    EXPECT_FALSE(filter.check(t0 + 4s));
}

}  // namespace
}  // namespace navorel
