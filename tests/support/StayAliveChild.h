#pragma once

// A real child process under a chosen executable name, for tests of the
// process list: a copy of the running test executable that runs only a
// disabled test which keeps it alive until it is killed.
//
// Every test executable that uses it must define that test once with
// NAVOREL_STAY_ALIVE_CHILD_TEST().

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#define NAVOREL_STAY_ALIVE_CHILD_TEST()                                            \
    TEST(StayAliveChild, DISABLED_StayAlive) {                                     \
        ::navorel::test::ExecutableCopy::announceReady();                          \
        std::this_thread::sleep_for(std::chrono::seconds(30));                     \
    }

namespace navorel::test {

// The copy lives in its own temporary folder, removed again on destruction.
class ExecutableCopy {
public:
    explicit ExecutableCopy(const std::string& fileName) {
        const std::string self = platform::processImagePath(platform::currentProcessId());
        const std::filesystem::path target = folder_.path() / fileName;
        std::error_code error;
        if (!self.empty() && std::filesystem::copy_file(self, target, error)) path_ = target.string();
    }

    // Empty when the copy could not be made.
    const std::string& path() const { return path_; }

    // Starts the copy with the given argv[0] and returns once it runs (its
    // process-list entry is final only then: right after the start the
    // system may still show it half-made); null on failure. The child must
    // be gone before this copy is destroyed.
    std::unique_ptr<platform::ChildProcess> start(const std::string& argv0) const {
        if (path_.empty()) return nullptr;
        std::error_code error;
        const std::filesystem::path marker = markerFor(path_);
        std::filesystem::remove(marker, error);
        auto child = platform::ChildProcess::start(
            path_, {argv0, "--gtest_also_run_disabled_tests", "--gtest_filter=StayAliveChild.DISABLED_StayAlive"},
            true);
        if (!child) return nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(marker, error)) {
            if (std::chrono::steady_clock::now() > deadline) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return child;
    }

    // Called by the child once it runs.
    static void announceReady() {
        std::ofstream(markerFor(platform::processImagePath(platform::currentProcessId()))) << "ready\n";
    }

private:
    static std::filesystem::path markerFor(const std::string& executable) { return executable + ".ready"; }

    TempDir folder_;
    std::string path_;
};

}  // namespace navorel::test
