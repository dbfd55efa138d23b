#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "XPlanePluginTestSupport.h"

namespace navorel::test {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Reads a field of a packed record by value: a reference to it may be misaligned.
template <typename T>
T v(T value) {
    return value;
}

std::string flightAt(double lat, double lon, const std::string& extra = "") {
    char text[160];
    std::snprintf(text, sizeof(text), R"({"lat":%.9f,"lon":%.9f,"alt_ft":3000%s})", lat, lon, extra.c_str());
    return text;
}

// ---- records, kinds and conversions -----------------------------------------

using PluginRecordsTest = PluginFixture;

TEST_F(PluginRecordsTest, FlightDataFromPrimaryKeys) {
    feed(R"({"type":"xp12_telemetry","lat":47.5,"lon":8.5,"alt_ft":1500,"alt_ind_ft":1490,"alt_agl_ft":400,
             "pressure_alt_ft":1510,"ias_kt":120,"hdg_deg":275,"vs_fpm":-700,"pitch_deg":2.5,"bank_deg":-3,
             "ground_speed_kt":130,"fuel_mass_kg":1000,"fuel_density_kg_l":0.8})");
    const auto flights = output.flights();
    ASSERT_EQ(flights.size(), 1u);
    const FlightData& f = flights[0];
    EXPECT_DOUBLE_EQ(f.latitude, 47.5);
    EXPECT_DOUBLE_EQ(f.longitude, 8.5);
    EXPECT_DOUBLE_EQ(f.altitude, 1500);
    EXPECT_DOUBLE_EQ(f.altitudeIndicated, 1490);
    EXPECT_DOUBLE_EQ(f.altitudeAgl, 400);
    EXPECT_DOUBLE_EQ(f.pressureAltitude, 1510);
    EXPECT_DOUBLE_EQ(f.airspeedIndicated, 120);
    EXPECT_DOUBLE_EQ(f.heading, 275);
    EXPECT_DOUBLE_EQ(f.verticalSpeed, -700);
    EXPECT_DOUBLE_EQ(f.pitch, 2.5);
    EXPECT_DOUBLE_EQ(f.bank, -3);
    EXPECT_DOUBLE_EQ(f.groundSpeedGps, 130);
    EXPECT_NEAR(f.fuelWeight, 2204.6226, 5e-5);
    EXPECT_NEAR(f.fuelVolume, 330.2151, 5e-5);
    EXPECT_EQ(provider.getXPlaneVersion(), 12);
}

TEST_F(PluginRecordsTest, AlternativeKeysAreConvertedAndTheFirstPresentWins) {
    feed(R"({"lat":1,"lon":2,"alt_m":1000,"alt_agl_m":10,"ias_kt":100,"ias_mps":10,"heading":90,"vs_mps":5,
             "ground_speed_mps":50,"fuel_mass_kg":1000})");
    auto flights = output.flights();
    ASSERT_EQ(flights.size(), 1u);
    EXPECT_DOUBLE_EQ(flights[0].altitude, 3280.839895013123);
    EXPECT_DOUBLE_EQ(flights[0].altitudeIndicated, 3280.839895013123);
    EXPECT_DOUBLE_EQ(flights[0].pressureAltitude, 3280.839895013123);
    EXPECT_DOUBLE_EQ(flights[0].altitudeAgl, 32.80839895013123);
    EXPECT_DOUBLE_EQ(flights[0].airspeedIndicated, 100);  // ias_kt wins, unconverted
    EXPECT_DOUBLE_EQ(flights[0].heading, 90);
    EXPECT_DOUBLE_EQ(flights[0].verticalSpeed, 5 * 196.8503937007874);
    EXPECT_DOUBLE_EQ(flights[0].groundSpeedGps, 50 * 1.9438444924406046);
    EXPECT_NEAR(flights[0].fuelVolume, 329.0482, 5e-5);  // no density: weight / 6.7

    output.clear();
    feed(R"({"lat":1,"lon":2,"altitude":"250.5 ft","ias_kts":"  80","ias_mps":10,"fuel_density_kg_l":0.8})");
    flights = output.flights();
    ASSERT_EQ(flights.size(), 1u);
    EXPECT_DOUBLE_EQ(flights[0].altitude, 250.5);
    EXPECT_DOUBLE_EQ(flights[0].airspeedIndicated, 80);
    EXPECT_DOUBLE_EQ(flights[0].fuelWeight, 0);
    EXPECT_DOUBLE_EQ(flights[0].fuelVolume, 0);

    output.clear();
    feed(R"({"lat":1,"lon":2,"alt_ft":"unknown","alt_m":"n/a","alt_ind_ft":700,"ias_mps":10})");
    flights = output.flights();
    ASSERT_EQ(flights.size(), 1u);
    EXPECT_DOUBLE_EQ(flights[0].altitude, 700);  // no true altitude: the indicated one
    EXPECT_DOUBLE_EQ(flights[0].airspeedIndicated, 19.438444924406046);
}

