#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/AirportRecord.h"

namespace navorel {

// Reads apt.dat text for one airport. Outside the wanted airport only the
// header rows (codes 1, 16, 17) are examined, so a miss over a large file
// costs little more than reading it; every row of the wanted airport is
// tokenised in full.
class AptDatScanner {
public:
    static constexpr std::size_t kDefaultBlockSize = 256 * 1024;

    // key: the ICAO ident in upper case. blockSize: bytes read at a time; a
    // longer line makes the buffer grow to hold it.
    explicit AptDatScanner(std::string key, std::size_t blockSize = kDefaultBlockSize);

    // True with record filled when the file holds the airport: name, elevation,
    // region, magnetic variation, runways, and the position only from datum rows
    // (hasPosition false otherwise). icao is left empty. A file that cannot be
    // opened or read to the end yields nothing.
    bool scanFile(const std::filesystem::path& file, XPlaneAirportRecord& record) const;

    // The same over text in memory.
    bool scanText(std::string_view text, XPlaneAirportRecord& record) const;

private:
    std::string key_;
    std::size_t blockSize_;
};

// Row rules shared with the tests.
namespace aptdat {

struct Designator {
    std::int32_t number = 0;
    std::int32_t designatorCode = 0;
};

// A runway end designator such as "09L", "36" or "N".
Designator parseDesignator(std::string_view token);

// apt.dat surface type onto the facility surface codes.
std::int32_t surfaceCodeFor(double aptSurfaceType);

// A decimal number filling the whole token (no "inf"/"nan", no hexadecimal).
bool parseWholeNumber(std::string_view token, double& value);

// The token's leading decimal number; 0 when it has none.
double parseLeadingNumber(std::string_view token);


// Initial great-circle bearing from end 1 to end 2, degrees true, 0 up to 360.
double initialBearingDegrees(double lat1, double lon1, double lat2, double lon2);

}  // namespace aptdat

}  // namespace navorel
