// Sample processing of the plugin provider, fed through a real UDP socket:
// records, conversions, events, touchdown, on-runway and slew.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "XPlanePluginTestSupport.h"

namespace navorel::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

std::string flightAt(double lat, double lon, const std::string& extra = "") {
    char text[160];
    std::snprintf(text, sizeof(text), R"({"lat":%.9f,"lon":%.9f,"alt_ft":3000%s})", lat, lon, extra.c_str());
    return text;
}

// ---- records, kinds and conversions -----------------------------------------

using PluginRecordsTest = PluginFixture;

TEST_F(PluginRecordsTest, FlightDataFromPrimaryAndMetricKeys) {
    feed(R"({"type":"xp12_telemetry","lat":47.5,"lon":8.5,"alt_ft":1500,"alt_ind_ft":1490,"alt_agl_ft":400,
             "pressure_alt_ft":1510,"ias_kt":120,"hdg_deg":275,"vs_fpm":-700,"pitch_deg":2.5,"bank_deg":-3,
             "ground_speed_kt":130,"fuel_mass_kg":1000,"fuel_density_kg_l":0.8})");
    // Without a pressure or indicated altitude the true one serves; without a
    // fuel density the volume is weight / 6.7.
    feed(R"({"lat":1,"lon":2,"alt_m":1000,"alt_agl_m":10,"ias_kt":100,"ias_mps":10,"heading":90,"vs_mps":5,
             "ground_speed_mps":50,"fuel_mass_kg":1000})");
    EXPECT_THAT(fields(output.flights(),
                       [](const FlightData& f) {
                           return Values{f.latitude,          f.longitude,     f.altitude,     f.altitudeIndicated,
                                         f.altitudeAgl,       f.pressureAltitude, f.airspeedIndicated, f.heading,
                                         f.verticalSpeed,     f.pitch,         f.bank,         f.groundSpeedGps,
                                         f.fuelWeight,        f.fuelVolume};
                       }),
                Near({47.5, 8.5, 1500, 1490, 400, 1510, 120, 275, -700, 2.5, -3, 130, 2204.6226, 330.2151,  //
                      1, 2, 3280.8399, 3280.8399, 32.8084, 3280.8399, 100, 90, 984.2520, 0, 0, 97.1922, 2204.6226,
                      329.0482}));
    EXPECT_EQ(provider.getXPlaneVersion(), 12);
}

// The first present alternative wins; number strings count up to their first
// non-number; non-finite spellings count as absent.
TEST_F(PluginRecordsTest, AlternativeKeysAndNumberStrings) {
    feed(R"({"lat":1,"lon":2,"altitude":"250.5 ft","ias_kts":"  80","ias_mps":10,"fuel_density_kg_l":0.8})");
    feed(R"({"lat":1,"lon":2,"alt_ft":"unknown","alt_m":"n/a","alt_ind_ft":700,"ias_mps":10})");
    feed(R"({"lat":1,"lon":2,"alt_ft":"INF","alt_ind_ft":" +42.5e1xyz","ias_kt":"infinity"})");
    EXPECT_THAT(fields(output.flights(),
                       [](const FlightData& f) { return Values{f.altitude, f.airspeedIndicated, f.fuelWeight}; }),
                Near({250.5, 80, 0, 700, 19.4384, 0, 425, 0, 0}));

    // No position or altitude: no flight data, but the other records follow.
    output.clear();
    feed(R"({"lat":1,"lon":2,"alt_ft":"nan","alt_m":"inf","altitude":"-Infinity","alt_ind_ft":"1e999",
             "sim_on_ground":true,"light_nav":1,"aircraft_name":"Cessna"})");
    EXPECT_EQ(output.systems().size(), 1u);
    EXPECT_EQ(output.equipment().size(), 1u);
    EXPECT_EQ(output.titles().size(), 1u);
    feed(R"({"lat":"north","lon":"east","alt_ft":"high"})");
    EXPECT_TRUE(output.flights().empty());
}