TEST_F(PluginRecordsTest, FlightDataNeedsPositionAndAltitudeButOtherRecordsStillFollow) {
    feed(R"({"lat":1,"lon":2,"ias_kt":100,"sim_on_ground":true,"light_nav":1,"aircraft_name":"Cessna"})");
    EXPECT_TRUE(output.flights().empty());
    EXPECT_EQ(output.systems().size(), 1u);
    EXPECT_EQ(output.equipment().size(), 1u);
    EXPECT_EQ(output.titles().size(), 1u);

    feed(R"({"lat":"north","lon":"east","alt_ft":"high"})");
    EXPECT_TRUE(output.flights().empty());
}

TEST_F(PluginRecordsTest, NumberStringsWithoutAFiniteNumberCountAsAbsent) {
    feed(R"({"lat":1,"lon":2,"alt_ft":"nan","alt_m":"inf","altitude":"-Infinity","alt_ind_ft":"1e999",
             "ias_kt":"NaN","ias_mps":" 10 m/s"})");
    EXPECT_TRUE(output.flights().empty());

    feed(R"({"lat":1,"lon":2,"alt_ft":"INF","alt_ind_ft":" +42.5e1xyz","ias_kt":"infinity"})");
    const auto flights = output.flights();
    ASSERT_EQ(flights.size(), 1u);
    EXPECT_DOUBLE_EQ(flights[0].altitude, 425);
    EXPECT_DOUBLE_EQ(flights[0].airspeedIndicated, 0);
}

TEST_F(PluginRecordsTest, FlagsAcceptBooleansNumbersAndFourStrings) {
    feed(R"({"light_beacon":true,"light_nav":0.51,"light_landing":"true","light_taxi":"1","light_strobe":"yes"})");
    feed(R"({"light_beacon":false,"light_nav":0.5,"light_landing":"false","light_taxi":"0","light_strobe":[1]})");
    const auto equipment = output.equipment();
    ASSERT_EQ(equipment.size(), 2u);
    EXPECT_EQ(equipment[0].lightBeacon, 1.0);
    EXPECT_EQ(equipment[0].lightNav, 1.0);
    EXPECT_EQ(equipment[0].lightLanding, 1.0);
    EXPECT_EQ(equipment[0].lightTaxi, 1.0);
    EXPECT_EQ(equipment[0].lightStrobe, 0.0);
    EXPECT_EQ(equipment[1].lightBeacon, 0.0);
    EXPECT_EQ(equipment[1].lightNav, 0.0);
    EXPECT_EQ(equipment[1].lightLanding, 0.0);
    EXPECT_EQ(equipment[1].lightTaxi, 0.0);

    // Only unreadable flags: no equipment record at all.
    feed(R"({"light_strobe":"on","light_beacon":null})");
    EXPECT_EQ(output.equipment().size(), 2u);
}

TEST_F(PluginRecordsTest, EquipmentParkingBrakeAndCanopy) {
    feed(R"({"parking_brake_ratio":0.8,"canopy_open":0.6})");
    feed(R"({"parking_brake_ratio":1.7,"canopy_open":0.5})");
    feed(R"({"parking_brake_ratio":0.3})");
    const auto e = output.equipment();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].parkingBrake, 1.0);
    EXPECT_DOUBLE_EQ(e[0].parkingBrakeSwitchPercent, 80);
    EXPECT_EQ(e[0].doorMain, 1.0);
    EXPECT_DOUBLE_EQ(e[1].parkingBrakeSwitchPercent, 100);
    EXPECT_EQ(e[1].doorMain, 0.0);
    EXPECT_EQ(e[2].parkingBrake, 0.0);
    EXPECT_DOUBLE_EQ(e[2].parkingBrakeSwitchPercent, 30);
    EXPECT_EQ(e[2].parkingBrakeLeverPosition, 0.0);
    EXPECT_EQ(e[2].parkingBrakeMipSwitch, 0.0);
    EXPECT_EQ(e[2].parkingBrakePosition, 0.0);
}

