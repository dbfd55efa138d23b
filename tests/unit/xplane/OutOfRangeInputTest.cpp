// Inputs that fuzzing found the X-Plane path mishandled: numbers that leave
// the range of a double once converted, and scenery pack lines with a NUL.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "xplane/PluginDatagram.h"
#include "xplane/XPlaneInstall.h"
#include "xplane/XPlanePluginProvider.h"

namespace navorel::test {
namespace {

TEST(OutOfRangeInputTest, AUnitConversionThatOverflowsCountsAsUnreadable) {
    TelemetrySample sample;
    ASSERT_TRUE(parsePluginDatagram(
        R"({"alt_m":1.7e308,"altitude":1200,"vs_mps":1e307,"ias_mps":1e308,"ground_speed_mps":-1e308})", sample));
    // The next key of the same value is taken, as for a text like "inf".
    EXPECT_EQ(sample.altFt, 1200.0);
    EXPECT_FALSE(sample.vsFpm || sample.iasKt || sample.groundSpeedKt);
}

TEST(OutOfRangeInputTest, FuelThatOverflowsIsLeftUnknown) {
    XPlanePluginProvider provider;
    std::optional<FlightData> received;
    provider.setFlightDataCallback([&](const FlightData& data) { received = data; });
    provider.acceptDatagram(R"({"lat":37.6,"lon":-122.4,"alt_ft":13,"fuel_mass_kg":1e308,"fuel_density_kg_l":1e-300})");
    provider.processMessages();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->fuelWeight, 0.0);
    EXPECT_EQ(received->fuelVolume, 0.0);  // (ordinary values are checked end to end)
}

TEST(OutOfRangeInputTest, APackLineWithANulNamesNoPack) {
    const std::string ini = std::string("SCENERY_PACK Custom Scenery/A") + '\0' + "B/\r\n" +
                            "SCENERY_PACK Custom Scenery/C/\r\n";
    const auto files = sceneryPackAptFiles(ini, "/xp");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], std::filesystem::path("/xp/Custom Scenery/C/Earth nav data/apt.dat"));
}

}  // namespace
}  // namespace navorel::test
