#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/Logger.h"

namespace navorel {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMiB = 1024 * 1024;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        // Log files are text files: Windows ends their lines with CR LF.
        if (line.ends_with('\r')) line.pop_back();
        result.push_back(line);
    }
    return result;
}

// "[2025-03-14 09:26:53.058] [TAG  ]" followed by the rest of the line.
std::regex linePattern(const std::string& rest) {
    return std::regex(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )" + rest + "$");
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("navorel_logger_" + std::to_string(random()) + "_" + std::to_string(random()));
        fs::create_directories(dir_);
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Everything to the console, every line to the file.
    void configureFile(const fs::path& path, std::uint32_t maxFileSizeMB = 10, std::uint32_t maxFiles = 3) {
        logger_.configure(LogLevel::DEBUG, LogLevel::DEBUG, path.string(), true, maxFileSizeMB, maxFiles);
    }

    fs::path dir_;
    std::ostringstream out_;
    std::ostringstream err_;
    Logger logger_{out_, err_};
};

TEST_F(LoggerTest, WritesTimestampTagComponentAndMessage) {
    logger_.configure(LogLevel::DEBUG, LogLevel::DEBUG, "unused.log", false, 10, 3);
    logger_.log(LogLevel::WARN, "ReconnectionManager", "Connection lost: pipe closed");
    logger_.log(LogLevel::INFO, "State: IDLE -> ACTIVE");
    logger_.log(LogLevel::DEBUG, "", "tick");

    const auto written = lines(out_.str());
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(std::regex_match(written[0],
                                 linePattern(R"(\[WARN \] \[ReconnectionManager\] Connection lost: pipe closed)")))
        << written[0];
    // No component: no empty bracket pair.
    EXPECT_TRUE(std::regex_match(written[1], linePattern(R"(\[INFO \] State: IDLE -> ACTIVE)"))) << written[1];
    EXPECT_TRUE(std::regex_match(written[2], linePattern(R"(\[DEBUG\] tick)"))) << written[2];
    EXPECT_EQ(out_.str().find("[]"), std::string::npos);
}

TEST_F(LoggerTest, TagsArePaddedToFiveCharacters) {
    EXPECT_STREQ(logLevelTag(LogLevel::DEBUG), "DEBUG");
    EXPECT_STREQ(logLevelTag(LogLevel::INFO), "INFO ");
    EXPECT_STREQ(logLevelTag(LogLevel::WARN), "WARN ");
    EXPECT_STREQ(logLevelTag(LogLevel::ERROR), "ERROR");
    EXPECT_STREQ(logLevelTag(static_cast<LogLevel>(7)), "UNKNOWN");
    EXPECT_STREQ(logLevelTag(static_cast<LogLevel>(-1)), "UNKNOWN");
}

TEST_F(LoggerTest, ErrorsAndAboveGoToStandardErrorTheRestToStandardOutput) {
    logger_.configure(LogLevel::DEBUG, LogLevel::DEBUG, "unused.log", false, 10, 3);
    logger_.log(LogLevel::DEBUG, "C", "d");
    logger_.log(LogLevel::INFO, "C", "i");
    logger_.log(LogLevel::WARN, "C", "w");
    logger_.log(LogLevel::ERROR, "C", "e");
    logger_.log(static_cast<LogLevel>(9), "C", "x");

    const auto stdoutLines = lines(out_.str());
    const auto stderrLines = lines(err_.str());
    ASSERT_EQ(stdoutLines.size(), 3u);
    ASSERT_EQ(stderrLines.size(), 2u);
    EXPECT_TRUE(std::regex_match(stdoutLines[2], linePattern(R"(\[WARN \] \[C\] w)")));
    EXPECT_TRUE(std::regex_match(stderrLines[0], linePattern(R"(\[ERROR\] \[C\] e)")));
    EXPECT_TRUE(std::regex_match(stderrLines[1], linePattern(R"(\[UNKNOWN\] \[C\] x)")));
}

TEST_F(LoggerTest, ThresholdsOfTheQuietAndDefaultSettings) {
    // Construction defaults: console from INFO, file wanted but not yet open.
    EXPECT_FALSE(logger_.wouldLog(static_cast<LogLevel>(-1)));
    logger_.log(LogLevel::DEBUG, "C", "nowhere");
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), "");
    logger_.log(LogLevel::INFO, "C", "shown");
    EXPECT_EQ(lines(out_.str()).size(), 1u);

    // The quiet run: errors on the console only, no file.
    out_.str("");
    logger_.configure(LogLevel::ERROR, LogLevel::DEBUG, (dir_ / "quiet.log").string(), false, 10, 3);
    logger_.log(LogLevel::WARN, "C", "dropped");
    logger_.log(LogLevel::ERROR, "C", "failed");
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(lines(err_.str()).size(), 1u);
    EXPECT_FALSE(fs::exists(dir_ / "quiet.log"));
}