TEST_F(PluginRecordsTest, GearRules) {
    feed(R"({"gear_deploy_ratio":[1.0,0.4,1.0]})");
    feed(R"({"gear_retractable":false,"gear_deploy_ratio":0.0,"gear_handle_down":0})");
    feed(R"({"gear_retractable":true,"gear_handle_down":1})");
    feed(R"({"gear_handle_down":0.9})");
    feed(R"({"gear_handle_down":0.2})");
    feed(R"({"gear_deploy_ratio":["0.7","x",0.9,null]})");
    feed(R"({"gear_deploy_ratio":1.4})");
    feed(R"({"gear_deploy_ratio":["x"],"gear_handle_down":1})");
    const auto s = output.systems();
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ(v(s[0].gearPosition), 0);
    EXPECT_DOUBLE_EQ(v(s[0].gearTotalPctExtended), 40);
    EXPECT_EQ(v(s[1].gearPosition), 1);
    EXPECT_DOUBLE_EQ(v(s[1].gearTotalPctExtended), 100);
    EXPECT_EQ(v(s[2].gearPosition), 0);
    EXPECT_DOUBLE_EQ(v(s[2].gearTotalPctExtended), 0);
    EXPECT_EQ(v(s[3].gearPosition), 1);
    EXPECT_DOUBLE_EQ(v(s[3].gearTotalPctExtended), 100);
    EXPECT_EQ(v(s[4].gearPosition), 0);
    EXPECT_DOUBLE_EQ(v(s[4].gearTotalPctExtended), 0);
    EXPECT_EQ(v(s[5].gearPosition), 1);
    EXPECT_DOUBLE_EQ(v(s[5].gearTotalPctExtended), 70);
    EXPECT_DOUBLE_EQ(v(s[6].gearTotalPctExtended), 100);
    // A list without numbers is absent; the handle decides.
    EXPECT_EQ(v(s[7].gearPosition), 1);
    EXPECT_DOUBLE_EQ(v(s[7].gearTotalPctExtended), 100);
}

TEST_F(PluginRecordsTest, FlapsSpoilersAndOtherSystems) {
    feed(R"({"flaps_handle_ratio":0.5,"flap_detents":3,"autopilot_mode":2,"spoilers_ratio":0.25,
             "apu_generator_on":"1","simulation_rate":2,"sim_on_ground":false,"onground":true})");
    feed(R"({"flaps_handle_ratio":0.375,"flap_detents":0,"spoilers_ratio":-1})");
    feed(R"({"flaps_handle_ratio":1.5,"flap_detents":4,"onground":1})");
    feed(R"({"flap_detents":4,"autopilot_mode":0.5})");
    const auto s = output.systems();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_DOUBLE_EQ(v(s[0].flapsHandleIndex), 2);  // 1.5 rounds away from zero
    EXPECT_EQ(v(s[0].autopilotMaster), 1.0);
    EXPECT_DOUBLE_EQ(v(s[0].spoilersHandlePosition), 25);
    EXPECT_EQ(v(s[0].apuGeneratorActive), 1.0);
    EXPECT_DOUBLE_EQ(v(s[0].simulationRate), 2);
    EXPECT_EQ(v(s[0].simOnGround), 0.0);  // sim_on_ground wins over onground
    EXPECT_EQ(v(s[0].landFlapsPosition), 0.0);
    EXPECT_DOUBLE_EQ(v(s[1].flapsHandleIndex), 37.5);
    EXPECT_DOUBLE_EQ(v(s[1].spoilersHandlePosition), 0);
    EXPECT_DOUBLE_EQ(v(s[1].simulationRate), 1.0);
    EXPECT_DOUBLE_EQ(v(s[2].flapsHandleIndex), 4);
    EXPECT_EQ(v(s[2].simOnGround), 1.0);
    EXPECT_DOUBLE_EQ(v(s[3].flapsHandleIndex), 0);
    EXPECT_EQ(v(s[3].autopilotMaster), 0.0);
}

