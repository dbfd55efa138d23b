// Sample processing of the plugin provider, fed through a real UDP socket:
// records, conversions, events, touchdown, on-runway and slew.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "XPlanePluginTestSupport.h"

namespace navorel::test {
namespace {

using PluginRecordsTest = PluginFixture;

// ---- records and conversions ------------------------------------------------

// Metric keys, alternatives and number strings, up to their first
// non-number; non-finite spellings count as absent. The true altitude stands
// in for the indicated and pressure ones, and weight / 6.7 gives the fuel
// volume without a density. No usable altitude or position, no flight data.
TEST_F(PluginRecordsTest, FlightDataKeysUnitsAndFallbacks) {
    feed(R"({"lat":1,"lon":2,"alt_m":1000,"alt_agl_m":10,"ias_kt":100,"ias_mps":10,"heading":90,"vs_mps":5,
             "ground_speed_mps":50,"fuel_mass_kg":1000})",
         R"({"lat":1,"lon":2,"altitude":"250.5 ft","ias_kts":"  80","ias_mps":10,"fuel_density_kg_l":0.8})",
         R"({"lat":1,"lon":2,"alt_ft":"unknown","alt_m":"n/a","alt_ind_ft":700,"ias_mps":10})",
         R"({"lat":1,"lon":2,"alt_ft":"INF","alt_ind_ft":" +42.5e1xyz","ias_kt":"infinity","pressure_alt_ft":9})",
         R"({"lat":1,"lon":2,"alt_ft":"nan","alt_m":"inf","altitude":"-Infinity","alt_ind_ft":"1e999"})",
         R"({"lat":"north","lon":"east","alt_ft":"high","aircraft_name":"Cessna"})");
    using F = FlightData;
    EXPECT_THAT(columns(output.all<F>(), &F::altitude, &F::altitudeIndicated, &F::pressureAltitude, &F::altitudeAgl,
                        &F::airspeedIndicated, &F::heading, &F::verticalSpeed, &F::groundSpeedGps, &F::fuelWeight,
                        &F::fuelVolume),
                Near({3280.8399, 3280.8399, 3280.8399, 32.8084, 100, 90, 984.2520, 97.1922, 2204.6226, 329.0482,  //
                      250.5, 250.5, 250.5, 0, 80, 0, 0, 0, 0, 0,  700, 700, 700, 0, 19.4384, 0, 0, 0, 0, 0,    //
                      425, 425, 9, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(output.all<std::string>(), std::vector<std::string>{"Cessna"});  // the other records follow
}

// The smallest leg counts and elements without a number are skipped; a list
// without numbers leaves the handle to decide.
TEST_F(PluginRecordsTest, GearRules) {
    feed(R"({"gear_deploy_ratio":[1.0,0.4,1.0]})", R"({"gear_retractable":false,"gear_deploy_ratio":0})",
         R"({"gear_retractable":true,"gear_handle_down":1})", R"({"gear_handle_down":0.9})",
         R"({"gear_handle_down":0})", R"({"gear_deploy_ratio":["0.7","x",0.9,null]})", R"({"gear_deploy_ratio":1.4})",
         R"({"gear_deploy_ratio":["x"],"gear_handle_down":1})");
    EXPECT_THAT(columns(output.all<SystemsData>(), &SystemsData::gearPosition, &SystemsData::gearTotalPctExtended),
                Near({0, 40, 1, 100, 0, 0, 1, 100, 0, 0, 1, 70, 1, 100, 1, 100}));
}

// 0.5 of 3 detents is 1.5, rounded away from zero; without detents a
// percentage. A non-number is an engine that is not running, not a gap.
TEST_F(PluginRecordsTest, FlapsSpoilersEnginesAndOtherSystems) {
    feed(R"({"flaps_handle_ratio":0.5,"flap_detents":3,"autopilot_mode":2,"spoilers_ratio":0.25,
             "apu_generator_on":"1","simulation_rate":2,"sim_on_ground":false,"onground":true,"engine_running":[1]})",
         R"({"flaps_handle_ratio":0.375,"flap_detents":0,"spoilers_ratio":-1,"engine_running":["x",1,"0.9",true,1]})",
         R"({"flaps_handle_ratio":1.5,"flap_detents":4,"onground":1,"engine_running":[0,0,0,0,1]})",
         R"({"flap_detents":4,"autopilot_mode":0.5,"engine_running":["x",null]})");
    using S = SystemsData;
    EXPECT_THAT(columns(output.all<S>(), &S::flapsHandleIndex, &S::autopilotMaster, &S::spoilersHandlePosition,
                        &S::apuGeneratorActive, &S::simulationRate, &S::simOnGround, &S::landFlapsPosition,
                        &S::engine1Running, &S::engine2Running, &S::engine3Running, &S::engine4Running),
                Near({2, 1, 25, 1, 2, 0, 0, 1, 0, 0, 0,  37.5, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0,  //
                      4, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0,   0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
}

// With every sample once a name is known; cut to 255 bytes, never inside a character.
TEST_F(PluginRecordsTest, AircraftTitle) {
    feed(R"({"aircraft_name":""})", R"({"aircraft_name":"B737"})", R"({"lat":1})", R"({"aircraft_name":""})",
         R"({"aircraft_name":")" + std::string(254, 'A') + "\xC3\xA9\"}",
         R"({"aircraft_name":")" + std::string(300, 'B') + "\"}");
    EXPECT_EQ(output.all<std::string>(),
              (std::vector<std::string>{"B737", "B737", "B737", std::string(254, 'A'), std::string(255, 'B')}));
}

TEST_F(PluginRecordsTest, VariantIsTheLastReportedMajorVersion) {
    EXPECT_EQ(provider.simulatorVariant(), "unknown");
    feed(R"({"xplane_version":120005})", R"({"xplane_major":0,"type":7})");  // the second reports none
    EXPECT_EQ(provider.simulatorVariant(), "12");
    provider.disconnect();
    EXPECT_EQ(provider.simulatorVariant(), "unknown");
}

// ---- events -----------------------------------------------------------------

using PluginEventsTest = PluginFixture;

// Flags take booleans, numbers over 0.5 and the texts "true", "1", "false"
// and "0"; anything else counts as absent.
TEST_F(PluginEventsTest, PauseOnEveryChangeAndCrashOncePerCrash) {
    feed(R"({"paused":false})", R"({"paused":false})", R"({"lat":1})", R"({"paused":true})", R"({"paused":"1"})",
         R"({"paused":0})", R"({"paused":0.51})", R"({"paused":0.5})", R"({"paused":"yes"})", R"({"paused":[1]})",
         R"({"paused":"false"})", R"({"paused":"true"})", R"({"paused":"false"})", R"({"crash_detected":false})",
         R"({"crash_detected":true})",
         R"({"crash_detected":true})", R"({"crash_detected":false})", R"({"crash_detected":true})");
    EXPECT_EQ(output.all<Event>(), (Events{{0, 0}, {0, 1}, {0, 0}, {0, 1}, {0, 0}, {0, 1}, {0, 0}, {1, 1}, {1, 1}}));
}

// Remembered in every mode, also without an event receiver; reported in
// active mode only, once when both change in one sample.
TEST_F(PluginEventsTest, EndOfFlightOnANewSessionOrAircraft) {
    provider.setPreflightMode();
    feed(R"({"session_id":1,"aircraft_name":"A"})", R"({"session_id":2,"aircraft_name":"B"})");
    provider.setActiveMode();
    feed(R"({"session_id":2,"aircraft_name":"B"})", R"({"session_id":3})", R"({"aircraft_name":"C"})",
         R"({"session_id":4,"aircraft_name":"D"})");
    provider.setSimEventCallback({});
    feed(R"({"session_id":5})");
    output.attachTo(provider);
    feed(R"({"session_id":5})");
    EXPECT_EQ(output.all<Event>(), (Events{{2, 0}, {2, 0}, {2, 0}}));
}

// However much one sample carries, every event and record reaches the receivers.
TEST_F(PluginEventsTest, OneSampleDeliversEveryEventAndRecordInOrder) {
    provider.setActiveMode();
    feed(R"({"session_id":1,"sim_on_ground":false,"alt_agl_ft":300})");  // systems data
    const std::string everything =
        R"({"paused":true,"crash_detected":true,"session_id":2,"sim_on_ground":true,"lat":1,"lon":2,"alt_ft":3,
            "parking_brake_ratio":1.7,"canopy_open":0.5,"aircraft_name":"A","ias_kt":300,"vne_kt":250,
            "stall_warning":0,"stall_warning_failure":1})";
    feed(everything, everything);
    // The first sample's systems record; then three events, landing, flight,
    // systems, equipment, aircraft and alert; from the same sample again only
    // the records, without an unchanged alert.
    EXPECT_EQ(output.kinds(), "3" "000123456" "2345");
    EXPECT_EQ(output.all<Event>(), (Events{{0, 1}, {1, 1}, {2, 0}}));
    // The brake ratio is clamped, the door opens above half, the stall warning wins over its failure flag.
    EXPECT_EQ(columns(output.all<EquipmentData>(), &EquipmentData::parkingBrake,
                      &EquipmentData::parkingBrakeSwitchPercent, &EquipmentData::doorMain),
              (Values{1, 100, 0, 1, 100, 0}));
    EXPECT_EQ(columns(output.all<AlertData>(), &AlertData::overspeedWarning, &AlertData::stallWarning),
              (Values{1, 0}));
}

