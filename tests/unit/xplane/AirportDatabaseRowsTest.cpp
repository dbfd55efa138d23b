// Row rules of the apt.dat scanner, and its equivalence with a plain
// line-by-line reading of the rules on awkward text.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>

#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/AirportDatabase.h"
#include "xplane/AptDatScanner.h"

namespace navorel {
namespace {

using aptdat::parseDesignator;

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

bool finds(const std::string& text, const std::string& key = "KAAA") {
    XPlaneAirportRecord record;
    return AptDatScanner(key).scanText(text, record);
}

TEST(AirportDatabaseDesignators, TableOfTheRules) {
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
        const auto designator = parseDesignator(c.token);
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

TEST(AirportDatabaseRows, RunwayRowFields) {
    const auto record = scan("1 10 0 0 KAAA Fields\n" +
                             runwayRow("45.72", "2", "09L", "47.0", "-122.0", "27R", "47.0", "-121.98", "-5", "12.5m"));
    ASSERT_EQ(record.runways.size(), 1u);
    const auto& runway = record.runways[0];
    EXPECT_DOUBLE_EQ(runway.widthMeters, 45.72);
    EXPECT_DOUBLE_EQ(runway.latitude, 47.0);
    EXPECT_DOUBLE_EQ(runway.longitude, -121.99);
    EXPECT_EQ(runway.primaryDisplacedThresholdMeters, 0.0);  // -5 raised to 0
    EXPECT_DOUBLE_EQ(runway.secondaryDisplacedThresholdMeters, 12.5);  // leading number
    EXPECT_EQ(runway.surfaceCode, 0);
    EXPECT_EQ(runway.primaryNumber, 9);
    EXPECT_EQ(runway.primaryDesignatorCode, 1);
    EXPECT_EQ(runway.secondaryNumber, 27);
    EXPECT_EQ(runway.secondaryDesignatorCode, 2);
}

TEST(AirportDatabaseRows, ThresholdWithoutLeadingNumberIsZero) {
    const auto record =
        scan("1 10 0 0 KAAA T\n" + runwayRow("30", "1", "09", "1", "2", "27", "1", "2.01", "abc", "nan"));
    ASSERT_EQ(record.runways.size(), 1u);
    EXPECT_EQ(record.runways[0].primaryDisplacedThresholdMeters, 0.0);
    EXPECT_EQ(record.runways[0].secondaryDisplacedThresholdMeters, 0.0);
}

TEST(AirportDatabaseRows, MalformedRunwayRowsAreSkipped) {
    std::string twentyTokens = "100 30 1 0 0.25 0 2 1 09 10.0 20.0 0 0 2 0 0 1 27 10.0 20.01\n";
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
    EXPECT_TRUE(record.runways.empty());

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
    const auto record = scan("1 10 0 0 KAAA Meta\n"
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
}

TEST(AirportDatabaseRows, OneDatumRowIsNoPosition) {
    const auto record = scan("1 10 0 0 KAAA Half\n1302 datum_lat 47.25\n1302 datum_lon east\n");
    EXPECT_FALSE(record.hasPosition);
    EXPECT_FALSE(record.hasMagneticVariation);
}

TEST(AirportDatabaseRows, HeaderKindsAndBlockEnds) {
    EXPECT_EQ(scan("16 0 0 0 KAAA Seaplane base\n").name, "Seaplane base");
    EXPECT_EQ(scan("17 0 0 0 KAAA Heliport\n").name, "Heliport");
    EXPECT_EQ(scan("01\t0 0 0 KAAA Leading zero\n").name, "Leading zero");
    EXPECT_EQ(scan("  \t1 0 0 0 kaaa Indented lower case\n").name, "Indented lower case");
    EXPECT_EQ(scan("1 0 0 0 KAAA First\n1 0 0 0 KAAA Second\n").name, "First");
    EXPECT_FALSE(finds("10 0 0 0 KAAA Not a header\n"));
    EXPECT_FALSE(finds("1x 0 0 0 KAAA Not a header\n"));
    EXPECT_FALSE(finds("+1 0 0 0 KAAA Not a header\n"));
    EXPECT_FALSE(finds("1 0 0 0 KAAAA Longer ident\n"));
    EXPECT_FALSE(finds("1 0 0 KAAA Four tokens\n"));

    // A header ends the block; a four-token header row does not; nor does a
    // row whose code only begins with 1.
    const auto record = scan("1 0 0 0 KAAA A\n" + simpleRunway() + "1 0 0 KBBB\n" + simpleRunway() +
                             "1a 0 0 0 KBBB B\n" + simpleRunway() + "17 0 0 0 KCCC C\n" + simpleRunway());
    EXPECT_EQ(record.runways.size(), 3u);
}

TEST(AirportDatabaseRows, LineEndingsAndFileEnd) {
    const std::string crlf = "1 0 0 0 KAAA A\r\n" + simpleRunway().substr(0, simpleRunway().size() - 1) + "\r\n";
    EXPECT_EQ(scan(crlf).runways.size(), 1u);
    // The last row has no line end.
    const std::string runway = simpleRunway();
    EXPECT_EQ(scan("1 0 0 0 KAAA A\n" + runway.substr(0, runway.size() - 1)).runways.size(), 1u);
    EXPECT_EQ(scan("1 0 0 0 KAAA A").name, "A");
    EXPECT_FALSE(finds(""));
    EXPECT_FALSE(finds("\n\n\r\n"));
}

TEST(AirportDatabaseRows, UnreadableFileYieldsNothing) {
    test::TempDir dir;
    XPlaneAirportRecord record;
    EXPECT_FALSE(AptDatScanner("KAAA").scanFile(dir.path() / "missing.dat", record));
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

// ---- equivalence with a plain reading of the rules ----------------------

bool referenceInteger(const std::string& token, long long& value) {
    const std::size_t digits = token.find_first_not_of("0123456789", token[0] == '-' ? 1 : 0);
    if (digits != std::string::npos || token == "-") return false;
    errno = 0;
    value = std::strtoll(token.c_str(), nullptr, 10);
    return errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
}

// strtod over the characters a decimal number may hold, which keeps out
// "inf", "nan" and hexadecimal.
double referenceStrtod(const std::string& token, std::size_t& used) {
    const std::string text = token.substr(0, token.find_first_not_of("0123456789+-.eE"));
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    used = static_cast<std::size_t>(end - text.c_str());
    return value;
}

bool referenceNumber(const std::string& token, double& value) {
    std::size_t used = 0;
    const double parsed = referenceStrtod(token, used);
    if (used == 0 || used != token.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

double referenceLeadingNumber(const std::string& token) {
    std::size_t used = 0;
    const double value = referenceStrtod(token, used);
    return used > 0 && std::isfinite(value) ? value : 0.0;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool referenceScan(const std::string& text, const std::string& key, XPlaneAirportRecord& out) {
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    XPlaneAirportRecord record;
    bool haveLat = false, haveLon = false;
    double lat = 0, lon = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::istringstream words(line);
        std::vector<std::string> t;
        for (std::string word; words >> word;) t.push_back(word);
        long long code = 0;
        if (t.empty() || !referenceInteger(t[0], code)) continue;
        const bool header = (code == 1 || code == 16 || code == 17) && t.size() >= 5;
        if (!inside) {
            if (header && upper(t[4]) == key) {
                inside = true;
                double elevation = 0;
                record.elevationFt = referenceNumber(t[1], elevation) ? elevation : 0.0;
                for (std::size_t i = 5; i < t.size(); ++i) record.name += (i > 5 ? " " : "") + t[i];
                record.name = aptdat::validUtf8(record.name);
            }
            continue;
        }
        if (header) break;
        double v = 0;
        if (code == 1302 && t.size() >= 3) {
            if (t[1] == "datum_lat" && referenceNumber(t[2], v)) haveLat = true, lat = v;
            if (t[1] == "datum_lon" && referenceNumber(t[2], v)) haveLon = true, lon = v;
            if (t[1] == "region_code") record.region = aptdat::validUtf8(t[2]);
            if (t[1] == "magnetic_variation" && referenceNumber(t[2], v)) {
                record.magneticVariation = v;
                record.hasMagneticVariation = true;
            }
        } else if (code == 100 && t.size() >= 21) {
            double width = 0, surface = 0, lat1 = 0, lon1 = 0, lat2 = 0, lon2 = 0;
            if (!referenceNumber(t[1], width) || !referenceNumber(t[2], surface) || !referenceNumber(t[9], lat1) ||
                !referenceNumber(t[10], lon1) || !referenceNumber(t[18], lat2) || !referenceNumber(t[19], lon2)) {
                continue;
            }
            XPlaneRunwayRecord r;
            r.latitude = (lat1 + lat2) / 2;
            r.longitude = (lon1 + lon2) / 2;
            r.lengthMeters = aptdat::greatCircleMeters(lat1, lon1, lat2, lon2);
            r.widthMeters = width;
            r.headingDegrees = aptdat::initialBearingDegrees(lat1, lon1, lat2, lon2);
            r.primaryDisplacedThresholdMeters = std::max(0.0, referenceLeadingNumber(t[11]));
            r.secondaryDisplacedThresholdMeters = std::max(0.0, referenceLeadingNumber(t[20]));
            r.surfaceCode = aptdat::surfaceCodeFor(surface);
            const auto d1 = parseDesignator(t[8]);
            const auto d2 = parseDesignator(t[17]);
            r.primaryNumber = d1.number;
            r.primaryDesignatorCode = d1.designatorCode;
            r.secondaryNumber = d2.number;
            r.secondaryDesignatorCode = d2.designatorCode;
            record.runways.push_back(r);
        }
    }
    if (!inside) return false;
    record.hasPosition = haveLat && haveLon;
    if (record.hasPosition) record.latitude = lat, record.longitude = lon;
    out = record;
    return true;
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

TEST(AirportDatabaseScanner, MatchesPlainReadingOfTheRulesAtEveryBlockSize) {
    std::mt19937 random(20240611);
    const std::size_t blockSizes[] = {1, 2, 3, 5, 16, 17, 31, 64, AptDatScanner::kDefaultBlockSize};
    int found = 0;
    for (int round = 0; round < 250; ++round) {
        const std::string text = randomAptText(random);
        for (const char* key : {"KAAA", "KBBB", "KCCC"}) {
            XPlaneAirportRecord expected;
            const bool expectedFound = referenceScan(text, key, expected);
            found += expectedFound;
            for (const std::size_t blockSize : blockSizes) {
                XPlaneAirportRecord actual;
                const bool actualFound = AptDatScanner(key, blockSize).scanText(text, actual);
                ASSERT_EQ(actualFound, expectedFound) << key << " block " << blockSize << " in:\n" << text;
                if (expectedFound) {
                    ASSERT_EQ(describe(actual), describe(expected)) << key << " block " << blockSize << "\n" << text;
                }
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
}

}  // namespace
}  // namespace navorel
