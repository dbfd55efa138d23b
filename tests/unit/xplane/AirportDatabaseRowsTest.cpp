// Row rules of the apt.dat scanner, and its header-skipping at every block
// boundary.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/AptDatScanner.h"

namespace navorel::test {
namespace {

// A runway row of 26 tokens from its varying fields; each end is its
// designator, latitude, longitude and displaced threshold.
std::string runwayRow(const std::string& width, const std::string& surface, const std::string& end1,
                      const std::string& end2) {
    return "100 " + width + " " + surface + " 0 0.25 0 2 1 " + end1 + " 0 2 0 0 1 " + end2 + " 0 2 0 0 1\n";
}

std::string simpleRunway(const std::string& surface = "1") {
    return runwayRow("30", surface, "09 10.0 20.0 0", "27 10.0 20.01 0");
}

XPlaneAirportRecord scan(const std::string& text) {
    XPlaneAirportRecord record;
    EXPECT_TRUE(AptDatScanner("KAAA").scanText(text, record)) << "not found in:\n" << text;
    return record;
}

TEST(AirportDatabaseRows, DesignatorNumbersLettersAndCompassPoints) {
    const struct {
        const char* token;
        int number, code;
    } cases[] = {{"09L", 9, 1}, {"36", 36, 0}, {"18W", 18, 4}, {"N", 37, 0}, {"H1", 0, 0}, {"09X", 9, 0},
                 {"27r", 27, 2}, {"01C", 1, 3}, {"04A", 4, 5}, {"04B", 4, 6}, {"NW", 44, 0}, {"se", 40, 0},
                 {"5", 5, 0}, {"L", 0, 0}, {"1-9", 0, 0}, {"9LL", 0, 1}, {"", 0, 0}};
    for (const auto& c : cases) {
        const auto designator = aptdat::parseDesignator(c.token);
        EXPECT_EQ(designator.number * 10 + designator.designatorCode, c.number * 10 + c.code) << c.token;
    }
}

// Rows with a field that is not a whole decimal number, or with too few
// tokens, are skipped. A threshold is its leading number, at least 0, and 0
// when out of range; unknown and fractional surface types are 0.
TEST(AirportDatabaseRows, RunwayRows) {
    const auto record = scan("1 10 0 0 KAAA Runways\n100 30 1 0 0.25 0 2 1 09 10.0 20.0 0 0 2 0 0 1 27 10.0 20.01\n" +
                             runwayRow("45.72", "2", "09L 47.0 -122.0 -5", "27R 47.0 -121.98 12.5m") +
                             runwayRow("30m", "1", "09 10.0 20.0 0", "27 10.0 20.01 0") +
                             runwayRow("30", "asphalt", "09 10.0 20.0 0", "27 10.0 20.01 0") +
                             runwayRow("30", "1", "09 10.0N 20.0 0", "27 10.0 20.01 0") +
                             runwayRow("30", "1", "09 10.0 inf 0", "27 10.0 20.01 0") +
                             runwayRow("30", "1", "09 10.0 20.0 0", "27 nan 20.01 0") +
                             runwayRow("30", "1", "09 10.0 20.0 0", "27 10.0 0x14 0") +
                             runwayRow("30", "1.0", "09 +1 2 abc", "27 1e0 2.01 nan") +
                             runwayRow("30", "8", "09 1 2 1e999", "27 1 2.01 5e9") +
                             simpleRunway("1.5") + simpleRunway("9"));
    using R = XPlaneRunwayRecord;
    EXPECT_THAT(columns(record.runways, &R::latitude, &R::longitude, &R::widthMeters,
                        &R::primaryDisplacedThresholdMeters, &R::secondaryDisplacedThresholdMeters, &R::surfaceCode),
                Near({47, -121.99, 45.72, 0, 12.5, 0,  1, 2.005, 30, 0, 0, 4,  1, 2.005, 30, 0, 5e9, 9,  //
                      10, 20.005, 30, 0, 0, 0,  10, 20.005, 30, 0, 0, 0}));
    EXPECT_EQ(columns(std::vector{record.runways[0]}, &R::primaryNumber, &R::primaryDesignatorCode,
                      &R::secondaryNumber, &R::secondaryDesignatorCode), (Values{9, 1, 27, 2}));  // 09L/27R
}

// Header rows are codes 1, 16 or 17 with five tokens or more; the next one
// ends the airport, a shorter one or a row whose code only begins with 1 does
// not. CR LF line ends and a last line without one are read alike.
TEST(AirportDatabaseRows, HeaderRowsAndBlockEnds) {
    auto record = scan("1    433   0 0   KAAA   Alpha \t  Field   Intl\r\n");
    EXPECT_TRUE(record.name == "Alpha Field Intl" && record.elevationFt == 433.0) << record.name;
    EXPECT_EQ(scan("1 12ft 0 0 KAAA\n").elevationFt, 0.0);
    EXPECT_EQ(scan("1 0 0 0 KAAA X\n1 0 0 0 KAAA Second\n").name, "X");
    record = scan("1 0 0 0 KAAA A\n" + simpleRunway() + "1 0 0 KBBB\n" + simpleRunway() + "1a 0 0 0 KBBB B\n" +
                  simpleRunway() + "17 0 0 0 KCCC C\n" + simpleRunway());
    EXPECT_EQ(record.runways.size(), 3u);
    for (const char* text : {"", "\n\n\r\n", "1 0 0 KAAA Four tokens\n"}) {
        EXPECT_FALSE(AptDatScanner("KAAA").scanText(text, record)) << text;
    }
    EXPECT_EQ(scan("1 0 0 0 KAAA A\r\n" + simpleRunway().substr(0, simpleRunway().size() - 1)).runways.size(), 1u);
    EXPECT_EQ(scan("1 0 0 0 KAAA A").name, "A");
}

// Region, magnetic variation and position; the position only from both
// datum rows, and not from those of the next airport. In texts valid
// sequences stay and stray bytes are read as Latin-1 (0xFC is u-umlaut).
TEST(AirportDatabaseRows, NameAndMetadataRows) {
    auto record = scan("1 10 0 0 KAAA Zweibr\xfc" "cken Gr\xc3\xbcn \xe2\x9c\x88\n1302 city Somewhere\n"
                       "1302 region_code K\xe9\n1302 magnetic_variation -15.5\n1302 datum_lat 47.25\n1302 datum_lon\n"
                       "1302 datum_lon -122.5 extra\n");
    EXPECT_EQ(record.name, "Zweibr\xc3\xbc" "cken Gr\xc3\xbcn \xe2\x9c\x88");
    EXPECT_TRUE(record.region == "K\xc3\xa9" && record.magneticVariation == -15.5 && record.hasMagneticVariation);
    EXPECT_TRUE(record.hasPosition && record.latitude == 47.25 && record.longitude == -122.5);
    record = scan("1 0 0 0 KAAA H\n1302 datum_lat 4\n1302 datum_lon east\n1302 magnetic_variation x\n1 0 0 0 KBBB N\n"
                  "1302 datum_lon 1\n");
    EXPECT_FALSE(record.hasPosition || record.hasMagneticVariation);
}

// Lengths and headings along the axes. (Coordinates out of range that once
// gave a NaN length are the geometry test's.)
TEST(AirportDatabaseRows, RunwayLengthAndHeading) {
    const auto record = scan("1 0 0 0 KAAA Axes\n" + runwayRow("30", "1", "36 10.0 20.0 0", "18 10.01 20.0 0") +
                             runwayRow("30", "1", "09 0.0 20.0 0", "27 0.0 20.01 0") +
                             runwayRow("30", "1", "18 10.01 20.0 0", "36 10.0 20.0 0") +
                             runwayRow("30", "1", "27 0.0 20.01 0", "09 0.0 20.0 0"));
    const double length = 0.01 * 6371000.0 * std::numbers::pi / 180.0;
    EXPECT_THAT(columns(record.runways, &XPlaneRunwayRecord::lengthMeters, &XPlaneRunwayRecord::headingDegrees),
                Near({length, 0, length, 90, length, 180, length, 270}));
}

// Name, runway count and first length of the airport found, or "none".
std::string summary(bool found, const XPlaneAirportRecord& r) {
    if (!found || r.runways.empty()) return found ? r.name : "none";
    return r.name + " " + std::to_string(r.runways.size()) + " " + std::to_string(r.runways[0].lengthMeters);
}

// Outside the wanted airport the scanner looks only at lines that may be
// headers. Whatever lines come first, and wherever the block and vector
// boundaries fall, it must neither miss the header nor take a lookalike.
TEST(AirportDatabaseScanner, FindsTheHeaderAfterAnyLinesAtAnyBlockSize) {
    const char* headers[] = {"1 433 0 0 KAAA X", "16 0 0 0 kaaa X", "17\t0 0 0 KAAA X", "0017 0 0 0 KAAA X",
                             "  \t1 0 0 0 KAAA X", "\f\v01 0 0 0 KAAA X", "\r1 0 0 0 KAAA X"};
    const char* fillers[] = {"\n", "\r\r\n", " \n", "0\n", "1\n", "1 0 0 0 KBBB B\n", "10 0 0 0 KAAA no\n",
                             "1x 0 0 0 KAAA no\n", "+1 0 0 0 KAAA no\n", "111 0 0 0 KAAA no\n", "160 0 0 0 KAAA no\n",
                             "1 0 0 0 KAAAA no\n", "1\t0 0 KAAA\n", "100 30 1 0 0.25\n"};
    const std::string runway = simpleRunway(), expected = summary(true, scan("1 0 0 0 KAAA X\n" + runway));
    InstallTree dir;
    for (const char* header : headers) {
        for (const char* filler : fillers) {
            std::string text;
            for (int count = 0; count < 70; ++count, text += filler) {
                // The next airport's last row ends the text without a line end.
                const std::string whole = text + header + "\n" + runway + "1 0 0 0 KCCC C\n" + runway.substr(0, 60);
                XPlaneAirportRecord r;
                for (const std::size_t blockSize : {1, 2, 3, 5, 16, 17, 31, 64, 4096}) {
                    ASSERT_EQ(summary(AptDatScanner("KAAA", blockSize).scanText(whole, r), r), expected)
                        << "block size " << blockSize << ":\n" << whole;
                }
                if (count % 23 != 0) continue;
                writeFile(dir.root() / "apt.dat", whole);
                ASSERT_EQ(summary(AptDatScanner("KAAA", 97).scanFile(dir.root() / "apt.dat", r), r), expected) << whole;
            }
        }
    }
    XPlaneAirportRecord record;
    EXPECT_FALSE(AptDatScanner("KAAA").scanFile(dir.root() / "missing.dat", record));
}

}  // namespace
}  // namespace navorel::test