// ---- touchdown --------------------------------------------------------------

using PluginTouchdownTest = PluginFixture;

// One record per touchdown, with the touchdown sample's values; a touchdown
// without a position is lost, not postponed.
TEST_F(PluginTouchdownTest, OneLandingRecordPerTouchdown) {
    feed(R"({"sim_on_ground":true,"lat":1,"lon":2})", R"({"sim_on_ground":false,"alt_agl_ft":300})",
         R"({"sim_on_ground":true,"lat":37.5,"lon":-122.25,"bank_deg":1.5,"hdg_deg":284,"pitch_deg":3.2,
             "vs_fpm":-185})",
         R"({"sim_on_ground":true,"lat":37.5,"lon":-122.25})", R"({"onground":true,"lat":37.5,"lon":-122.25})",
         R"({"onground":false})", R"({"onground":true,"lat":1,"lon":2})",  // a second flight, bare
         R"({"onground":false})", R"({"onground":true})", R"({"onground":true,"lat":1,"lon":2})");
    using L = LandingData;
    EXPECT_THAT(columns(output.all<L>(), &L::touchdownBankDegrees, &L::touchdownHeadingDegreesMagnetic,
                        &L::touchdownLatitudeDegrees, &L::touchdownLongitudeDegrees, &L::touchdownPitchDegrees,
                        &L::touchdownRate),
                Near({1.5, 284, 37.5, -122.25, 3.2, -185, 0, 0, 1, 2, 0, 0}));
}

