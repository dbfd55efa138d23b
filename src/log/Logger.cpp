#include "log/Logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "platform/LocalTime.h"
#include "platform/TextFile.h"

namespace navorel {

namespace fs = std::filesystem;

const char* logLevelTag(LogLevel level) {
    switch (level) {
        case LogLevel::DEBUG: return "DEBUG";
        case LogLevel::INFO: return "INFO ";
        case LogLevel::WARN: return "WARN ";
        case LogLevel::ERROR: return "ERROR";
    }
    return "UNKNOWN";
}

Logger::Logger(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

Logger::~Logger() {
    std::lock_guard lock(mutex_);
    if (file_.is_open()) {
        file_.flush();
        file_.close();
    }
}

Logger& Logger::instance() {
    // Construction of a function-local static is serialised by the runtime, so
    // the first call may come from any thread. The logger is never destroyed:
    // detached threads and late destructors may still log while the process
    // exits, and every file line is flushed as it is written anyway.
    static Logger* const logger = new Logger(std::cout, std::cerr);
    return *logger;
}

void Logger::configure(LogLevel consoleLevel, LogLevel fileLevel, const std::string& filePath,
                       bool fileEnabled, std::uint32_t maxFileSizeMB, std::uint32_t maxFiles) {
    std::lock_guard lock(mutex_);
    if (file_.is_open()) file_.close();
    consoleLevel_.store(static_cast<int>(consoleLevel));
    fileLevel_.store(static_cast<int>(fileLevel));
    filePath_ = filePath;
    fileEnabled_ = fileEnabled;
    maxFileSizeMB_ = maxFileSizeMB;
    maxFiles_ = maxFiles;
    if (!fileEnabled_) return;
    try {
        // parent_path() leaves out the separators in front of the file name.
        const fs::path parentDir = fs::path(filePath_).parent_path();
        if (!parentDir.empty()) fs::create_directories(parentDir);
        openFile();
        if (!file_.is_open()) err_ << "Warning: Failed to open log file: " << filePath_ << std::endl;
    } catch (const std::exception& e) {
        err_ << "Warning: Error setting up log file: " << e.what() << std::endl;
    }
}

std::string Logger::sanitize(std::string_view message) {
    // Line breaks become blanks and other control characters are escaped, so
    // that text from a client can neither forge lines nor drive a terminal.
    std::string text;
    text.reserve(message.size());
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r') {
            text += ' ';
        } else if (byte < 0x20 || byte == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0x0F];
        } else {
            text += c;
        }
    }
    if (text.size() > kMaxMessageBytes) {
        text.resize(kMaxMessageBytes - 3);
        text += "...";
    }
    return text;
}

std::string Logger::timestamp() const {
    using namespace std::chrono;
    const auto now = system_clock::now();
    // floor, not to_time_t's own rounding, so seconds and milliseconds agree.
    const auto wholeSeconds = floor<seconds>(now);
    const std::time_t calendarTime = system_clock::to_time_t(wholeSeconds);
    const auto millis = duration_cast<milliseconds>(now - wholeSeconds).count();
    const std::tm local = platform::localTime(calendarTime);
    char buffer[48];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + length, sizeof buffer - length, ".%03d", static_cast<int>(millis));
    return buffer;
}

void Logger::log(LogLevel level, std::string_view component, std::string_view message) {
    if (!wouldLog(level)) return;
    const std::string text = sanitize(message);

    std::lock_guard lock(mutex_);
    std::string line;
    line.reserve(text.size() + component.size() + 40);
    line += '[';
    line += timestamp();
    line += "] [";
    line += logLevelTag(level);
    line += ']';
    if (!component.empty()) {
        line += " [";
        line += component;
        line += ']';
    }
    line += ' ';
    line += text;

    const int value = static_cast<int>(level);
    if (value >= consoleLevel_.load()) {
        std::ostream& stream = value >= static_cast<int>(LogLevel::ERROR) ? err_ : out_;
        stream << line << '\n';
        stream.flush();
    }
    if (value >= fileLevel_.load() && fileEnabled_ && file_.is_open()) {
        rotateIfNeeded();
        if (!file_.is_open()) {
            openFile();
            if (!file_.is_open()) return;
        }
        file_ << line << '\n';
        file_.flush();
        fileBytes_ += line.size() + platform::textFileNewlineBytes();
    }
}

void Logger::openFile() {
    file_.clear();
    file_.open(filePath_, std::ios::out | std::ios::app);
    // The size is read once here and counted from then on, so a line costs
    // no file-system query.
    std::error_code ec;
    const auto size = fs::file_size(filePath_, ec);
    fileBytes_ = ec ? 0 : static_cast<std::uint64_t>(size);
}

void Logger::rotateIfNeeded() {
    if (fileBytes_ <= static_cast<std::uint64_t>(maxFileSizeMB_) * 1024u * 1024u) return;
    try {
        rotate();
    } catch (...) {
        // Rotation problems never reach callers; the line is still written.
    }
}

void Logger::rotate() {
    if (file_.is_open()) {
        file_.flush();
        file_.close();
    }
    for (std::uint32_t i = maxFiles_ > 0 ? maxFiles_ - 1 : 0; i >= 1; --i) {
        const std::string oldName = filePath_ + "." + std::to_string(i);
        const std::string newName = filePath_ + "." + std::to_string(i + 1);
        if (!fs::exists(oldName)) continue;
        if (i == maxFiles_ - 1) {
            fs::remove(oldName);
        } else {
            fs::rename(oldName, newName);
        }
    }
    if (fs::exists(filePath_)) fs::rename(filePath_, filePath_ + ".1");
}

}  // namespace navorel
