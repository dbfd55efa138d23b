// apt.dat text through the scanner. Input: a byte choosing the read block size
// (tiny sizes split lines and rows anywhere), then the text. The first few
// airports with a header row are looked up, and one most likely absent: the
// answer must be the same as with the default block size.

#include <algorithm>
#include <array>
#include <sstream>
#include <tuple>
#include <vector>

#include "FuzzSupport.h"
#include "xplane/AptDatScanner.h"

namespace {

using navorel::XPlaneAirportRecord;
using navorel::XPlaneRunwayRecord;

// The idents of rows that look like airport headers (codes 1, 16, 17).
std::vector<std::string> someIdents(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::vector<std::string> idents;
    for (std::string line; idents.size() < 4 && std::getline(lines, line);) {
        std::istringstream row(line);
        std::string code, skipped, ident;
        if (row >> code >> skipped >> skipped >> skipped >> ident && (code == "1" || code == "16" || code == "17")) {
            for (char& c : ident) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            idents.push_back(ident);
        }
    }
    idents.push_back("ZZZZ9");
    return idents;
}

// Every field, so that records compare whole.
auto fields(const XPlaneRunwayRecord& r) {
    return std::tie(r.latitude, r.longitude, r.lengthMeters, r.widthMeters, r.headingDegrees,
                    r.primaryDisplacedThresholdMeters, r.secondaryDisplacedThresholdMeters, r.surfaceCode,
                    r.primaryNumber, r.primaryDesignatorCode, r.secondaryNumber, r.secondaryDesignatorCode);
}

auto fields(const XPlaneAirportRecord& r) {
    return std::tie(r.icao, r.name, r.region, r.elevationFt, r.latitude, r.longitude, r.hasPosition,
                    r.magneticVariation, r.hasMagneticVariation);
}

bool sameRecord(const XPlaneAirportRecord& a, const XPlaneAirportRecord& b) {
    return fields(a) == fields(b) && std::equal(a.runways.begin(), a.runways.end(), b.runways.begin(), b.runways.end(),
                                                [](const auto& x, const auto& y) { return fields(x) == fields(y); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr std::array<std::size_t, 8> kBlockSizes{1, 2, 3, 7, 16, 61, 256, 4096};
    const std::string_view text = navorel::fuzz::asText(data + 1, size - 1);
    for (const std::string& key : someIdents(text)) {
        XPlaneAirportRecord small;
        XPlaneAirportRecord large;
        const bool found = navorel::AptDatScanner(key, kBlockSizes[data[0] % kBlockSizes.size()]).scanText(text, small);
        FUZZ_CHECK(found == navorel::AptDatScanner(key).scanText(text, large));
        FUZZ_CHECK(!found || sameRecord(small, large));
    }
    return 0;
}