TEST_F(PluginRecordsTest, EngineFlagsKeepTheirPositions) {
    feed(R"({"engine_running":[1,0]})");
    feed(R"({"engine_running":["x",1,"0.9",true,1]})");
    feed(R"({"engine_running":[0,0,0,0,1]})");
    feed(R"({"engine_running":["x",null],"autopilot_mode":0})");
    const auto s = output.systems();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(v(s[0].engine1Running), 1.0);
    EXPECT_EQ(v(s[0].engine2Running), 0.0);
    EXPECT_EQ(v(s[0].engine3Running), 0.0);
    EXPECT_EQ(v(s[0].engine4Running), 0.0);
    // A non-number is an engine that is not running, not a gap that shifts the rest.
    EXPECT_EQ(v(s[1].engine1Running), 0.0);
    EXPECT_EQ(v(s[1].engine2Running), 1.0);
    EXPECT_EQ(v(s[1].engine3Running), 1.0);
    EXPECT_EQ(v(s[1].engine4Running), 0.0);
    EXPECT_EQ(v(s[2].engine4Running), 0.0);
    EXPECT_EQ(v(s[3].engine1Running), 0.0);
}

TEST_F(PluginRecordsTest, AircraftInfoOncePerSampleAfterANameIsKnown) {
    feed(R"({"aircraft_name":""})");
    EXPECT_TRUE(output.titles().empty());
    feed(R"({"aircraft_name":"Boeing 737-800"})");
    feed(R"({"lat":1})");
    feed(R"({"aircraft_name":""})");
    EXPECT_EQ(output.titles(), (std::vector<std::string>{"Boeing 737-800", "Boeing 737-800", "Boeing 737-800"}));

    output.clear();
    // Cut to 255 bytes, never inside a character.
    feed(R"({"aircraft_name":")" + std::string(254, 'A') + "\xC3\xA9" + R"("})");
    ASSERT_EQ(output.titles().size(), 1u);
    EXPECT_EQ(output.titles()[0], std::string(254, 'A'));
    output.clear();
    feed(R"({"aircraft_name":")" + std::string(300, 'B') + R"("})");
    EXPECT_EQ(output.titles().at(0), std::string(255, 'B'));
}

TEST_F(PluginRecordsTest, VersionsFromTypeNumberAndMajor) {
    EXPECT_EQ(provider.getXPlaneVersion(), 0);
    feed(R"({"type":"xp11_telemetry"})");
    EXPECT_EQ(provider.getXPlaneVersion(), 11);
    feed(R"({"xplane_version":120005})");
    EXPECT_EQ(provider.getXPlaneVersion(), 12);
    feed(R"({"xplane_version":11550})");
    EXPECT_EQ(provider.getXPlaneVersion(), 11);
    feed(R"({"xplane_version":999,"type":"xp_telemetry"})");
    EXPECT_EQ(provider.getXPlaneVersion(), 11);
    feed(R"({"xplane_version":1205})");
    EXPECT_EQ(provider.getXPlaneVersion(), 12);
    feed(R"({"type":"xp12_telemetry","xplane_version":11550,"xplane_major":"13"})");
    EXPECT_EQ(provider.getXPlaneVersion(), 13);
    feed(R"({"xplane_major":0,"type":7})");
    EXPECT_EQ(provider.getXPlaneVersion(), 13);
    provider.disconnect();
    EXPECT_EQ(provider.getXPlaneVersion(), 0);
}

// ---- events ---------------------------------------------------------------

using PluginEventsTest = PluginFixture;

TEST_F(PluginEventsTest, PauseIsReportedOnEveryChangeStartingWithTheFirstValue) {
    feed(R"({"paused":false})");
    feed(R"({"paused":false})");
    feed(R"({"lat":1})");
    feed(R"({"paused":true})");
    feed(R"({"paused":"1"})");
    feed(R"({"paused":0})");
    EXPECT_EQ(output.events(), (Events{{0, 0}, {0, 1}, {0, 0}}));
}

