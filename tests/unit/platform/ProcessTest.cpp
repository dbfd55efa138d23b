#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "platform/Process.h"
#include "support/StayAliveChild.h"

namespace navorel::platform {
namespace {

NAVOREL_STAY_ALIVE_CHILD_TEST()

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<ProcessEntry> findPid(const std::vector<ProcessEntry>& processes, std::uint32_t pid) {
    for (const ProcessEntry& process : processes) {
        if (process.pid == pid) return process;
    }
    return std::nullopt;
}

TEST(ProcessList, ShowsThisProcessByItsExecutableFileName) {
    const std::uint32_t self = currentProcessId();
    const std::string image = processImagePath(self);
    ASSERT_FALSE(image.empty());
    EXPECT_TRUE(std::filesystem::path(image).is_absolute()) << image;

    const auto processes = listProcesses();
    ASSERT_TRUE(processes.has_value());
    EXPECT_GT(processes->size(), 1u);
    const auto entry = findPid(*processes, self);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(lower(entry->exeName), lower(std::filesystem::path(image).filename().string()));
}

TEST(ProcessList, UnknownProcessHasNoImagePath) {
    EXPECT_EQ(processImagePath(0xFFFFFFF0u), "");
}

// Wine and Proton processes show their Windows path in argv[0]; a process
// without a usable argv[0] is named by its executable file instead.
TEST(ProcessList, ChildIsNamedByTheLastComponentOfItsNameAndGoneOnceKilled) {
    test::ExecutableCopy copy("X-Plane.exe");
    ASSERT_FALSE(copy.path().empty());
    for (const std::string argv0 : {"C:\\Sims\\X-Plane 12\\X-Plane.exe", "", "/opt/sims/"}) {
        SCOPED_TRACE("argv[0] = \"" + argv0 + "\"");
        auto child = copy.start(argv0);
        ASSERT_NE(child, nullptr);

        auto processes = listProcesses();
        ASSERT_TRUE(processes.has_value());
        const auto entry = findPid(*processes, child->pid());
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->exeName, "X-Plane.exe");
        EXPECT_EQ(std::filesystem::path(processImagePath(child->pid())).filename().string(), "X-Plane.exe");

        child->kill();
        processes = listProcesses();
        ASSERT_TRUE(processes.has_value());
        EXPECT_FALSE(findPid(*processes, child->pid()).has_value());
    }
}

}  // namespace
}  // namespace navorel::platform
