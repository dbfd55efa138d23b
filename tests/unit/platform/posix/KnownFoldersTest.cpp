#include "platform/KnownFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace navorel::platform {
namespace {

// Sets or clears an environment variable for one test, then puts it back.
struct ScopedVariable {
    ScopedVariable(const char* name, const char* value) : name(name) {
        if (const char* set = std::getenv(name)) old = set;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedVariable() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

TEST(KnownFoldersTest, DocumentsFolderComesFromXdgThenHome) {
    struct Case {
        const char* xdg;
        const char* home;
        std::string expected;
    };
    const Case cases[] = {
        {"/data/docs", "/home/pilot", "/data/docs"},
        {nullptr, "/home/pilot", "/home/pilot/Documents"},
        {"", "/home/pilot", "/home/pilot/Documents"},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        ScopedVariable xdg("XDG_DOCUMENTS_DIR", c.xdg);
        ScopedVariable home("HOME", c.home);
        EXPECT_EQ(userDocumentsFolder(), c.expected);
        EXPECT_EQ(commonDocumentsFolder(), "");  // POSIX has no all-users folder
    }
}

}  // namespace
}  // namespace navorel::platform