// Flags take booleans, numbers over 0.5 and the strings "true"/"1"/"false"/"0".
TEST_F(PluginRecordsTest, EquipmentFlagsBrakeAndCanopy) {
    feed(R"({"light_beacon":true,"light_nav":0.51,"light_landing":"true","light_taxi":"1","light_strobe":"yes",
             "parking_brake_ratio":0.8,"canopy_open":0.6})");
    feed(R"({"light_beacon":false,"light_nav":0.5,"light_landing":"false","light_taxi":"0","light_strobe":[1],
             "parking_brake_ratio":1.7,"canopy_open":0.5})");
    feed(R"({"parking_brake_ratio":0.3})");
    feed(R"({"light_strobe":"on","light_beacon":null})");  // nothing readable: no record
    EXPECT_THAT(fields(output.equipment(),
                       [](const EquipmentData& e) {
                           return Values{e.lightBeacon, e.lightNav,     e.lightLanding,
                                         e.lightTaxi,   e.lightStrobe,  e.parkingBrake,
                                         e.parkingBrakeSwitchPercent,   e.doorMain};
                       }),
                Near({1, 1, 1, 1, 0, 1, 80, 1, 0, 0, 0, 0, 0, 1, 100, 0, 0, 0, 0, 0, 0, 0, 30, 0}));
}

TEST_F(PluginRecordsTest, GearRules) {
    feed(R"({"gear_deploy_ratio":[1.0,0.4,1.0]})");
    feed(R"({"gear_retractable":false,"gear_deploy_ratio":0.0,"gear_handle_down":0})");
    feed(R"({"gear_retractable":true,"gear_handle_down":1})");
    feed(R"({"gear_handle_down":0.9})");
    feed(R"({"gear_handle_down":0.2})");
    feed(R"({"gear_deploy_ratio":["0.7","x",0.9,null]})");
    feed(R"({"gear_deploy_ratio":1.4})");
    feed(R"({"gear_deploy_ratio":["x"],"gear_handle_down":1})");  // a list without numbers: the handle decides
    EXPECT_THAT(fields(output.systems(),
                       [](const SystemsData& s) { return Values{double(s.gearPosition), s.gearTotalPctExtended}; }),
                Near({0, 40, 1, 100, 0, 0, 1, 100, 0, 0, 1, 70, 1, 100, 1, 100}));
}

