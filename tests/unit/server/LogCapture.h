#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "log/Logger.h"

namespace navorel::test {

// A private logger at DEBUG whose lines read back without their timestamps,
// e.g. "[WARN ] [WebSocketMessageHandler] Message missing 'type' field".
class LogCapture {
public:
    LogCapture() : logger_(stream_, stream_) { logger_.configure(LogLevel::DEBUG, LogLevel::DEBUG, "", false, 1, 1); }

    Logger& logger() { return logger_; }

    std::vector<std::string> take() {
        std::vector<std::string> result;
        std::istringstream input(stream_.str());
        for (std::string line; std::getline(input, line);) {
            const std::size_t stamp = line.find("] ");
            result.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
        }
        stream_.str({});
        return result;
    }

private:
    std::ostringstream stream_;
    Logger logger_;
};

}  // namespace navorel::test