// A hop under 1 ft counts as a flight only after half a second.
TEST_F(PluginTouchdownTest, LowHopCountsAsFlightOnlyAfterHalfASecond) {
    for (const auto& [hop, landings] : {std::pair{400ms, 0u}, std::pair{500ms, 1u}}) {
        feed(R"({"sim_on_ground":false,"alt_agl_ft":0.5})");
        clock.advance(hop);
        feed(R"({"sim_on_ground":false,"alt_agl_ft":0.8})", R"({"sim_on_ground":true,"lat":1,"lon":2})");
        EXPECT_EQ(output.all<LandingData>().size(), landings) << hop.count();
    }
}

// ---- on-runway and slew -----------------------------------------------------

constexpr double kMetresPerDegree = 6371000.0 * std::numbers::pi / 180.0;

// A sample this many metres east and north of 37.6N 122.4W.
std::string at(double east, double north, const std::string& extra) {
    char text[200];
    std::snprintf(text, sizeof(text), R"({"lat":%.9f,"lon":%.9f,"alt_ft":3000%s})", 37.6 + north / kMetresPerDegree,
                  -122.4 + east / (kMetresPerDegree * std::cos(37.6 * std::numbers::pi / 180.0)), extra.c_str());
    return text;
}

// A 3000 m x 45 m runway along 090 centred there: inside are length/2 + 5
// and width/2 + 5 metres. A strip 1 m wide 1 km north is ignored.
TEST_F(PluginRecordsTest, OnRunwayInsideTheRectangleInActiveModeWithACachedAirport) {
    XPlaneAirportRecord airport;
    airport.icao = "TEST";
    for (const double metresNorth : {0, 1000}) {
        airport.runways.push_back({.latitude = 37.6 + metresNorth / kMetresPerDegree, .longitude = -122.4,
                                   .lengthMeters = 3000, .widthMeters = metresNorth == 0 ? 45.0 : 1.0,
                                   .headingDegrees = 90});
    }
    const std::string ground = R"(,"sim_on_ground":true)";
    provider.setActiveMode();
    feed(at(0, 0, ground));  // empty cache: not known
    provider.setPreflightMode();
    provider.cacheAirport(airport);
    feed(at(0, 0, ground));    // not active: not computed
    provider.setActiveMode();  // clears the cache
    feed(at(0, 0, ground));
    provider.cacheAirport(airport);
    feed(at(0, 0, ground), at(1400, 20, ground), at(-1504, -27, ground), at(0, 28, ground), at(1506, 0, ground),
         at(0, 1000, ground), at(0, 0, R"(,"sim_on_ground":false)"), at(0, 0, ground + R"(,"on_runway":false)"),
         R"({"on_runway":true})");
    EXPECT_EQ(columns(output.all<SystemsData>(), &SystemsData::onAnyRunway),
              (Values{0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1}));
}

