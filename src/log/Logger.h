#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>

namespace navorel {

enum class LogLevel : std::int32_t { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3 };

// Five-character tag written into a line ("UNKNOWN" for other values).
const char* logLevelTag(LogLevel level);

// Process-wide diagnostic log with a console and a size-rotated file output,
// each with its own threshold. Any thread may log; lines never interleave.
class Logger {
public:
    // Tests build their own loggers on their own streams; the bridge uses instance().
    explicit Logger(std::ostream& out, std::ostream& err);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    static Logger& instance();

    void configure(LogLevel consoleLevel, LogLevel fileLevel, const std::string& filePath,
                   bool fileEnabled, std::uint32_t maxFileSizeMB, std::uint32_t maxFiles);

    void log(LogLevel level, std::string_view component, std::string_view message);
    void log(LogLevel level, std::string_view message) { log(level, {}, message); }

    // True when a line of this level would be written anywhere; lets callers
    // skip building a message nobody reads.
    bool wouldLog(LogLevel level) const {
        const auto value = static_cast<int>(level);
        return value >= consoleLevel_.load(std::memory_order_relaxed) ||
               value >= fileLevel_.load(std::memory_order_relaxed);
    }

    static constexpr std::size_t kMaxMessageBytes = 1024;
    static std::string sanitize(std::string_view message);

private:
    void openFile();
    void rotateIfNeeded();
    void rotate();
    std::string timestamp() const;

    std::ostream& out_;
    std::ostream& err_;
    // Thresholds are atomics so the early return needs no lock.
    std::atomic<int> consoleLevel_{static_cast<int>(LogLevel::INFO)};
    std::atomic<int> fileLevel_{static_cast<int>(LogLevel::DEBUG)};
    std::string filePath_ = "simconnect_bridge.log";
    bool fileEnabled_ = true;
    std::uint32_t maxFileSizeMB_ = 10;
    std::uint32_t maxFiles_ = 5;
    std::ofstream file_;
    std::uint64_t fileBytes_ = 0;  // size of the live file as written so far
    std::mutex mutex_;
};

// Shorthand used across the bridge.
inline void logLine(LogLevel level, std::string_view component, std::string_view message) {
    Logger& logger = Logger::instance();
    if (logger.wouldLog(level)) logger.log(level, component, message);
}

}  // namespace navorel
