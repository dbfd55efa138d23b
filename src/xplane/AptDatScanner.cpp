#include "xplane/AptDatScanner.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

#include "core/Geometry.h"
#include "core/Text.h"

namespace navorel {

namespace aptdat {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Length of the longest prefix that is a decimal number:
// [+-] (digits [. digits] | . digits) [(e|E) [+-] digits].
std::size_t decimalPrefix(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        std::size_t j = i + 1;
        std::size_t fraction = 0;
        while (j < s.size() && isDigit(s[j])) ++j, ++fraction;
        if (digits + fraction > 0) i = j, digits += fraction;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        const std::size_t exponentStart = j;
        while (j < s.size() && isDigit(s[j])) ++j;
        if (j > exponentStart) i = j;
    }
    return i;
}

// Converts text that decimalPrefix accepted in full; false when out of range.
bool convert(std::string_view s, double& value) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double parsed = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), parsed);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool parseWholeInt(std::string_view s, std::int32_t& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

std::int32_t designatorCodeFor(char letter) {
    switch (letter) {
        case 'L': return 1;
        case 'R': return 2;
        case 'C': return 3;
        case 'W': return 4;
        case 'A': return 5;
        case 'B': return 6;
        default: return 0;
    }
}

std::int32_t compassNumber(std::string_view text) {
    static constexpr std::pair<std::string_view, std::int32_t> kCompass[] = {
        {"N", 37}, {"NE", 38}, {"E", 39}, {"SE", 40}, {"S", 41}, {"SW", 42}, {"W", 43}, {"NW", 44}};
    for (const auto& [name, number] : kCompass) {
        if (name == text) return number;
    }
    return 0;
}

}  // namespace

bool parseWholeNumber(std::string_view token, double& value) {
    const std::size_t n = decimalPrefix(token);
    return n > 0 && n == token.size() && convert(token, value);
}

double parseLeadingNumber(std::string_view token) {
    double value = 0.0;
    const std::size_t n = decimalPrefix(token);
    if (n == 0 || !convert(token.substr(0, n), value)) return 0.0;
    return value;
}

Designator parseDesignator(std::string_view token) {
    std::string text(token);
    for (char& c : text) c = asciiUpper(c);
    Designator result;
    if (text.size() > 1 && isDigit(text.front()) && isLetter(text.back())) {
        result.designatorCode = designatorCodeFor(text.back());
        text.pop_back();
    }
    if (!text.empty() && isDigit(text.front())) {
        std::int32_t number = 0;
        result.number = parseWholeInt(text, number) ? number : 0;
    } else {
        result.number = compassNumber(text);
    }
    return result;
}

std::int32_t surfaceCodeFor(double aptSurfaceType) {
    static constexpr std::int32_t kCodes[] = {4, 0, 1, 12, 14, 27, 8, 9};  // types 1..8
    for (int type = 1; type <= 8; ++type) {
        if (aptSurfaceType == type) return kCodes[type - 1];
    }
    return 0;
}

double initialBearingDegrees(double lat1, double lon1, double lat2, double lon2) {
    const double phi1 = lat1 * kDegToRad;
    const double phi2 = lat2 * kDegToRad;
    const double dLambda = (lon2 - lon1) * kDegToRad;
    const double y = std::sin(dLambda) * std::cos(phi2);
    const double x = std::cos(phi1) * std::sin(phi2) - std::sin(phi1) * std::cos(phi2) * std::cos(dLambda);
    double degrees = std::atan2(y, x) / kDegToRad;
    if (degrees < 0.0) degrees += 360.0;
    return degrees;
}

}  // namespace aptdat

