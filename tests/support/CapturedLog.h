#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "log/Logger.h"

namespace navorel::test {

// A logger of its own whose lines the test reads back without their
// timestamps, e.g. "[WARN ] [ProcessMonitor] Failed to create process snapshot".
// Read only while no other thread logs.
class CapturedLog {
public:
    CapturedLog() : logger_(stream_, stream_) {}
    // Every line from `level` up.
    explicit CapturedLog(LogLevel level) : logger_(stream_, stream_) {
        logger_.configure(level, level, "", false, 1, 1);
    }

    Logger& logger() { return logger_; }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream input(stream_.str());
        for (std::string line; std::getline(input, line);) {
            const std::size_t stamp = line.find("] ");
            result.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
        }
        return result;
    }

    // Lines logged since the last call.
    std::vector<std::string> take() {
        std::vector<std::string> result = lines();
        stream_.str({});
        return result;
    }

private:
    std::ostringstream stream_;
    Logger logger_;
};

}  // namespace navorel::test