TEST_F(PluginEventsTest, CrashIsReportedOncePerCrash) {
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
    EXPECT_TRUE(output.events().empty());

    provider.setActiveMode();
    feed(R"({"session_id":2,"aircraft_name":"B"})");
    EXPECT_TRUE(output.events().empty());
    feed(R"({"session_id":3})");  // the new id was remembered in preflight
    EXPECT_EQ(output.events(), (Events{{2, 0}}));
    feed(R"({"aircraft_name":"C"})");
    EXPECT_EQ(output.events(), (Events{{2, 0}, {2, 0}}));
    // Both changing in one sample: one end of flight.
    feed(R"({"session_id":4,"aircraft_name":"D"})");
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
    const auto landings = output.landings();
    ASSERT_EQ(landings.size(), 1u);
    EXPECT_DOUBLE_EQ(landings[0].touchdownBankDegrees, 1.5);
    EXPECT_DOUBLE_EQ(landings[0].touchdownHeadingDegreesMagnetic, 284);
    EXPECT_DOUBLE_EQ(landings[0].touchdownLatitudeDegrees, 37.5);
    EXPECT_DOUBLE_EQ(landings[0].touchdownLongitudeDegrees, -122.25);
    EXPECT_DOUBLE_EQ(landings[0].touchdownPitchDegrees, 3.2);
    EXPECT_DOUBLE_EQ(landings[0].touchdownRate, -185);

    // Second flight, without optional values and no height reported.
    feed(R"({"onground":false})");
    feed(R"({"onground":true,"lat":1,"lon":2})");
    ASSERT_EQ(output.landings().size(), 2u);
    EXPECT_DOUBLE_EQ(output.landings()[1].touchdownRate, 0);
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

XPlaneAirportRecord testAirport() {
    XPlaneAirportRecord airport;
    airport.icao = "TEST";
    XPlaneRunwayRecord runway;
    runway.latitude = 37.6;
    runway.longitude = -122.4;
    runway.headingDegrees = 90.0;
    runway.lengthMeters = 3000.0;
    runway.widthMeters = 45.0;
    airport.runways.push_back(runway);
    XPlaneRunwayRecord tooSmall = runway;
    tooSmall.latitude = 37.7;
    tooSmall.widthMeters = 1.0;
    airport.runways.push_back(tooSmall);
    return airport;
}

// Point at a given offset (metres east, north) from the runway centre.
std::string groundAt(double east, double north) {
    const double metresPerDegree = 6371000.0 * 3.141592653589793 / 180.0;
    const double lat = 37.6 + north / metresPerDegree;
    const double lon = -122.4 + east / (metresPerDegree * std::cos(37.6 * 3.141592653589793 / 180.0));
    return flightAt(lat, lon, R"(,"sim_on_ground":true)");
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
    const auto s = output.systems();
    ASSERT_EQ(s.size(), 8u);
    const double expected[] = {1, 1, 1, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(v(s[i].onAnyRunway), expected[i]) << "sample " << i;
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
    const auto s = output.systems();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(v(s[0].onAnyRunway), 0.0);
    EXPECT_EQ(v(s[1].onAnyRunway), 0.0);
    EXPECT_EQ(v(s[2].onAnyRunway), 0.0);
    EXPECT_EQ(v(s[3].onAnyRunway), 1.0);
    EXPECT_EQ(v(s[4].onAnyRunway), 1.0);
}

class PluginAirportLookupTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        root = std::filesystem::temp_directory_path() /
               ("navorel-xpp-" + std::to_string(port) + "-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        const auto dir = root / "Global Scenery" / "Global Airports" / "Earth nav data";
        std::filesystem::create_directories(dir);
        std::ofstream apt(dir / "apt.dat");
        apt << "I\n1100 Version\n\n"
               "1 13 0 0 TEST Test Field\n"
               "100 45.00 1 0 0.25 0 2 1 09 37.60000000 -122.42000000 0 0 2 0 0 0 "
               "27 37.60000000 -122.38000000 0 0 2 0 0 0\n"
               "99\n";
    }
    void TearDown() override {
        provider.disconnect();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::filesystem::path root;
};

TEST_F(PluginAirportLookupTest, NearestAirportIsLookedUpAndUsedForTheRunwayTest) {
    provider.setXPlaneRoot(root.string());
    provider.setActiveMode();
    feed(R"({"nearest_airport_icao":"TEST","sim_on_ground":true,"lat":37.6,"lon":-122.4,"alt_ft":10})");
    ASSERT_EQ(output.systems().size(), 1u);
    EXPECT_EQ(v(output.systems()[0].onAnyRunway), 1.0);
    EXPECT_EQ(provider.getLastError(), "");

    feed(R"({"nearest_airport_icao":"ZZZZ","sim_on_ground":true,"lat":37.6,"lon":-122.4})");
    EXPECT_EQ(provider.getLastError(), "Airport not found in apt.dat");
    EXPECT_EQ(v(output.systems().at(1).onAnyRunway), 1.0);  // TEST stays cached

    XPlaneAirportRecord record;
    std::string error;
    EXPECT_TRUE(provider.loadAirport("test", record, error));
    EXPECT_EQ(record.icao, "TEST");
    ASSERT_EQ(record.runways.size(), 1u);
    EXPECT_FALSE(provider.loadAirport("", record, error));
    EXPECT_EQ(error, "ICAO cannot be empty");
    EXPECT_EQ(provider.getLastError(), "ICAO cannot be empty");
}

TEST_F(PluginAirportLookupTest, NoLookupOutsideActiveMode) {
    provider.setXPlaneRoot(root.string());
    provider.setPreflightMode();
    feed(R"({"nearest_airport_icao":"ZZZZ"})");
    EXPECT_EQ(provider.getLastError(), "");
}

// ---- acceptance of datagrams ------------------------------------------------

using PluginDatagramTest = PluginFixture;

TEST_F(PluginDatagramTest, BadDatagramsAreDroppedAndChangeNothing) {
    feed(R"({"paused":false,"lat":1,"lon":2,"alt_ft":3})");
    output.clear();
    sendDropped("not json");
    sendDropped(R"({"paused":true,)");
    sendDropped(R"([{"paused":true}])");
    sendDropped(R"("text")");
    sendDropped("42");
    sendDropped(R"({"type":"telemetry","paused":true})");
    sendDropped(R"({"type":"XP12_TELEMETRY","paused":true})");
    sendDropped(std::string(R"({"paused":true,"pad":")") + std::string(2984, 'x') + "\"}");  // 3000 bytes
    sendDropped("{\"paused\":true,\"name\":\"\xFF\xFE\"}");                                 // not UTF-8
    sendDropped("");
    provider.processMessages();  // only the markers
    EXPECT_TRUE(output.events().empty());
    EXPECT_TRUE(output.flights().empty());

    provider.requestDataSnapshot();  // the latest is the last marker, not a dropped one
    EXPECT_TRUE(output.events().empty());
}

TEST_F(PluginDatagramTest, TypeAcceptance) {
    feed(R"({"type":"xp_telemetry","paused":true})");
    feed(R"({"type":12,"paused":false})");
    feed(R"({"type":null,"paused":true})");
    feed(R"({"paused":false})");
    EXPECT_EQ(output.events(), (Events{{0, 1}, {0, 0}, {0, 1}, {0, 0}}));
}

TEST_F(PluginDatagramTest, LengthLimitIs2047Bytes) {
    const std::string head = R"({"paused":true,"pad":")";
    const std::string exact = head + std::string(2047 - head.size() - 2, 'x') + "\"}";
    const std::string over = head + std::string(2048 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(exact.size(), 2047u);
    ASSERT_EQ(over.size(), 2048u);
    sendDropped(over);
    provider.processMessages();
    EXPECT_TRUE(output.events().empty());
    feed(exact);
    EXPECT_EQ(output.events(), (Events{{0, 1}}));
}

TEST_F(PluginDatagramTest, QueueKeepsTheNewestHundred) {
    for (int batch = 0; batch < 15; ++batch) {
        const auto before = provider.acceptedDatagramCount();
        for (int i = 0; i < 10; ++i) {
            const int index = batch * 10 + i;
            ASSERT_EQ(plugin.sendTo(port, flightAt(index, 0)), platform::UdpSocket::SendResult::SENT);
        }
        ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() == before + 10; }));
    }
    provider.processMessages();
    const auto flights = output.flights();
    ASSERT_EQ(flights.size(), 100u);
    for (std::size_t i = 0; i < flights.size(); ++i) EXPECT_EQ(flights[i].latitude, 50.0 + i);
    provider.processMessages();
    EXPECT_EQ(output.flights().size(), 100u);
}