namespace {

using aptdat::parseWholeNumber;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

bool isHeaderCode(std::int32_t code) { return code == 1 || code == 16 || code == 17; }

// Row code of a line: token 0 as a decimal integer filling the whole token.
bool rowCode(const char* begin, const char* end, std::int32_t& code) {
    while (begin < end && isBlank(*begin)) ++begin;
    const char* tokenEnd = begin;
    while (tokenEnd < end && !isBlank(*tokenEnd)) ++tokenEnd;
    if (tokenEnd == begin) return false;
    const auto [parsedEnd, ec] = std::from_chars(begin, tokenEnd, code);
    return ec == std::errc() && parsedEnd == tokenEnd;
}

bool equalsUpper(std::string_view token, std::string_view key) {
    if (token.size() != key.size()) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (u != key[i]) return false;
    }
    return true;
}

// Follows the rows of one file: waits for the wanted airport's header, then
// collects its rows until the next header.
class AirportBlock {
public:
    explicit AirportBlock(std::string_view key) : key_(key) {}

    // One line without its '\n'. True once the wanted airport has ended.
    bool line(const char* begin, const char* end) {
        if (end > begin && end[-1] == '\r') --end;
        if (begin == end) return false;
        if (!inside_) {
            // The common case, kept cheap: most rows are not headers.
            std::int32_t code = 0;
            if (!rowCode(begin, end, code) || !isHeaderCode(code)) return false;
            tokenize(begin, end);
            if (tokens_.size() >= 5 && equalsUpper(tokens_[4], key_)) startAirport();
            return false;
        }
        tokenize(begin, end);
        std::int32_t code = 0;
        if (tokens_.empty() || !rowCode(tokens_[0].data(), tokens_[0].data() + tokens_[0].size(), code)) {
            return false;
        }
        if (isHeaderCode(code)) {
            if (tokens_.size() >= 5) return true;
        } else if (code == 1302) {
            metadataRow();
        } else if (code == 100) {
            runwayRow();
        }
        return false;
    }

    bool inside() const { return inside_; }

    // True with record filled when the wanted airport was seen.
    bool finish(XPlaneAirportRecord& record) {
        if (!inside_) return false;
        record_.hasPosition = haveDatumLat_ && haveDatumLon_;
        if (record_.hasPosition) {
            record_.latitude = datumLat_;
            record_.longitude = datumLon_;
        }
        record = std::move(record_);
        return true;
    }

private:
    void tokenize(const char* p, const char* end) {
        tokens_.clear();
        while (p < end) {
            while (p < end && isBlank(*p)) ++p;
            const char* start = p;
            while (p < end && !isBlank(*p)) ++p;
            if (p > start) tokens_.emplace_back(start, static_cast<std::size_t>(p - start));
        }
    }

    void startAirport() {
        inside_ = true;
        record_ = XPlaneAirportRecord{};
        double elevation = 0.0;
        record_.elevationFt = parseWholeNumber(tokens_[1], elevation) ? elevation : 0.0;
        std::string name;
        for (std::size_t i = 5; i < tokens_.size(); ++i) {
            if (i > 5) name += ' ';
            name.append(tokens_[i]);
        }
        record_.name = validUtf8(name, InvalidUtf8::Latin1);
    }

    void metadataRow() {
        if (tokens_.size() < 3) return;
        const std::string_view key = tokens_[1];
        const std::string_view value = tokens_[2];
        double number = 0.0;
        if (key == "datum_lat") {
            if (parseWholeNumber(value, number)) datumLat_ = number, haveDatumLat_ = true;
        } else if (key == "datum_lon") {
            if (parseWholeNumber(value, number)) datumLon_ = number, haveDatumLon_ = true;
        } else if (key == "region_code") {
            record_.region = validUtf8(value, InvalidUtf8::Latin1);
        } else if (key == "magnetic_variation") {
            if (parseWholeNumber(value, number)) {
                record_.magneticVariation = number;
                record_.hasMagneticVariation = true;
            }
        }
    }