struct SlewCase {
    const char* what;
    std::vector<std::string> samples;  // "preflight" switches to preflight mode instead
    const char* states;                // the slew flag after each sample
    std::vector<int> msToNext = {};    // 1000 for the rest
};

class PluginSlewTest : public PluginFixture, public ::testing::WithParamInterface<SlewCase> {};

TEST_P(PluginSlewTest, FlagAfterEachSample) {
    const SlewCase& c = GetParam();
    provider.setActiveMode();
    std::string states;
    for (std::size_t i = 0; i < c.samples.size(); ++i) {
        if (c.samples[i] == "preflight") {
            provider.setPreflightMode();
            continue;
        }
        feed(c.samples[i]);
        const auto alerts = output.all<AlertData>();
        states += !alerts.empty() && alerts.back().isSlewActive == 1.0 ? '1' : '0';
        clock.advance(std::chrono::milliseconds(i < c.msToNext.size() ? c.msToNext[i] : 1000));
    }
    EXPECT_EQ(states, c.states) << c.what;
}

// Positions this many nautical miles north.
std::string nm(double north, const std::string& extra = "") { return at(0, north * 1852.0, extra); }

INSTANTIATE_TEST_SUITE_P(Scenarios, PluginSlewTest, ::testing::ValuesIn(std::vector<SlewCase>{
    {"two jumps of 2 nm, 1 s apart", {nm(0), nm(2), nm(4)}, "001"},
    {"two speeds of 2520 kt", {nm(0), nm(0.7), nm(1.4)}, "001"},
    {"higher limit on the ground, scaled by the rate",
     {nm(0, R"(,"sim_on_ground":true)"), nm(0.7, R"(,"sim_on_ground":true)"), nm(1.4, R"(,"sim_on_ground":true)"),
      nm(2.1, R"(,"simulation_rate":4)"), nm(2.8, R"(,"simulation_rate":4)")}, "00000"},
    {"altitude jumps", {R"({"lat":45,"lon":8,"alt_ft":5000})", R"({"lat":45,"lon":8,"alt_ft":7500})",
                        R"({"lat":45,"lon":8,"alt_ind_ft":10000})"}, "001"},
    {"relocations over 50 nm", {nm(0), nm(60), nm(120), nm(180), nm(240)}, "00000"},
    {"samples under 0.5 s after the stored one are ignored",
     {nm(0), nm(2), nm(4), nm(0.1), nm(2.1), nm(4.1)}, "000001", {300, 150, 550}},
    {"two seconds of calm end it", {nm(0), nm(2), nm(4), nm(4.01), nm(4.02), nm(4.03)}, "001110"},
    {"a pause ends it",
     {nm(0), nm(2), nm(4), nm(4.01, R"(,"paused":true)"), nm(4.02, R"(,"paused":false)"), nm(6), nm(8)}, "0010001"},
    {"preflight ends it", {nm(0), nm(2), nm(4), "preflight", nm(4.01)}, "0010"},
    {"bad positions and a stopped clock reset the track",
     {nm(0), nm(2), R"({"lat":95,"lon":-122.4,"alt_ft":3000})", nm(4), nm(6),
      R"({"lat":37.6,"lon":-122.4,"simulation_rate":0})", nm(8), nm(10)}, "00000000"},
}));

}  // namespace
}  // namespace navorel::test
