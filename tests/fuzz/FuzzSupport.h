#pragma once

// Shared by the fuzz targets: the check that ends a run, the independent
// tests of what the bridge sends, a clock that moves only when told to, and a
// logger that writes nowhere.

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/Clock.h"
#include "log/Logger.h"

// A property that must hold for every input: a violation is a finding, so it
// stops the run like a crash (libFuzzer keeps the input).
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (false)

namespace navorel::fuzz {

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Valid UTF-8 by nlohmann's own strict check, independent of core/Text.
inline bool isValidUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// Every number of the document is finite: a non-finite one would reach the
// wire as null.
inline bool hasOnlyFiniteNumbers(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& element : value) {
            if (!hasOnlyFiniteNumbers(element)) return false;
        }
    }
    return true;
}

// What the server does with an outbound message: serialise it strictly.
// Returns the text; a message that cannot be serialised is a finding.
inline std::string serializeStrictly(const nlohmann::json& message) {
    try {
        return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception& e) {
        std::fprintf(stderr, "message does not serialise: %s\n", e.what());
        std::abort();
    }
}

class ManualClock final : public Clock {
public:
    SteadyTime steadyNow() const override { return steady_; }
    SystemTime systemNow() const override { return system_; }
    void advance(std::chrono::milliseconds step) {
        steady_ += step;
        system_ += step;
    }

private:
    SteadyTime steady_ = SteadyTime{} + std::chrono::hours(1);
    SystemTime system_ = SystemTime{} + std::chrono::hours(24 * 365 * 50);
};

// A logger at its most talkative level whose lines go nowhere, so that the
// logging paths run too.
inline Logger& silentLogger() {
    static std::ostream nowhere(nullptr);
    static Logger* const logger = [] {
        auto* created = new Logger(nowhere, nowhere);
        created->configure(LogLevel::DEBUG, LogLevel::DEBUG, {}, false, 1, 1);
        return created;
    }();
    return *logger;
}

// The process-wide logger kept quiet: nothing on the console, no log file.
inline void silenceGlobalLogger() {
    // A level above ERROR: no line passes.
    const auto off = static_cast<LogLevel>(static_cast<int>(LogLevel::ERROR) + 1);
    Logger::instance().configure(off, off, {}, false, 1, 1);
}

}  // namespace navorel::fuzz