    void runwayRow() {
        if (tokens_.size() < 21) return;
        double width = 0.0, surface = 0.0, lat1 = 0.0, lon1 = 0.0, lat2 = 0.0, lon2 = 0.0;
        if (!parseWholeNumber(tokens_[1], width) || !parseWholeNumber(tokens_[2], surface) ||
            !parseWholeNumber(tokens_[9], lat1) || !parseWholeNumber(tokens_[10], lon1) ||
            !parseWholeNumber(tokens_[18], lat2) || !parseWholeNumber(tokens_[19], lon2)) {
            return;
        }
        XPlaneRunwayRecord runway;
        runway.latitude = (lat1 + lat2) / 2.0;
        runway.longitude = (lon1 + lon2) / 2.0;
        runway.lengthMeters = greatCircleMetres(lat1, lon1, lat2, lon2);
        runway.widthMeters = width;
        runway.headingDegrees = aptdat::initialBearingDegrees(lat1, lon1, lat2, lon2);
        runway.primaryDisplacedThresholdMeters = std::max(0.0, aptdat::parseLeadingNumber(tokens_[11]));
        runway.secondaryDisplacedThresholdMeters = std::max(0.0, aptdat::parseLeadingNumber(tokens_[20]));
        runway.surfaceCode = aptdat::surfaceCodeFor(surface);
        const auto primary = aptdat::parseDesignator(tokens_[8]);
        const auto secondary = aptdat::parseDesignator(tokens_[17]);
        runway.primaryNumber = primary.number;
        runway.primaryDesignatorCode = primary.designatorCode;
        runway.secondaryNumber = secondary.number;
        runway.secondaryDesignatorCode = secondary.designatorCode;
        record_.runways.push_back(runway);
    }

    std::string_view key_;
    bool inside_ = false;
    XPlaneAirportRecord record_;
    bool haveDatumLat_ = false;
    bool haveDatumLon_ = false;
    double datumLat_ = 0.0;
    double datumLon_ = 0.0;
    std::vector<std::string_view> tokens_;
};

// Sixteen bytes at a time; GCC and Clang lower these to the target's vector
// instructions (SSE2 on x86-64) or to plain code elsewhere.
using ByteVector = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(ByteVector);
// Bytes the buffer holds beyond its data, so vector loads near the end stay inside it.
constexpr std::size_t kPadding = 5 * kLanes;

ByteVector loadBytes(const char* p) {
    ByteVector v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Offset of the first non-zero lane, or kLanes.
std::size_t firstSetLane(ByteVector mask) {
    std::uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof halves);
    if (halves[0] != 0) return static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
    if (halves[1] != 0) return 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
    return kLanes;
}

