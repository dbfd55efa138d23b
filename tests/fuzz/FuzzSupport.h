#pragma once

// Shared by the fuzz targets, each of which is one translation unit.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Clock.h"
#include "log/Logger.h"

// A property that must hold for every input: a violation stops the run like a
// crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? (void)0                                                                         \
                 : (std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__), \
                    std::abort()))

// The process-wide logger kept quiet: nothing on the console, no log file.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto off = static_cast<navorel::LogLevel>(static_cast<int>(navorel::LogLevel::ERROR) + 1);
    navorel::Logger::instance().configure(off, off, {}, false, 1, 1);
    return 0;
}

namespace navorel::fuzz {

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input cut at NUL bytes, at most `limit` parts; the rest is ignored.
inline std::vector<std::string_view> splitAtNul(std::string_view text, std::size_t limit) {
    std::vector<std::string_view> parts;
    while (!text.empty() && parts.size() < limit) {
        const std::size_t end = text.find('\0');
        parts.push_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return parts;
}

// Serialised as the server sends it: strictly, so text that is not valid
// UTF-8 fails (nlohmann's check, independent of core/Text).
inline bool serializesStrictly(const nlohmann::json& value) {
    try {
        (void)value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

inline bool isValidUtf8(const std::string& text) { return serializesStrictly(nlohmann::json(text)); }

// A non-finite number would reach the wire as null.
inline bool hasOnlyFiniteNumbers(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    return !value.is_structured() || std::all_of(value.begin(), value.end(), hasOnlyFiniteNumbers);
}

// Time moves only when a target says so.
struct ManualClock final : Clock {
    SteadyTime steadyNow() const override { return SteadyTime{} + elapsed; }
    SystemTime systemNow() const override { return SystemTime{} + std::chrono::hours(24 * 365 * 50) + elapsed; }
    std::chrono::milliseconds elapsed = std::chrono::hours(1);
};

// At its most talkative level, so the logging paths run, but writing nowhere.
inline Logger& silentLogger() {
    static std::ostream nowhere(nullptr);
    static Logger* const logger = [] {
        auto* created = new Logger(nowhere, nowhere);
        created->configure(LogLevel::DEBUG, LogLevel::DEBUG, {}, false, 1, 1);
        return created;
    }();
    return *logger;
}

}  // namespace navorel::fuzz