TEST_F(LoggerTest, LineBreaksBecomeBlanksAndLongMessagesAreCut) {
    EXPECT_EQ(Logger::sanitize("a\r\nb"), "a  b");
    EXPECT_EQ(Logger::sanitize("\n\n"), "  ");

    const std::string exact(1024, 'x');
    EXPECT_EQ(Logger::sanitize(exact), exact);

    std::string longer(1025, 'y');
    longer[1020] = 'z';
    longer[1021] = 'q';
    const std::string cut = Logger::sanitize(longer);
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(cut, std::string(1020, 'y') + "z...");

    // Line breaks count before the cut: a message of breaks is cut too.
    EXPECT_EQ(Logger::sanitize(std::string(2000, '\n')), std::string(1021, ' ') + "...");

    logger_.log(LogLevel::INFO, "C", "one\ntwo");
    logger_.log(LogLevel::INFO, "C", longer);
    const auto written = lines(out_.str());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::regex_match(written[0], linePattern(R"(\[INFO \] \[C\] one two)")));
    EXPECT_TRUE(written[1].ends_with("] [C] " + cut));
}

TEST_F(LoggerTest, FileGetsEveryLineFromTheFileLevelAndItsDirectoryIsCreated) {
    const fs::path path = dir_ / "nested" / "deeper" / "bridge.log";
    logger_.configure(LogLevel::ERROR, LogLevel::DEBUG, path.string(), true, 10, 3);
    EXPECT_TRUE(fs::is_directory(dir_ / "nested" / "deeper"));
    EXPECT_TRUE(fs::exists(path));

    logger_.log(LogLevel::DEBUG, "WebSocket", "debug line");
    logger_.log(LogLevel::ERROR, "error line");
    const auto written = lines(readFile(path));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::regex_match(written[0], linePattern(R"(\[DEBUG\] \[WebSocket\] debug line)")));
    EXPECT_TRUE(std::regex_match(written[1], linePattern(R"(\[ERROR\] error line)")));
    EXPECT_EQ(out_.str(), "");

    // Reconfiguring closes the file: later lines go to the new one only.
    const fs::path second = dir_ / "second.log";
    configureFile(second);
    logger_.log(LogLevel::INFO, "later");
    EXPECT_EQ(lines(readFile(path)).size(), 2u);
    EXPECT_EQ(lines(readFile(second)).size(), 1u);
}

TEST_F(LoggerTest, FileAppendsToAnExistingLog) {
    const fs::path path = dir_ / "bridge.log";
    writeFile(path, "earlier run\n");
    configureFile(path);
    logger_.log(LogLevel::INFO, "this run");
    const auto written = lines(readFile(path));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], "earlier run");
}

TEST_F(LoggerTest, RelativePathResolvesAgainstTheWorkingDirectory) {
    struct WorkingDirectory {
        explicit WorkingDirectory(const fs::path& path) { fs::current_path(path); }
        ~WorkingDirectory() { fs::current_path(previous); }
        fs::path previous = fs::current_path();
    };
    {
        WorkingDirectory inside(dir_);
        configureFile("relative.log");
        logger_.log(LogLevel::INFO, "here");
        logger_.configure(LogLevel::INFO, LogLevel::DEBUG, "relative.log", false, 10, 3);
    }
    EXPECT_EQ(lines(readFile(dir_ / "relative.log")).size(), 1u);
}

TEST_F(LoggerTest, NoFileWhenFileOutputIsOff) {
    const fs::path path = dir_ / "off" / "bridge.log";
    logger_.configure(LogLevel::DEBUG, LogLevel::DEBUG, path.string(), false, 10, 3);
    logger_.log(LogLevel::ERROR, "C", "console only");
    EXPECT_FALSE(fs::exists(dir_ / "off"));
    EXPECT_EQ(lines(err_.str()).size(), 1u);
}

TEST_F(LoggerTest, WarnsWhenTheFileCannotBeOpenedAndKeepsLoggingToTheConsole) {
    // A directory cannot be opened as a file.
    const fs::path path = dir_ / "taken";
    fs::create_directories(path);
    logger_.configure(LogLevel::INFO, LogLevel::DEBUG, path.string(), true, 10, 3);
    EXPECT_EQ(err_.str(), "Warning: Failed to open log file: " + path.string() + "\n");

    logger_.log(LogLevel::INFO, "C", "still here");
    EXPECT_EQ(lines(out_.str()).size(), 1u);
    EXPECT_TRUE(fs::is_empty(path));
}

