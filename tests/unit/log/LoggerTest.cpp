#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/Logger.h"
#include "support/TempDir.h"

namespace navorel {
namespace {

namespace fs = std::filesystem;
using test::writeFile;
using Lines = std::vector<std::string>;

constexpr std::uintmax_t kMiB = 1024 * 1024;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The lines without their "[2025-03-14 09:26:53.058] " stamp and the CR that
// Windows ends log-file lines with; a line without a stamp stays whole.
Lines unstamped(const std::string& text) {
    static const std::regex stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] (.*?)\r?$)");
    Lines result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(std::regex_replace(line, stamp, "$1"));
    return result;
}

class LoggerTest : public ::testing::Test {
protected:
    void configureFile(const fs::path& path, LogLevel consoleLevel = LogLevel::DEBUG, bool enabled = true) {
        logger_.configure(consoleLevel, LogLevel::DEBUG, path.string(), enabled, 10, 3);
    }

    const test::TempDir temp_;
    const fs::path& dir_ = temp_.path();
    std::ostringstream out_;
    std::ostringstream err_;
    Logger logger_{out_, err_};
};

TEST_F(LoggerTest, LinesCarryStampTagAndComponentAndGoToTheStreamOfTheirLevelAboveTheThreshold) {
    logger_.log(LogLevel::DEBUG, "below the default INFO");
    logger_.log(LogLevel::WARN, "ReconnectionManager", "Connection lost");
    logger_.log(LogLevel::INFO, "no component");
    logger_.log(LogLevel::ERROR, "C", "e");
    logger_.log(static_cast<LogLevel>(9), "C", "x");
    EXPECT_EQ(unstamped(out_.str()), (Lines{"[WARN ] [ReconnectionManager] Connection lost", "[INFO ] no component"}));
    EXPECT_EQ(unstamped(err_.str()), (Lines{"[ERROR] [C] e", "[UNKNOWN] [C] x"}));

    // The quiet run: errors on the console only, no file.
    configureFile(dir_ / "off" / "quiet.log", LogLevel::ERROR, false);
    logger_.log(LogLevel::WARN, "dropped");
    EXPECT_EQ(unstamped(out_.str()).size(), 2u);
    EXPECT_FALSE(fs::exists(dir_ / "off"));
}

// Client text must neither forge log lines nor drive a terminal.
TEST_F(LoggerTest, MessagesAreKeptToOneSafeLineOfAtMost1024Bytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb", "a  b"},
        {"a\x1b[2Jb", "a\\x1b[2Jb"},
        {std::string("nul\0tab\tdel\x7f", 12), "nul\\x00tab\\x09del\\x7f"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {std::string(1024, 'x'), std::string(1024, 'x')},
        {std::string(1020, 'y') + "zq" + std::string(3, 'y'), std::string(1020, 'y') + "z..."},
        {std::string(2000, '\n'), std::string(1021, ' ') + "..."},
    };
    Lines expected;
    for (const auto& [message, written] : cases) {
        logger_.log(LogLevel::INFO, message);
        expected.push_back("[INFO ] " + written);
    }
    EXPECT_EQ(unstamped(out_.str()), expected);
}

TEST_F(LoggerTest, FileGetsEveryLevelInADirectoryItCreatesOrTheWorkingOneAndAppends) {
    const fs::path nested = dir_ / "nested" / "deeper" / "bridge.log";
    configureFile(nested, LogLevel::ERROR);
    logger_.log(LogLevel::DEBUG, "WebSocket", "debug line");
    writeFile(dir_ / "bridge.log", "earlier run\n");
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    configureFile("bridge.log");  // closes the first file
    logger_.log(LogLevel::INFO, "this run");
    configureFile("", LogLevel::DEBUG, false);
    fs::current_path(previous);
    EXPECT_EQ(unstamped(readFile(nested)), Lines{"[DEBUG] [WebSocket] debug line"});
    EXPECT_EQ(unstamped(readFile(dir_ / "bridge.log")), (Lines{"earlier run", "[INFO ] this run"}));
    EXPECT_EQ(err_.str(), "");
}