TEST_F(PluginRecordsTest, FlapsSpoilersEnginesAndOtherSystems) {
    feed(R"({"flaps_handle_ratio":0.5,"flap_detents":3,"autopilot_mode":2,"spoilers_ratio":0.25,
             "apu_generator_on":"1","simulation_rate":2,"sim_on_ground":false,"onground":true,"engine_running":[1,0]})");
    feed(R"({"flaps_handle_ratio":0.375,"flap_detents":0,"spoilers_ratio":-1,"engine_running":["x",1,"0.9",true,1]})");
    feed(R"({"flaps_handle_ratio":1.5,"flap_detents":4,"onground":1,"engine_running":[0,0,0,0,1]})");
    feed(R"({"flap_detents":4,"autopilot_mode":0.5,"engine_running":["x",null]})");
    // 0.5 of 3 detents is 1.5, rounded away from zero; without detents a
    // percentage. A non-number is an engine that is not running, not a gap.
    EXPECT_THAT(fields(output.systems(),
                       [](const SystemsData& s) {
                           return Values{s.flapsHandleIndex, s.autopilotMaster,   s.spoilersHandlePosition,
                                         s.apuGeneratorActive, s.simulationRate, s.simOnGround, s.landFlapsPosition,
                                         s.engine1Running,   s.engine2Running,    s.engine3Running, s.engine4Running};
                       }),
                Near({2, 1, 25, 1, 2, 0, 0, 1, 0, 0, 0,  //
                      37.5, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0,  //
                      4, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0,  //
                      0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PluginRecordsTest, AircraftInfoOncePerSampleAfterANameIsKnown) {
    feed(R"({"aircraft_name":""})");
    feed(R"({"aircraft_name":"Boeing 737-800"})");
    feed(R"({"lat":1})");
    feed(R"({"aircraft_name":""})");
    EXPECT_EQ(output.titles(), (std::vector<std::string>{"Boeing 737-800", "Boeing 737-800", "Boeing 737-800"}));

    // Cut to 255 bytes, never inside a character.
    output.clear();
    feed(R"({"aircraft_name":")" + std::string(254, 'A') + "\xC3\xA9" + R"("})");
    feed(R"({"aircraft_name":")" + std::string(300, 'B') + R"("})");
    EXPECT_EQ(output.titles(), (std::vector<std::string>{std::string(254, 'A'), std::string(255, 'B')}));
}

TEST_F(PluginRecordsTest, VersionsFromTypeNumberAndMajor) {
    const std::pair<const char*, int> samples[] = {
        {R"({"type":"xp11_telemetry"})", 11},
        {R"({"xplane_version":120005})", 12},
        {R"({"xplane_version":11550})", 11},
        {R"({"xplane_version":999,"type":"xp_telemetry"})", 11},
        {R"({"xplane_version":1205})", 12},
        {R"({"type":"xp12_telemetry","xplane_version":11550,"xplane_major":"13"})", 13},
        {R"({"xplane_major":0,"type":7})", 13},
    };
    EXPECT_EQ(provider.getXPlaneVersion(), 0);
    for (const auto& [sample, version] : samples) {
        feed(sample);
        EXPECT_EQ(provider.getXPlaneVersion(), version) << sample;
    }
    provider.disconnect();
    EXPECT_EQ(provider.getXPlaneVersion(), 0);
}

// ---- events ---------------------------------------------------------------

using PluginEventsTest = PluginFixture;

TEST_F(PluginEventsTest, PauseOnEveryChangeAndCrashOncePerCrash) {
    for (const char* sample : {R"({"paused":false})", R"({"paused":false})", R"({"lat":1})", R"({"paused":true})",
                               R"({"paused":"1"})", R"({"paused":0})"}) {
        feed(sample);
    }
    EXPECT_EQ(output.events(), (Events{{0, 0}, {0, 1}, {0, 0}}));

    output.clear();
    feed(R"({"crash_detected":false})");
    for (int i = 0; i < 5; ++i) feed(R"({"crash_detected":true})");
    feed(R"({"crash_detected":false})");
    feed(R"({"crash_detected":true})");
    EXPECT_EQ(output.events(), (Events{{1, 1}, {1, 1}}));
}

TEST_F(PluginEventsTest, EndOfFlightOnlyInActiveMode) {
    provider.setPreflightMode();
    feed(R"({"session_id":1,"aircraft_name":"A"})");
    feed(R"({"session_id":2,"aircraft_name":"B"})");
    provider.setActiveMode();
    feed(R"({"session_id":2,"aircraft_name":"B"})");
    EXPECT_TRUE(output.events().empty());
    feed(R"({"session_id":3})");  // the new id was remembered in preflight
    feed(R"({"aircraft_name":"C"})");
    feed(R"({"session_id":4,"aircraft_name":"D"})");  // both in one sample: one end of flight
    EXPECT_EQ(output.events(), (Events{{2, 0}, {2, 0}, {2, 0}}));

    provider.setIdleMode();
    feed(R"({"session_id":5,"aircraft_name":"E"})");
    EXPECT_EQ(output.events().size(), 3u);
}

TEST_F(PluginEventsTest, SessionChangeWithoutEventReceiverIsStillRemembered) {
    provider.setSimEventCallback({});
    provider.setActiveMode();
    feed(R"({"session_id":1})");
    feed(R"({"session_id":2})");
    output.attachTo(provider);
    feed(R"({"session_id":2})");
    EXPECT_TRUE(output.events().empty());
}

// ---- touchdown --------------------------------------------------------------

using PluginTouchdownTest = PluginFixture;

TEST_F(PluginTouchdownTest, OneLandingRecordPerTouchdown) {
    feed(R"({"sim_on_ground":true,"lat":1,"lon":2})");
    feed(R"({"sim_on_ground":false,"alt_agl_ft":300,"lat":1,"lon":2})");
    feed(R"({"sim_on_ground":true,"lat":37.5,"lon":-122.25,"bank_deg":1.5,"hdg_deg":284,"pitch_deg":3.2,
             "vs_fpm":-185})");
    feed(R"({"sim_on_ground":true,"lat":37.5,"lon":-122.25})");
    feed(R"({"onground":true,"lat":37.5,"lon":-122.25})");
    // Second flight, without optional values.
    feed(R"({"onground":false})");
    feed(R"({"onground":true,"lat":1,"lon":2})");
    EXPECT_THAT(fields(output.landings(),
                       [](const LandingData& l) {
                           return Values{l.touchdownBankDegrees,     l.touchdownHeadingDegreesMagnetic,
                                         l.touchdownLatitudeDegrees, l.touchdownLongitudeDegrees,
                                         l.touchdownPitchDegrees,    l.touchdownRate};
                       }),
                Near({1.5, 284, 37.5, -122.25, 3.2, -185, 0, 0, 1, 2, 0, 0}));
}

TEST_F(PluginTouchdownTest, LowHopCountsAsFlightOnlyAfterHalfASecond) {
    feed(R"({"sim_on_ground":false,"alt_agl_ft":0.5})");
    clock.advance(400ms);
    feed(R"({"sim_on_ground":false,"alt_agl_ft":0.8})");
    feed(R"({"sim_on_ground":true,"lat":1,"lon":2})");
    EXPECT_TRUE(output.landings().empty());

    feed(R"({"sim_on_ground":false,"alt_agl_ft":0.5})");
    clock.advance(500ms);
    feed(R"({"sim_on_ground":false,"alt_agl_ft":0.5})");
    feed(R"({"sim_on_ground":true,"lat":1,"lon":2})");
    EXPECT_EQ(output.landings().size(), 1u);
}

TEST_F(PluginTouchdownTest, TouchdownWithoutPositionIsLostNotPostponed) {
    feed(R"({"sim_on_ground":false,"alt_agl_ft":100})");
    feed(R"({"sim_on_ground":true})");
    feed(R"({"sim_on_ground":true,"lat":1,"lon":2})");
    EXPECT_TRUE(output.landings().empty());
}

// ---- on-runway test ---------------------------------------------------------

// A 3000 m x 45 m runway along 090, and a strip too narrow to count.
XPlaneAirportRecord testAirport() {
    XPlaneAirportRecord airport;
    airport.icao = "TEST";
    airport.runways = {
        {.latitude = 37.6, .longitude = -122.4, .lengthMeters = 3000, .widthMeters = 45, .headingDegrees = 90},
        {.latitude = 37.7, .longitude = -122.4, .lengthMeters = 3000, .widthMeters = 1, .headingDegrees = 90}};
    return airport;
}

// On the ground at a given offset (metres east, north) from the runway centre.
std::string groundAt(double east, double north) {
    const double metresPerDegree = 6371000.0 * 3.141592653589793 / 180.0;
    const double lat = 37.6 + north / metresPerDegree;
    const double lon = -122.4 + east / (metresPerDegree * std::cos(37.6 * 3.141592653589793 / 180.0));
    return flightAt(lat, lon, R"(,"sim_on_ground":true)");
}

Values onRunway(const RecordedOutput& output) {
    return fields(output.systems(), [](const SystemsData& s) { return Values{s.onAnyRunway}; });
}

using PluginRunwayTest = PluginFixture;

TEST_F(PluginRunwayTest, OnRunwayInsideTheRectangleOnly) {
    provider.setActiveMode();
    provider.cacheAirport(testAirport());
    feed(groundAt(0, 0));
    feed(groundAt(1400, 20));     // inside: length/2 + 5, width/2 + 5
    feed(groundAt(-1504, -27));   // just inside the margins
    feed(groundAt(0, 28));        // beside the runway
    feed(groundAt(1506, 0));      // beyond its end
    feed(flightAt(37.7, -122.4, R"(,"sim_on_ground":true)"));  // on the 1 m wide strip: ignored
    feed(flightAt(37.6, -122.4, R"(,"sim_on_ground":false)"));
    feed(flightAt(37.6, -122.4, R"(,"sim_on_ground":true,"on_runway":false)"));
    EXPECT_EQ(onRunway(output), (Values{1, 1, 1, 0, 0, 0, 0, 0}));
}

TEST_F(PluginRunwayTest, OnlyInActiveModeAndWithACachedAirport) {
    provider.setActiveMode();
    feed(groundAt(0, 0));  // empty cache: not known
    provider.setPreflightMode();
    provider.cacheAirport(testAirport());
    feed(groundAt(0, 0));  // not active: not computed
    provider.setActiveMode();  // clears the cache
    feed(groundAt(0, 0));
    provider.cacheAirport(testAirport());
    feed(groundAt(0, 0));
    feed(R"({"on_runway":true})");
    EXPECT_EQ(onRunway(output), (Values{0, 0, 0, 1, 1}));
}

// ---- slew -------------------------------------------------------------------

// Degrees of latitude per nautical mile on the detector's sphere.
constexpr double kDegreesPerNm = 1852.0 / (6371000.0 * 3.141592653589793 / 180.0);

std::string at(double nmNorth, const std::string& extra = "") {
    char text[200];
    std::snprintf(text, sizeof(text), R"({"lat":%.10f,"lon":8.0,"alt_ft":5000%s})", 45.0 + nmNorth * kDegreesPerNm,
                  extra.c_str());
    return text;
}

struct SlewStep {
    SlewStep(std::string sample, int msToNext = 1000) : sample(std::move(sample)), msToNext(msToNext) {}
    SlewStep(const char* sample) : SlewStep(std::string(sample)) {}
    std::string sample;
    int msToNext;
};

class PluginSlewBase : public PluginFixture {
protected:
    // The slew flag after each sample, as '0'/'1'.
    std::string run(const std::vector<SlewStep>& steps) {
        std::string states;
        for (const SlewStep& step : steps) {
            feed(step.sample);
            const auto alerts = output.alerts();
            states += !alerts.empty() && alerts.back().isSlewActive == 1.0 ? '1' : '0';
            clock.advance(std::chrono::milliseconds(step.msToNext));
        }
        return states;
    }
};

struct SlewCase {
    const char* what;
    std::vector<SlewStep> steps;
    const char* states;
};

std::vector<SlewCase> slewCases() {
    const std::string ground = R"(,"sim_on_ground":true)", rate4 = R"(,"simulation_rate":4)";
    return {
        {"two jumps of 2 nm, 1 s apart", {at(0), at(2), at(4)}, "001"},
        {"two speeds of 2520 kt", {at(0), at(0.7), at(1.4)}, "001"},
        {"higher limit on the ground, scaled by the rate",
         {at(0, ground), at(0.7, ground), at(1.4, ground), at(2.1, rate4), at(2.8, rate4)}, "00000"},
        {"altitude jumps",
         {R"({"lat":45,"lon":8,"alt_ft":5000})", R"({"lat":45,"lon":8,"alt_ft":7500})",
          R"({"lat":45,"lon":8,"alt_ind_ft":10000})"}, "001"},
        {"relocations over 50 nm", {at(0), at(60), at(120), at(180), at(240)}, "00000"},
        {"samples under 0.5 s after the stored one are ignored",
         {{at(0), 300}, {at(2), 150}, {at(4), 550}, at(0.1), at(2.1), at(4.1)}, "000001"},
        {"two seconds of calm end it", {at(0), at(2), at(4), at(4.01), at(4.02), at(4.03)}, "001110"},
        {"a pause ends it",
         {at(0), at(2), at(4), at(4.01, R"(,"paused":true)"), at(4.02, R"(,"paused":false)"), at(6), at(8)},
         "0010001"},
        {"bad positions and a stopped clock reset the track",
         {at(0), at(2), R"({"lat":95,"lon":8,"alt_ft":5000})", at(4), at(6),
          R"({"lat":45,"lon":8,"simulation_rate":0})", at(8), at(10)}, "00000000"},
    };
}

class PluginSlewTest : public PluginSlewBase, public ::testing::WithParamInterface<SlewCase> {};

TEST_P(PluginSlewTest, FlagAfterEachSample) {
    provider.setActiveMode();
    EXPECT_EQ(run(GetParam().steps), GetParam().states) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PluginSlewTest, ::testing::ValuesIn(slewCases()));

using PluginSlewEndTest = PluginSlewBase;

TEST_F(PluginSlewEndTest, PreflightEndsTheSlew) {
    provider.setActiveMode();
    EXPECT_EQ(run({at(0), at(2), at(4)}), "001");
    provider.setPreflightMode();
    EXPECT_EQ(run({at(4.01)}), "0");
}

TEST_F(PluginSlewEndTest, AlertsCarryOverspeedAndStallAndAreSentOnChangeOnly) {
    feed(R"({"ias_kt":300,"vne_kt":250})");
    feed(R"({"ias_kt":310,"vne_kt":250})");
    feed(R"({"ias_kt":200,"vne_kt":250,"stall_warning_failure":1})");
    feed(R"({"stall_warning":0,"stall_warning_failure":1})");
    feed(R"({"ias_kt":200})");  // nothing known: skipped
    EXPECT_THAT(fields(output.alerts(),
                       [](const AlertData& a) { return Values{a.overspeedWarning, a.stallWarning, a.isSlewActive}; }),
                Near({1, 0, 0, 0, 1, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace navorel::test