TEST_F(LoggerTest, WarnsWhenTheDirectoryCannotBeCreated) {
    // The parent "directory" is a regular file.
    const fs::path blocker = dir_ / "blocker";
    writeFile(blocker, "x");
    logger_.configure(LogLevel::INFO, LogLevel::DEBUG, (blocker / "bridge.log").string(), true, 10, 3);
    const auto warnings = lines(err_.str());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Warning: Error setting up log file: ")) << warnings[0];

    logger_.log(LogLevel::ERROR, "C", "no file, no crash");
    EXPECT_EQ(lines(err_.str()).size(), 2u);
}

class LoggerRotationTest : public LoggerTest {
protected:
    void SetUp() override {
        LoggerTest::SetUp();
        live_ = dir_ / "bridge.log";
    }
    fs::path backup(int index) const { return fs::path(live_.string() + "." + std::to_string(index)); }

    fs::path live_;
};

TEST_F(LoggerRotationTest, FileOfExactlyTheLimitIsNotRotated) {
    const std::string content(kMiB, 'a');
    writeFile(live_, content);
    configureFile(live_, 1, 3);
    logger_.log(LogLevel::INFO, "appended");
    EXPECT_FALSE(fs::exists(backup(1)));
    const std::string after = readFile(live_);
    EXPECT_GT(after.size(), kMiB);
    EXPECT_EQ(after.compare(0, kMiB, content), 0);
}

TEST_F(LoggerRotationTest, OneByteOverTheLimitRotatesWithThreeFilesKept) {
    const std::string content(kMiB + 1, 'b');
    writeFile(live_, content);
    writeFile(backup(1), "previous\n");
    writeFile(backup(2), "oldest\n");
    configureFile(live_, 1, 3);

    logger_.log(LogLevel::INFO, "C", "trigger");
    EXPECT_EQ(readFile(backup(2)), "previous\n");
    EXPECT_EQ(readFile(backup(1)), content);
    EXPECT_FALSE(fs::exists(backup(3)));
    // The line that triggered the rotation is the first of the new file.
    const auto fresh = lines(readFile(live_));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_TRUE(std::regex_match(fresh[0], linePattern(R"(\[INFO \] \[C\] trigger)")));

    // The next line goes on in the reopened file.
    logger_.log(LogLevel::DEBUG, "C", "after");
    EXPECT_EQ(lines(readFile(live_)).size(), 2u);
}

TEST_F(LoggerRotationTest, RotationWithoutBackupsJustMovesTheLiveFile) {
    writeFile(live_, std::string(kMiB + 1, 'c'));
    configureFile(live_, 1, 3);
    logger_.log(LogLevel::INFO, "trigger");
    EXPECT_EQ(fs::file_size(backup(1)), kMiB + 1);
    EXPECT_FALSE(fs::exists(backup(2)));
    EXPECT_EQ(lines(readFile(live_)).size(), 1u);
}

TEST_F(LoggerRotationTest, OneFileKeptReplacesTheOnlyBackup) {
    writeFile(live_, std::string(kMiB + 1, 'd'));
    writeFile(backup(1), "replaced\n");
    configureFile(live_, 1, 1);
    logger_.log(LogLevel::INFO, "trigger");
    EXPECT_EQ(fs::file_size(backup(1)), kMiB + 1);
    EXPECT_FALSE(fs::exists(backup(2)));
    EXPECT_EQ(lines(readFile(live_)).size(), 1u);
}

TEST_F(LoggerRotationTest, ConsoleOnlyLinesDoNotRotate) {
    writeFile(live_, std::string(kMiB + 1, 'e'));
    logger_.configure(LogLevel::DEBUG, LogLevel::ERROR, live_.string(), true, 1, 3);
    logger_.log(LogLevel::WARN, "below the file level");
    EXPECT_FALSE(fs::exists(backup(1)));
    logger_.log(LogLevel::ERROR, "at the file level");
    EXPECT_TRUE(fs::exists(backup(1)));
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    const fs::path path = dir_ / "threads.log";
    configureFile(path);
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    const std::string payload(200, 'p');
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string component = std::string("T").append(std::to_string(t));
            start.arrive_and_wait();
            for (int i = 0; i < kLines; ++i) {
                std::string message = std::to_string(i);
                message.append(" ").append(payload);
                logger_.log(LogLevel::INFO, component, message);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const std::regex pattern = linePattern(R"(\[INFO \] \[T(\d)\] (\d+) p{200})");
    for (const std::string& text : {readFile(path), out_.str()}) {
        const auto written = lines(text);
        ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads * kLines));
        std::vector<int> nextIndex(kThreads, 0);
        for (const auto& line : written) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
            const int thread = std::stoi(match[1].str());
            // Each thread's lines appear complete and in its own order.
            EXPECT_EQ(std::stoi(match[2].str()), nextIndex[thread]++);
        }
    }
}

}  // namespace
}  // namespace navorel
