#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "platform/Process.h"
#include "support/StayAliveChild.h"

namespace navorel::platform {
namespace {

NAVOREL_STAY_ALIVE_CHILD_TEST()

std::optional<ProcessEntry> findPid(std::uint32_t pid) {
    for (const ProcessEntry& process : listProcesses().value_or(std::vector<ProcessEntry>{})) {
        if (process.pid == pid) return process;
    }
    return std::nullopt;
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
        const auto entry = findPid(child->pid());
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->exeName, "X-Plane.exe");
        const std::filesystem::path image = processImagePath(child->pid());
        EXPECT_TRUE(image.is_absolute() && image.filename() == "X-Plane.exe") << image;
        child->kill();
        EXPECT_FALSE(findPid(child->pid()).has_value());
    }
    EXPECT_EQ(processImagePath(0xFFFFFFF0u), "") << "no such process";
}

}  // namespace
}  // namespace navorel::platform
