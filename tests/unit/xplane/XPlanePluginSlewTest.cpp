#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "XPlanePluginTestSupport.h"

namespace navorel::test {
namespace {

using namespace std::chrono_literals;

// Degrees of latitude per nautical mile on the detector's sphere.
constexpr double kDegreesPerNm = 1852.0 / (6371000.0 * 3.141592653589793 / 180.0);

std::string at(double nmNorth, const std::string& extra = "") {
    char text[200];
    std::snprintf(text, sizeof(text), R"({"lat":%.10f,"lon":8.0,"alt_ft":5000%s})", 45.0 + nmNorth * kDegreesPerNm,
                  extra.c_str());
    return text;
}

std::vector<double> slewFlags(const RecordedOutput& output) {
    std::vector<double> flags;
    for (const AlertData& alert : output.alerts()) flags.push_back(alert.isSlewActive);
    return flags;
}

class PluginSlewTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        provider.setActiveMode();
    }
    // Processes one sample, then lets a second pass.
    void step(const std::string& sample) {
        feed(sample);
        clock.advance(1s);
    }
};

TEST_F(PluginSlewTest, TwoJumpsInARowStartASlew) {
    step(at(0));  // stores the position; the detector now knows
    step(at(2));  // one jump, one excessive speed (7200 kt)
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
    step(at(4));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
}

TEST_F(PluginSlewTest, SamplesUnderHalfASecondApartAreIgnored) {
    feed(at(0));
    clock.advance(300ms);
    feed(at(2));
    clock.advance(150ms);
    feed(at(4));  // 0.45 s after the stored sample
    clock.advance(550ms);
    feed(at(0.1));  // 1 s after the stored one: 360 kt, calm, counts stay at 0
    clock.advance(1s);
    feed(at(2.1));  // first jump
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
    clock.advance(1s);
    feed(at(4.1));  // second jump
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
}

TEST_F(PluginSlewTest, RelocationOverFiftyMilesIsNotASlew) {
    for (int i = 0; i < 6; ++i) step(at(60.0 * i));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
}

TEST_F(PluginSlewTest, TwoExcessiveSpeedsInARowStartASlew) {
    // 0.7 nm per second: 2520 kt, no jump, above the airborne limit.
    step(at(0));
    step(at(0.7));
    step(at(1.4));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
}

TEST_F(PluginSlewTest, GroundLimitIsHigherAndSimulationRateScales) {
    step(at(0, R"(,"sim_on_ground":true)"));
    step(at(0.7, R"(,"sim_on_ground":true)"));
    step(at(1.4, R"(,"sim_on_ground":true)"));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
    step(at(2.1, R"(,"simulation_rate":4)"));
    step(at(2.8, R"(,"simulation_rate":4)"));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
}

TEST_F(PluginSlewTest, AltitudeJumpsCount) {
    step(R"({"lat":45,"lon":8,"alt_ft":5000})");
    step(R"({"lat":45,"lon":8,"alt_ft":7500})");
    step(R"({"lat":45,"lon":8,"alt_ind_ft":10000})");
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
}

TEST_F(PluginSlewTest, TwoSecondsOfCalmEndTheSlew) {
    step(at(0));
    step(at(2));
    step(at(4));
    ASSERT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
    step(at(4.01));  // calm starts
    step(at(4.02));  // 1 s calm
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1}));
    step(at(4.03));  // 2 s calm
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1, 0}));
}

TEST_F(PluginSlewTest, PauseAndPreflightEndTheSlew) {
    step(at(0));
    step(at(2));
    step(at(4));
    step(at(4.01, R"(,"paused":true)"));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1, 0}));

    step(at(4.02, R"(,"paused":false)"));
    step(at(6));
    step(at(8));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1, 0, 1}));
    provider.setPreflightMode();
    step(at(8.01));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0, 1, 0, 1, 0}));
}

TEST_F(PluginSlewTest, BadPositionsResetTheTrack) {
    step(at(0));
    step(at(2));                                      // one jump
    step(R"({"lat":95,"lon":8,"alt_ft":5000})");      // out of range: reset
    step(at(4));                                      // first position again
    step(at(6));                                      // one jump only
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
    step(R"({"lat":45,"lon":8,"simulation_rate":0})");  // a stopped clock: reset
    step(at(8));
    step(at(10));
    EXPECT_EQ(slewFlags(output), (std::vector<double>{0}));
}

TEST_F(PluginSlewTest, AlertsCarryOverspeedAndStallAndAreSentOnChangeOnly) {
    provider.setIdleMode();
    feed(R"({"ias_kt":300,"vne_kt":250})");
    feed(R"({"ias_kt":310,"vne_kt":250})");
    feed(R"({"ias_kt":200,"vne_kt":250,"stall_warning_failure":1})");
    feed(R"({"stall_warning":0,"stall_warning_failure":1})");
    feed(R"({"ias_kt":200})");  // nothing known: skipped
    const auto alerts = output.alerts();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].overspeedWarning, 1.0);
    EXPECT_EQ(alerts[0].stallWarning, 0.0);
    EXPECT_EQ(alerts[1].overspeedWarning, 0.0);
    EXPECT_EQ(alerts[1].stallWarning, 1.0);
    EXPECT_EQ(alerts[2].stallWarning, 0.0);
}

}  // namespace
}  // namespace navorel::test
