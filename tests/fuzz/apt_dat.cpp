// apt.dat text through the scanner. Input: a byte choosing the read block size
// (tiny sizes split lines and rows anywhere), then the text. Every airport the
// text has a header for is looked up, and one it does not have. The scanner
// must find exactly the airports a plain line-by-line reading finds, with the
// same record whatever the block size.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "xplane/AptDatScanner.h"

namespace {

using navorel::AptDatScanner;
using navorel::XPlaneAirportRecord;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

// The idents of the header rows (codes 1, 16, 17 with at least five tokens),
// read the plain way.
std::vector<std::string> headerIdents(std::string_view text) {
    std::vector<std::string> idents;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        std::vector<std::string_view> tokens;
        for (std::size_t i = 0; i < line.size();) {
            while (i < line.size() && isBlank(line[i])) ++i;
            const std::size_t start = i;
            while (i < line.size() && !isBlank(line[i])) ++i;
            if (i > start) tokens.push_back(line.substr(start, i - start));
        }
        if (tokens.size() < 5) continue;
        std::int32_t code = 0;
        const auto [end, ec] = std::from_chars(tokens[0].data(), tokens[0].data() + tokens[0].size(), code);
        if (ec != std::errc() || end != tokens[0].data() + tokens[0].size()) continue;
        if (code == 1 || code == 16 || code == 17) idents.push_back(upper(tokens[4]));
    }
    return idents;
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameRecord(const XPlaneAirportRecord& a, const XPlaneAirportRecord& b) {
    if (a.name != b.name || a.region != b.region || !same(a.elevationFt, b.elevationFt) ||
        a.hasPosition != b.hasPosition || !same(a.latitude, b.latitude) || !same(a.longitude, b.longitude) ||
        a.hasMagneticVariation != b.hasMagneticVariation || !same(a.magneticVariation, b.magneticVariation) ||
        a.runways.size() != b.runways.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.runways.size(); ++i) {
        const auto& x = a.runways[i];
        const auto& y = b.runways[i];
        if (!same(x.latitude, y.latitude) || !same(x.longitude, y.longitude) ||
            !same(x.lengthMeters, y.lengthMeters) || !same(x.widthMeters, y.widthMeters) ||
            !same(x.headingDegrees, y.headingDegrees) ||
            !same(x.primaryDisplacedThresholdMeters, y.primaryDisplacedThresholdMeters) ||
            !same(x.secondaryDisplacedThresholdMeters, y.secondaryDisplacedThresholdMeters) ||
            x.surfaceCode != y.surfaceCode || x.primaryNumber != y.primaryNumber ||
            x.primaryDesignatorCode != y.primaryDesignatorCode || x.secondaryNumber != y.secondaryNumber ||
            x.secondaryDesignatorCode != y.secondaryDesignatorCode) {
            return false;
        }
    }
    return true;
}

void checkRecord(const XPlaneAirportRecord& record) {
    FUZZ_CHECK(navorel::fuzz::isValidUtf8(record.name));
    FUZZ_CHECK(navorel::fuzz::isValidUtf8(record.region));
    FUZZ_CHECK(record.icao.empty());
    for (double value : {record.elevationFt, record.latitude, record.longitude, record.magneticVariation}) {
        FUZZ_CHECK(std::isfinite(value));
    }
    for (const auto& runway : record.runways) {
        for (double value : {runway.latitude, runway.longitude, runway.lengthMeters, runway.widthMeters,
                             runway.headingDegrees, runway.primaryDisplacedThresholdMeters,
                             runway.secondaryDisplacedThresholdMeters}) {
            FUZZ_CHECK(std::isfinite(value));
        }
        FUZZ_CHECK(runway.headingDegrees >= 0.0 && runway.headingDegrees <= 360.0);
        FUZZ_CHECK(runway.lengthMeters >= 0.0);
        FUZZ_CHECK(runway.primaryDisplacedThresholdMeters >= 0.0 && runway.secondaryDisplacedThresholdMeters >= 0.0);
        FUZZ_CHECK(runway.primaryDesignatorCode >= 0 && runway.primaryDesignatorCode <= 6);
        FUZZ_CHECK(runway.secondaryDesignatorCode >= 0 && runway.secondaryDesignatorCode <= 6);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr std::array<std::size_t, 8> kBlockSizes{1, 2, 3, 7, 16, 61, 256, 4096};
    const std::size_t blockSize = kBlockSizes[data[0] % kBlockSizes.size()];
    const std::string_view text = navorel::fuzz::asText(data + 1, size - 1);

    std::vector<std::string> keys = headerIdents(text);
    if (keys.size() > 4) keys.resize(4);
    keys.push_back("ZZZZ9");  // most likely absent
    const std::vector<std::string> present = headerIdents(text);
    for (const std::string& key : keys) {
        const bool expected = std::find(present.begin(), present.end(), key) != present.end();
        XPlaneAirportRecord small;
        XPlaneAirportRecord large;
        const bool foundSmall = AptDatScanner(key, blockSize).scanText(text, small);
        const bool foundLarge = AptDatScanner(key).scanText(text, large);
        FUZZ_CHECK(foundSmall == expected);
        FUZZ_CHECK(foundLarge == expected);
        if (!expected) continue;
        checkRecord(large);
        FUZZ_CHECK(sameRecord(small, large));
    }
    return 0;
}