bool anySet(ByteVector mask) {
    std::uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// Lanes whose byte is a '\n' that may start a header row. A header's token 0
// is "1", "16" or "17", possibly after zeros and blanks, so its line begins
// with a byte up to '0' (blanks, line ends and '0' among them), or with '1'
// followed by a byte up to 0x20 or by '6' or '7'. This lets through a few
// other lines, which the row rules then examine in full; it never misses a
// header.
ByteVector candidateLanes(const char* at) {
    const ByteVector b0 = loadBytes(at);
    const ByteVector b1 = loadBytes(at + 1);
    const ByteVector b2 = loadBytes(at + 2);
    const ByteVector blankLimit = ByteVector{} + 0x20;
    const ByteVector digitZero = ByteVector{} + '0';
    const auto afterOne = (b2 <= blankLimit) | ((b2 | 1) == '7');
    const auto lineStart = (b1 <= digitZero) | ((b1 == '1') & afterOne);
    return reinterpret_cast<ByteVector>((b0 == '\n') & lineStart);
}

// Start of the next line after p (itself a line start following a '\n') that
// may be a header row, or of the last, unfinished line when none may be.
// Every other line is skipped unseen. Reads up to kPadding bytes beyond end.
const char* nextCandidateLine(const char* p, const char* end) {
    if (end - p < 2) return p;
    const char* const last = end - 3;  // last '\n' position whose two following bytes are data
    constexpr std::size_t kStride = 4 * kLanes;
    for (const char* at = p - 1; at <= last; at += kStride) {
        const ByteVector masks[4] = {candidateLanes(at), candidateLanes(at + kLanes),
                                     candidateLanes(at + 2 * kLanes), candidateLanes(at + 3 * kLanes)};
        if (!anySet(masks[0] | masks[1] | masks[2] | masks[3])) continue;
        std::size_t offset = 0;
        for (const ByteVector& mask : masks) {
            const std::size_t lane = firstSetLane(mask);
            if (lane < kLanes) {
                offset += lane;
                break;
            }
            offset += kLanes;
        }
        if (at + offset <= last) return at + offset + 1;
        break;
    }
    const char* lastNewline = end - 1;
    while (*lastNewline != '\n') --lastNewline;  // p - 1 is one
    return lastNewline + 1;
}

struct FeedResult {
    const char* rest;  // start of the unfinished last line
    bool done;         // the wanted airport has ended
};

// Feeds the lines of [begin, end), which starts at a line start, to block.
// Without atEnd an unfinished last line is left for the next call.
FeedResult feedLines(AirportBlock& block, const char* begin, const char* end, bool atEnd) {
    const char* p = begin;
    while (p < end) {
        const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (newline == nullptr) {
            if (!atEnd) return {p, false};
            return {end, block.line(p, end)};
        }
        if (block.line(p, newline)) return {end, true};
        p = newline + 1;
        if (!block.inside()) p = nextCandidateLine(p, end);
    }
    return {end, false};
}

// Runs the block over the text that read(destination, size) delivers; read
// returns the bytes delivered, 0 at the end, or a negative count on error.
template <typename Read>
bool scanBlocks(std::string_view key, std::size_t blockSize, Read&& read, XPlaneAirportRecord& record) {
    AirportBlock block(key);
    std::size_t capacity = blockSize;
    std::vector<char> buffer(capacity + kPadding);
    std::size_t carried = 0;  // bytes of an unfinished line kept at the front
    for (;;) {
        if (carried == capacity) {
            capacity *= 2;  // a line longer than the buffer
            buffer.resize(capacity + kPadding);
        }
        const std::ptrdiff_t got = read(buffer.data() + carried, capacity - carried);
        if (got < 0) return false;
        const bool atEnd = got == 0;
        const char* end = buffer.data() + carried + static_cast<std::size_t>(got);
        // Vector loads see zeros past the data, never bytes of an earlier block.
        std::memset(buffer.data() + carried + static_cast<std::size_t>(got), 0, kPadding);
        const FeedResult fed = feedLines(block, buffer.data(), end, atEnd);
        if (fed.done || atEnd) break;
        carried = static_cast<std::size_t>(end - fed.rest);
        std::memmove(buffer.data(), fed.rest, carried);
    }
    return block.finish(record);
}

}  // namespace

AptDatScanner::AptDatScanner(std::string key, std::size_t blockSize)
    : key_(std::move(key)), blockSize_(std::max<std::size_t>(blockSize, 1)) {}

bool AptDatScanner::scanText(std::string_view text, XPlaneAirportRecord& record) const {
    std::size_t offset = 0;
    auto read = [&](char* destination, std::size_t size) {
        const std::size_t n = std::min(size, text.size() - offset);
        std::memcpy(destination, text.data() + offset, n);
        offset += n;
        return static_cast<std::ptrdiff_t>(n);
    };
    return scanBlocks(key_, blockSize_, read, record);
}

bool AptDatScanner::scanFile(const std::filesystem::path& file, XPlaneAirportRecord& record) const {
    std::ifstream in;
    // Unbuffered: large reads go straight from the file into our block.
    in.rdbuf()->pubsetbuf(nullptr, 0);
    in.open(file, std::ios::binary);
    if (!in.is_open()) return false;
    auto read = [&](char* destination, std::size_t size) -> std::ptrdiff_t {
        in.read(destination, static_cast<std::streamsize>(size));
        if (in.bad()) return -1;
        return static_cast<std::ptrdiff_t>(in.gcount());
    };
    return scanBlocks(key_, blockSize_, read, record);
}

}  // namespace navorel
