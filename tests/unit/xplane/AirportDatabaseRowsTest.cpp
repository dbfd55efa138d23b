// Row rules of the apt.dat scanner, and its equivalence with a plain
// line-by-line reading of the rules on awkward text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>

#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/AirportDatabase.h"
#include "xplane/AptDatScanner.h"

namespace navorel {
namespace {

// A runway row of 26 tokens; fields that the tests vary are parameters.
std::string runwayRow(const std::string& width, const std::string& surface, const std::string& end1,
                      const std::string& lat1, const std::string& lon1, const std::string& end2,
                      const std::string& lat2, const std::string& lon2, const std::string& displaced1 = "0.00",
                      const std::string& displaced2 = "0.00") {
    return "100 " + width + " " + surface + " 0 0.25 0 2 1 " + end1 + " " + lat1 + " " + lon1 + " " + displaced1 +
           " 0 2 0 0 1 " + end2 + " " + lat2 + " " + lon2 + " " + displaced2 + " 0 2 0 0 1\n";
}

std::string simpleRunway(const std::string& surface = "1") {
    return runwayRow("30", surface, "09", "10.0", "20.0", "27", "10.0", "20.01");
}

XPlaneAirportRecord scan(const std::string& text, const std::string& key = "KAAA") {
    XPlaneAirportRecord record;
    EXPECT_TRUE(AptDatScanner(key).scanText(text, record)) << "no " << key;
    return record;
}

bool finds(const std::string& text) {
    XPlaneAirportRecord record;
    return AptDatScanner("KAAA").scanText(text, record);
}

TEST(AirportDatabaseRows, Designators) {
    struct Case {
        const char* token;
        int number;
        int code;
    };
    const Case cases[] = {{"09L", 9, 1}, {"36", 36, 0}, {"18W", 18, 4}, {"N", 37, 0},  {"H1", 0, 0},
                          {"09X", 9, 0}, {"27r", 27, 2}, {"01C", 1, 3},  {"04A", 4, 5}, {"04B", 4, 6},
                          {"NW", 44, 0}, {"se", 40, 0},  {"5", 5, 0},    {"L", 0, 0},   {"1-9", 0, 0},
                          {"9LL", 0, 1}, {"", 0, 0}};
    for (const auto& c : cases) {
        const auto designator = aptdat::parseDesignator(c.token);
        EXPECT_EQ(designator.number, c.number) << c.token;
        EXPECT_EQ(designator.designatorCode, c.code) << c.token;
    }
}

TEST(AirportDatabaseRows, EverySurfaceTypeMapsOntoFacilityCodes) {
    const std::pair<const char*, int> surfaces[] = {{"1", 4},  {"2", 0},  {"3", 1},  {"4", 12}, {"5", 14}, {"6", 27},
                                                    {"7", 8},  {"8", 9},  {"9", 0},  {"0", 0},  {"15", 0}, {"50", 0},
                                                    {"1.0", 4}, {"1.5", 0}};
    std::string text = "1 10 0 0 KAAA Surfaces\n";
    for (const auto& [type, code] : surfaces) text += simpleRunway(type);
    const auto record = scan(text);
    ASSERT_EQ(record.runways.size(), std::size(surfaces));
    for (std::size_t i = 0; i < record.runways.size(); ++i) {
        EXPECT_EQ(record.runways[i].surfaceCode, surfaces[i].second) << "type " << surfaces[i].first;
    }
}

TEST(AirportDatabaseRows, RunwayRowFieldsAndThresholds) {
    const auto record = scan("1 10 0 0 KAAA Fields\n" +
                             runwayRow("45.72", "2", "09L", "47.0", "-122.0", "27R", "47.0", "-121.98", "-5", "12.5m") +
                             runwayRow("30", "1", "09", "1", "2", "27", "1", "2.01", "abc", "nan"));
    ASSERT_EQ(record.runways.size(), 2u);
    const auto& runway = record.runways[0];
    EXPECT_DOUBLE_EQ(runway.widthMeters, 45.72);
    EXPECT_DOUBLE_EQ(runway.latitude, 47.0);
    EXPECT_DOUBLE_EQ(runway.longitude, -121.99);
    EXPECT_EQ(runway.primaryDisplacedThresholdMeters, 0.0);  // -5 raised to 0
    EXPECT_DOUBLE_EQ(runway.secondaryDisplacedThresholdMeters, 12.5);  // leading number
    EXPECT_EQ(runway.surfaceCode, 0);
    EXPECT_EQ(runway.primaryNumber * 10 + runway.primaryDesignatorCode, 91);      // 09L
    EXPECT_EQ(runway.secondaryNumber * 10 + runway.secondaryDesignatorCode, 272);  // 27R
    // Without a leading number the threshold is 0.
    EXPECT_EQ(record.runways[1].primaryDisplacedThresholdMeters, 0.0);
    EXPECT_EQ(record.runways[1].secondaryDisplacedThresholdMeters, 0.0);
}

TEST(AirportDatabaseRows, MalformedRunwayRowsAreSkipped) {
    const std::string twentyTokens = "100 30 1 0 0.25 0 2 1 09 10.0 20.0 0 0 2 0 0 1 27 10.0 20.01\n";
    const auto record = scan("1 10 0 0 KAAA Skips\n" + twentyTokens +
                             runwayRow("30m", "1", "09", "10.0", "20.0", "27", "10.0", "20.01") +
                             runwayRow("30", "asphalt", "09", "10.0", "20.0", "27", "10.0", "20.01") +
                             runwayRow("30", "1", "09", "10.0N", "20.0", "27", "10.0", "20.01") +
                             runwayRow("30", "1", "09", "10.0", "inf", "27", "10.0", "20.01") +
                             runwayRow("30", "1", "09", "10.0", "20.0", "27", "nan", "20.01") +
                             runwayRow("30", "1", "09", "10.0", "20.0", "27", "10.0", "0x14") +
                             runwayRow("30", "1", "09", "+10.0", "20.0", "27", "1e1", "20.01"));
    ASSERT_EQ(record.runways.size(), 1u);  // only the last, with "+10.0" and "1e1"
    EXPECT_DOUBLE_EQ(record.runways[0].latitude, 10.0);
}

TEST(AirportDatabaseRows, HeaderFields) {
    auto record = scan("1    433   0 0   KAAA   Alpha \t  Field   Intl\r\n");
    EXPECT_EQ(record.name, "Alpha Field Intl");
    EXPECT_EQ(record.elevationFt, 433.0);
    EXPECT_TRUE(record.icao.empty());
    EXPECT_FALSE(record.hasPosition);

    record = scan("1 12ft 0 0 KAAA\n");
    EXPECT_EQ(record.name, "");
    EXPECT_EQ(record.elevationFt, 0.0);
}

TEST(AirportDatabaseRows, TextsBecomeValidUtf8) {
    // Valid sequences stay; stray bytes are read as Latin-1 (0xFC is u-umlaut).
    EXPECT_EQ(scan("1 10 0 0 KAAA Zweibr\xfc" "cken Gr\xc3\xbcn \xe2\x9c\x88\n").name,
              "Zweibr\xc3\xbc" "cken Gr\xc3\xbcn \xe2\x9c\x88");
    EXPECT_EQ(scan("1 10 0 0 KAAA A\n1302 region_code K\xe9\n").region, "K\xc3\xa9");
    EXPECT_EQ(aptdat::validUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");          // overlong
    EXPECT_EQ(aptdat::validUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");  // surrogate
    EXPECT_EQ(aptdat::validUtf8("\xf0\x9f\x98"), "\xc3\xb0\xc2\x9f\xc2\x98");  // cut short
    EXPECT_EQ(aptdat::validUtf8("\xf4\x8f\xbf\xbf"), "\xf4\x8f\xbf\xbf");        // U+10FFFF
}

TEST(AirportDatabaseRows, MetadataRows) {
    auto record = scan("1 10 0 0 KAAA Meta\n"
                       "1302 city Somewhere\n"
                       "1302 region_code K1\n"
                       "1302 magnetic_variation -15.5\n"
                       "1302 datum_lat 47.25\n"
                       "1302 datum_lon\n"
                       "1302 datum_lon -122.5 extra\n" +
                       simpleRunway() + "1 20 0 0 KBBB Next\n1302 datum_lat 1\n");
    EXPECT_EQ(record.region, "K1");
    EXPECT_TRUE(record.hasMagneticVariation);
    EXPECT_DOUBLE_EQ(record.magneticVariation, -15.5);
    EXPECT_TRUE(record.hasPosition);  // from the datum rows even though another header follows
    EXPECT_DOUBLE_EQ(record.latitude, 47.25);
    EXPECT_DOUBLE_EQ(record.longitude, -122.5);
    EXPECT_EQ(record.runways.size(), 1u);

    // One usable datum row is no position.
    record = scan("1 10 0 0 KAAA Half\n1302 datum_lat 47.25\n1302 datum_lon east\n");
    EXPECT_FALSE(record.hasPosition);
    EXPECT_FALSE(record.hasMagneticVariation);
}

TEST(AirportDatabaseRows, HeaderKindsAndBlockEnds) {
    for (const char* header : {"16 0 0 0 KAAA X", "17 0 0 0 KAAA X", "01\t0 0 0 KAAA X", "0017 0 0 0 KAAA X",
                               "  \t1 0 0 0 kaaa X", "\f\v1 0 0 0 KAAA X", "1 0 0 0 KAAA X\n1 0 0 0 KAAA Second"}) {
        EXPECT_EQ(scan(std::string(header) + "\n").name, "X") << header;
    }
    for (const char* notHeader : {"10 0 0 0 KAAA X", "1x 0 0 0 KAAA X", "+1 0 0 0 KAAA X", "1 0 0 0 KAAAA X",
                                  "1 0 0 KAAA Four tokens"}) {
        EXPECT_FALSE(finds(std::string(notHeader) + "\n")) << notHeader;
    }

    // A header ends the block; a four-token header row does not; nor does a
    // row whose code only begins with 1.
    const auto record = scan("1 0 0 0 KAAA A\n" + simpleRunway() + "1 0 0 KBBB\n" + simpleRunway() +
                             "1a 0 0 0 KBBB B\n" + simpleRunway() + "17 0 0 0 KCCC C\n" + simpleRunway());
    EXPECT_EQ(record.runways.size(), 3u);
}

TEST(AirportDatabaseRows, LineEndingsAndFileEnd) {
    const std::string runway = simpleRunway().substr(0, simpleRunway().size() - 1);  // without its line end
    EXPECT_EQ(scan("1 0 0 0 KAAA A\r\n" + runway + "\r\n").runways.size(), 1u);
    EXPECT_EQ(scan("1 0 0 0 KAAA A\n" + runway).runways.size(), 1u);
    EXPECT_EQ(scan("1 0 0 0 KAAA A").name, "A");
    EXPECT_FALSE(finds(""));
    EXPECT_FALSE(finds("\n\n\r\n"));
}

TEST(AirportDatabaseGeometry, LengthAndHeadingAlongTheAxes) {
    const double degree = 6371000.0 * 3.14159265358979323846 / 180.0;
    const auto record = scan("1 0 0 0 KAAA Axes\n" + runwayRow("30", "1", "36", "10.0", "20.0", "18", "10.01", "20.0") +
                             runwayRow("30", "1", "09", "0.0", "20.0", "27", "0.0", "20.01") +
                             runwayRow("30", "1", "18", "10.01", "20.0", "36", "10.0", "20.0") +
                             runwayRow("30", "1", "27", "0.0", "20.01", "09", "0.0", "20.0"));
    ASSERT_EQ(record.runways.size(), 4u);
    const double headings[] = {0.0, 90.0, 180.0, 270.0};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(record.runways[i].lengthMeters, 0.01 * degree, 1e-6) << i;
        EXPECT_NEAR(record.runways[i].headingDegrees, headings[i], 1e-9) << i;
    }
}

TEST(AirportDatabaseGeometry, CoordinatesOutOfRangeGiveFiniteValues) {
    // Without care the haversine term comes out a hair below 0 here.
    EXPECT_TRUE(std::isfinite(aptdat::greatCircleMeters(-165, 0, -15, 180)));
    EXPECT_TRUE(std::isfinite(aptdat::greatCircleMeters(135, 0, 45, 180)));
    EXPECT_TRUE(std::isfinite(aptdat::initialBearingDegrees(-165, 0, -15, 180)));
}

TEST(AirportDatabasePosition, FromDatumElseRunwayCentresElseNone) {
    test::InstallTree tree;
    tree.writeGlobal("1 0 0 0 KDAT Datum\n1302 datum_lat 1.5\n1302 datum_lon 2.5\n" +
                     runwayRow("30", "1", "09", "10", "20", "27", "10", "20.02") +
                     "1 0 0 0 KRWY Runways\n" + runwayRow("30", "1", "09", "10", "20", "27", "10", "20.02") +
                     runwayRow("30", "1", "18", "12", "20", "36", "11", "20") + "1 0 0 0 KNON None\n99\n");
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord record;
    std::string error;
    ASSERT_TRUE(database.loadAirport("KDAT", record, error));
    EXPECT_TRUE(record.hasPosition);
    EXPECT_EQ(record.latitude, 1.5);
    EXPECT_EQ(record.longitude, 2.5);
    ASSERT_TRUE(database.loadAirport("KRWY", record, error));
    EXPECT_TRUE(record.hasPosition);
    EXPECT_DOUBLE_EQ(record.latitude, (10.0 + 11.5) / 2);
    EXPECT_DOUBLE_EQ(record.longitude, (20.01 + 20.0) / 2);
    ASSERT_TRUE(database.loadAirport("KNON", record, error));
    EXPECT_FALSE(record.hasPosition);
}

// ---- the header-skipping scanner against a plain reading ---------------

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Name and elevation of the airport a plain line-by-line reading finds: the
// first row with code 1, 16 or 17 (a whole decimal integer) and at least five
// tokens whose ident is the key.
std::optional<std::string> referenceHeader(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> t;
        for (std::string word; words >> word;) t.push_back(word);
        if (t.size() < 5 || t[0].find_first_not_of("0123456789") != std::string::npos) continue;
        const long code = std::strtol(t[0].c_str(), nullptr, 10);
        if ((code != 1 && code != 16 && code != 17) || upper(t[4]) != key) continue;
        char* end = nullptr;
        const double elevation = std::strtod(t[1].c_str(), &end);
        std::string name;
        for (std::size_t i = 5; i < t.size(); ++i) name += (i > 5 ? " " : "") + t[i];
        return aptdat::validUtf8(name) + "|" + std::to_string(*end == '\0' ? elevation : 0.0);
    }
    return std::nullopt;
}

std::string describe(const XPlaneAirportRecord& r) {
    std::ostringstream out;
    out.precision(17);
    out << r.name << '|' << r.region << '|' << r.elevationFt << '|' << r.hasPosition << r.latitude << ','
        << r.longitude << '|' << r.hasMagneticVariation << r.magneticVariation << '|';
    for (const auto& w : r.runways) {
        out << '[' << w.latitude << ',' << w.longitude << ',' << w.lengthMeters << ',' << w.widthMeters << ','
            << w.headingDegrees << ',' << w.primaryDisplacedThresholdMeters << ','
            << w.secondaryDisplacedThresholdMeters << ',' << w.surfaceCode << ',' << w.primaryNumber << ','
            << w.primaryDesignatorCode << ',' << w.secondaryNumber << ',' << w.secondaryDesignatorCode << ']';
    }
    return out.str();
}

// Text that stresses line starts: blanks and zeros before row codes, codes
// that only begin like a header, tabs, carriage returns, empty lines.
std::string randomAptText(std::mt19937& random) {
    auto pick = [&](std::initializer_list<const char*> options) {
        return std::string(*(options.begin() + std::uniform_int_distribution<std::size_t>(0, options.size() - 1)(random)));
    };
    std::string text;
    const int lines = std::uniform_int_distribution<int>(0, 60)(random);
    for (int i = 0; i < lines; ++i) {
        const std::string lead = pick({"", "", "", " ", "\t", "\r", "  \v", "\f"});
        const std::string sep = pick({" ", " ", "  ", "\t", " \r "});
        const int kind = std::uniform_int_distribution<int>(0, 9)(random);
        std::string line;
        if (kind <= 2) {
            line = lead + pick({"1", "1", "16", "17", "01", "0017", "+1", "-1", "10", "1x", "160", "11", "111", "1a"}) +
                   sep + pick({"433", "12ft", "-5"}) + sep + "0" + sep + "0";
            if (std::uniform_int_distribution<int>(0, 5)(random) > 0) {
                line += sep + pick({"KAAA", "KBBB", "kaaa", "KAAAA", "KCCC"});
                line += pick({"", " Name", " Long  Name\tHere"});
            }
        } else if (kind <= 4) {
            line = lead + pick({"1302", "1302", "01302", "1302x"}) + sep +
                   pick({"datum_lat", "datum_lon", "region_code", "magnetic_variation", "city"}) +
                   pick({"", " 47.5", " -122.25", " K2", " 1e1", " 4x"});
        } else if (kind <= 7) {
            line = lead + pick({"100", "100", "0100", "1000"}) + sep + pick({"30", "45.72", "30m"}) + sep +
                   pick({"1", "2", "5", "9", "x"}) + " 0 0.25 0 2 1 " + pick({"09L", "36", "N", "H1", "18W", "09X"}) +
                   sep + pick({"47.0", "-33.9", "bad"}) + " " + pick({"-122.0", "151.17"}) + " " +
                   pick({"0", "-5", "12.5m", "x", "150.0"}) + " 0 2 0 0 1 " + pick({"27R", "18", "S"}) + sep +
                   pick({"47.01", "-33.95"}) + " " + pick({"-121.99", "151.2"}) +
                   pick({"", " 0", " 7.5 0 2 0 0 1"});
        } else if (kind == 8) {
            line = lead + pick({"", "99", "110 2 0.25 0 Taxiway", "111 47.0 -122.0", "1", "16", "17", "0", "1\t"});
        } else {
            line = pick({"", "\r", "   "});
        }
        text += line + pick({"\n", "\n", "\r\n", "\r\r\n"});
    }
    if (!text.empty() && std::uniform_int_distribution<int>(0, 2)(random) == 0) text.pop_back();
    return text;
}

// Outside the wanted airport the scanner looks only at lines that may be
// headers: it must never miss one, at any block boundary.
TEST(AirportDatabaseScanner, FindsWhatAPlainReadingFindsAtEveryBlockSize) {
    std::mt19937 random(20240611);
    const std::size_t blockSizes[] = {1, 2, 3, 5, 16, 17, 31, 64};
    int found = 0;
    for (int round = 0; round < 250; ++round) {
        const std::string text = randomAptText(random);
        for (const char* key : {"KAAA", "KBBB", "KCCC"}) {
            const auto expected = referenceHeader(text, key);
            XPlaneAirportRecord whole;
            ASSERT_EQ(AptDatScanner(key).scanText(text, whole), expected.has_value()) << key << " in:\n" << text;
            if (!expected) continue;
            ++found;
            ASSERT_EQ(whole.name + "|" + std::to_string(whole.elevationFt), *expected) << key << " in:\n" << text;
            for (const std::size_t blockSize : blockSizes) {
                XPlaneAirportRecord actual;
                ASSERT_TRUE(AptDatScanner(key, blockSize).scanText(text, actual));
                ASSERT_EQ(describe(actual), describe(whole)) << key << " block " << blockSize << "\n" << text;
            }
        }
    }
    EXPECT_GT(found, 60);  // the generator does produce matches
}

TEST(AirportDatabaseScanner, FileScanMatchesTextScan) {
    std::mt19937 random(7);
    test::TempDir dir;
    for (int round = 0; round < 20; ++round) {
        std::string text;
        for (int i = 0; i < 30; ++i) text += randomAptText(random) + "\n";
        test::writeFile(dir.path() / "apt.dat", text);
        XPlaneAirportRecord fromFile, fromText;
        const bool fileFound = AptDatScanner("KAAA", 97).scanFile(dir.path() / "apt.dat", fromFile);
        ASSERT_EQ(fileFound, AptDatScanner("KAAA").scanText(text, fromText));
        if (fileFound) {
            EXPECT_EQ(describe(fromFile), describe(fromText));
        }
    }
    XPlaneAirportRecord record;
    EXPECT_FALSE(AptDatScanner("KAAA").scanFile(dir.path() / "missing.dat", record));
}

}  // namespace
}  // namespace navorel