// ---- freshness, snapshot, connection ----------------------------------------

using PluginConnectionTest = PluginFixture;

TEST_F(PluginConnectionTest, AwaitingUntilTheFirstDatagram) {
    EXPECT_FALSE(provider.isConnected());
    clock.advance(10min);
    EXPECT_TRUE(provider.isAwaitingTelemetry());
    EXPECT_FALSE(provider.isConnected());
    send(R"({"lat":1})");
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    EXPECT_TRUE(provider.isConnected());
    EXPECT_TRUE(provider.connect());  // already running
    provider.disconnect();
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    EXPECT_FALSE(provider.isConnected());
    provider.disconnect();
}

TEST_F(PluginConnectionTest, FreshFiveSecondsWhenActiveAndFortyFiveOtherwise) {
    provider.setActiveMode();
    send(R"({"lat":1})");
    clock.advance(5000ms);
    EXPECT_TRUE(provider.isConnected());
    clock.advance(1ms);
    EXPECT_FALSE(provider.isConnected());
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    provider.setPreflightMode();
    EXPECT_TRUE(provider.isConnected());
    clock.advance(39999ms);
    EXPECT_TRUE(provider.isConnected());
    clock.advance(1ms);
    EXPECT_FALSE(provider.isConnected());
    provider.setIdleMode();
    EXPECT_FALSE(provider.isConnected());
    send(R"({"lat":1})");  // a new datagram makes it fresh again
    EXPECT_TRUE(provider.isConnected());
}

