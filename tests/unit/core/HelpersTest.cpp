#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/Geometry.h"
#include "core/RecordRules.h"
#include "core/Text.h"

namespace navorel {
namespace {

TEST(Text, InvalidUtf8IsRepairedByPolicyAndValidTextPassesUnchanged) {
    struct Case {
        const char* input;
        const char* replaced;
        const char* latin1;
    };
    const Case cases[] = {
        {"Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x9B\xAB", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x9B\xAB",
         "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x9B\xAB"},
        {"Z\xFCrich", "Z\xEF\xBF\xBDrich", "Z\xC3\xBCrich"},                          // a Latin-1 byte
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xC3\x80\xC2\xAF"},                   // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\xC3\xAD\xC2\xA0\xC2\x80"},  // surrogate
        {"\xF0\x9F\x98", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\xC3\xB0\xC2\x9F\xC2\x98"},  // cut short
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},                   // U+10FFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(validUtf8(c.input), c.replaced) << c.input;
        EXPECT_EQ(validUtf8(c.input, InvalidUtf8::Latin1), c.latin1) << c.input;
    }
}

TEST(Text, CutsNeverSplitACharacterAndAreMarked) {
    EXPECT_EQ(utf8Prefix("ab\xE2\x82\xAC", 4), "ab");
    EXPECT_EQ(utf8Prefix("ab\xE2\x82\xAC", 5), "ab\xE2\x82\xAC");
    EXPECT_EQ(clientTextEcho(std::string(64, 'x')), std::string(64, 'x'));
    EXPECT_EQ(clientTextEcho(std::string(63, 'x') + "\xC3\xBC"), std::string(63, 'x') + "... (65 bytes)");
    EXPECT_EQ(fixedFieldText(" \tZurich\r\n\0junk", 16), "Zurich");
    EXPECT_EQ(fixedFieldText("LSZHABCD", 8), "LSZHABCD");  // fills its field: no NUL
    EXPECT_EQ(asciiUpper("k1g\xC3\xBC"), "K1G\xC3\xBC");
    EXPECT_TRUE(equalsIgnoreAsciiCase("LocalHost", "localhost"));
}

TEST(RecordRules, RoundsHalvesAwayFromZeroAndPassesNonFiniteAndHugeValues) {
    EXPECT_DOUBLE_EQ(roundTo(47.1234567, 6), 47.123457);
    EXPECT_DOUBLE_EQ(roundTo(-1234.5, 0), -1235.0);
    EXPECT_DOUBLE_EQ(roundTo(-0.25, 1), -0.3);
    EXPECT_DOUBLE_EQ(roundToTens(-1235.0), -1240.0);
    EXPECT_TRUE(std::isnan(roundTo(std::nan(""), 2)));
    EXPECT_TRUE(std::isinf(roundToTens(INFINITY)));
    // Found by fuzzing: scaling a huge value overflowed, and the message carried null.
    EXPECT_EQ(roundTo(1e303, 6), 1e303);
    EXPECT_EQ(roundTo(-std::numeric_limits<double>::max(), 2), -std::numeric_limits<double>::max());
    EXPECT_EQ(roundTo(INFINITY, 1), INFINITY);
}

TEST(RecordRules, ParkingBrakeFoldsEverySource) {
    const auto set = [](auto field, double value) {
        EquipmentData data{};
        data.*field = value;
        return parkingBrakeSet(data);
    };
    EXPECT_FALSE(parkingBrakeSet(EquipmentData{}));
    EXPECT_TRUE(set(&EquipmentData::parkingBrake, 1.0));
    EXPECT_TRUE(set(&EquipmentData::parkingBrakeSwitchPercent, 50.0));
    EXPECT_FALSE(set(&EquipmentData::parkingBrakeSwitchPercent, 49.9));
    EXPECT_TRUE(set(&EquipmentData::parkingBrakeLeverPosition, 0.6));
    EXPECT_TRUE(set(&EquipmentData::parkingBrakeMipSwitch, 1.0));
    EXPECT_TRUE(set(&EquipmentData::parkingBrakePosition, 0.6));    // 0..1 scale
    EXPECT_FALSE(set(&EquipmentData::parkingBrakePosition, 40.0));  // 0..100 scale
    EXPECT_TRUE(set(&EquipmentData::parkingBrakePosition, 50.0));
}

TEST(Geometry, GreatCircleDistancesAreRightAndNeverNaN) {
    // One degree of latitude, and the same across the date line.
    EXPECT_NEAR(greatCircleMetres(0, 0, 1, 0), 111195.0, 1.0);
    EXPECT_NEAR(greatCircleMetres(0, 179.5, 0, -179.5), 111195.0, 1.0);
    EXPECT_TRUE(std::isfinite(greatCircleMetres(-165, 0, -15, 180)));
    EXPECT_TRUE(std::isfinite(greatCircleMetres(135, 0, 45, 180)));
}

}  // namespace
}  // namespace navorel