TEST_F(LoggerTest, UnusableFileIsWarnedAboutAndTheConsoleGoesOn) {
    fs::create_directories(dir_ / "folder");  // a directory cannot be opened as a file
    writeFile(dir_ / "blocker", "x");         // nor can a regular file hold one
    for (const fs::path& path : {dir_ / "folder", dir_ / "blocker" / "bridge.log"}) {
        err_.str("");
        configureFile(path);
        logger_.log(LogLevel::ERROR, "on");
        const Lines written = unstamped(err_.str());
        EXPECT_TRUE(written.size() == 2 && written[0].starts_with("Warning: ") && written[1] == "[ERROR] on") << path;
    }
}

class LoggerRotationTest : public LoggerTest {
protected:
    fs::path live() const { return dir_ / "bridge.log"; }
    fs::path backup(std::size_t index) const { return live().string() + "." + std::to_string(index); }
    // Starts from a live file of `size` bytes and the given backups, and logs
    // through a logger of its own with a 1 MiB limit.
    void logOver(std::uintmax_t size, const Lines& backups, std::uint32_t maxFiles, const Lines& messages) {
        for (std::size_t i = 1; i <= 3; ++i) fs::remove(backup(i));
        writeFile(live(), std::string(size, 'a'));
        for (std::size_t i = 0; i < backups.size(); ++i) writeFile(backup(i + 1), backups[i]);
        Logger logger(out_, err_);
        logger.configure(LogLevel::DEBUG, LogLevel::DEBUG, live().string(), true, 1, maxFiles);
        for (const std::string& message : messages) logger.log(LogLevel::INFO, "C", message);
    }
};

// The size is read when the file opens and counted from then on; the line
// that finds the file over the limit starts a new one.
TEST_F(LoggerRotationTest, RotatesOnceTheFileIsOneByteOverTheLimit) {
    logOver(0, {}, 3, {"0"});
    const std::uintmax_t line = fs::file_size(live());  // with CR LF on Windows
    const std::pair<std::uintmax_t, int> cases[] = {{kMiB + 1, 0}, {kMiB, 1}, {kMiB + 1 - line, 1}, {kMiB - line, 2}};
    for (const auto& [size, linesBefore] : cases) {
        SCOPED_TRACE(size);
        logOver(size, {}, 3, {"1", "2", "3"});
        EXPECT_EQ(fs::file_size(backup(1)), size + linesBefore * line);
        EXPECT_FALSE(fs::exists(backup(2))) << "one rotation only";
        const Lines all{"[INFO ] [C] 1", "[INFO ] [C] 2", "[INFO ] [C] 3"};
        EXPECT_EQ(unstamped(readFile(live())), Lines(all.begin() + linesBefore, all.end()));
    }
}

TEST_F(LoggerRotationTest, KeepsMaxFilesCountingTheLiveOneButAlwaysOneBackup) {
    const struct {
        std::uint32_t maxFiles;
        Lines before;        // backups .1, .2, ...
        std::string second;  // expected in .2
    } cases[] = {{3, {"previous", "oldest"}, "previous"}, {1, {"replaced"}, ""}, {0, {"replaced"}, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxFiles);
        logOver(kMiB + 1, c.before, c.maxFiles, {"trigger"});
        EXPECT_EQ(fs::file_size(backup(1)), kMiB + 1);
        EXPECT_EQ(readFile(backup(2)), c.second);
        EXPECT_FALSE(fs::exists(backup(c.second.empty() ? 2 : 3)));
        EXPECT_EQ(unstamped(readFile(live())), Lines{"[INFO ] [C] trigger"});
    }
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    configureFile(dir_ / "threads.log");
    std::latch start(4);
    const auto write = [&] {
        start.arrive_and_wait();
        for (int i = 0; i < 250; ++i) logger_.log(LogLevel::INFO, "T", std::string(200, 'p'));
    };
    { std::jthread a(write), b(write), c(write), d(write); }
    for (const std::string& text : {readFile(dir_ / "threads.log"), out_.str()}) {
        const Lines written = unstamped(text);
        EXPECT_EQ(written.size(), 1000u);
        for (const std::string& line : written) ASSERT_EQ(line, "[INFO ] [T] " + std::string(200, 'p'));
    }
}

}  // namespace
}  // namespace navorel