TEST_F(PluginConnectionTest, SnapshotRedeliversOnlyAFreshSample) {
    provider.requestDataSnapshot();  // nothing received yet
    EXPECT_TRUE(output.flights().empty());

    provider.setActiveMode();
    send(flightAt(10, 20));
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 1u);  // the queued copy is still pending
    provider.processMessages();
    EXPECT_EQ(output.flights().size(), 2u);

    clock.advance(5001ms);
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 2u);
    provider.setPreflightMode();
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 3u);

    provider.disconnect();
    provider.requestDataSnapshot();
    EXPECT_EQ(output.flights().size(), 3u);
}

TEST_F(PluginConnectionTest, QueueAndStateSurviveDisconnect) {
    send(R"({"paused":true})");
    provider.disconnect();
    provider.processMessages();
    EXPECT_EQ(output.events(), (Events{{0, 1}}));
    ASSERT_TRUE(provider.connect());
    feed(R"({"paused":true})");
    EXPECT_EQ(output.events().size(), 1u);
}

TEST(PluginConnectTest, ErrorTexts) {
    ManualClock clock;
    XPlanePluginProvider provider(clock);
    EXPECT_FALSE(provider.isConnected());
    EXPECT_FALSE(provider.isAwaitingTelemetry());
    EXPECT_EQ(provider.getLastError(), "");
    EXPECT_FALSE(provider.connect());
    EXPECT_EQ(provider.getLastError(), "Telemetry port not configured");

    platform::UdpSocket holder;
    ASSERT_EQ(holder.open(0, 100ms), platform::UdpSocket::OpenResult::OK);
    provider.setTelemetryPort(holder.localPort());
    EXPECT_FALSE(provider.connect());
    EXPECT_EQ(provider.getLastError(), "Failed to bind UDP socket (port in use?)");
    EXPECT_FALSE(provider.isAwaitingTelemetry());

    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane plugin telemetry socket is not connected");
    provider.processMessages();
    provider.requestDataSnapshot();
    provider.disconnect();
}

// ---- pause command ----------------------------------------------------------

using PluginPauseTest = PluginFixture;

TEST_F(PluginPauseTest, PauseDatagramGoesFromTheTelemetrySocketToTheControlPort) {
    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane control port is not configured");

    provider.setControlPort(plugin.localPort());
    ASSERT_TRUE(provider.setPaused(true));
    ASSERT_TRUE(provider.setPaused(false));

    char buffer[256];
    std::vector<std::string> received;
    for (int attempt = 0; attempt < 50 && received.size() < 2; ++attempt) {
        std::size_t length = 0;
        std::uint16_t from = 0;
        if (plugin.receive(buffer, sizeof(buffer), length, &from) == platform::UdpSocket::ReceiveResult::DATAGRAM) {
            received.emplace_back(buffer, length);
            EXPECT_EQ(from, port);  // sent from the telemetry socket
        }
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], "{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":true}\n");
    EXPECT_EQ(received[0].size(), 58u);
    EXPECT_EQ(received[1], "{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":false}\n");
    EXPECT_EQ(received[1].size(), 59u);

    provider.disconnect();
    EXPECT_FALSE(provider.setPaused(true));
    EXPECT_EQ(provider.getLastError(), "Cannot set pause: X-Plane plugin telemetry socket is not connected");
}

}  // namespace
}  // namespace navorel::test
