#include "simconnect/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

TEST(IniFileTest, ReadsLikeTheWindowsProfileFunctions) {
    const IniFile file = IniFile::parse(
        "\xEF\xBB\xBF"
        "Orphan=before any section\r\n"
        "  [ SimConnect ]  \r\n"
        "  port  =  500  \r\n"
        "Port=600\n"
        "Address=\"quoted value\"\n"
        "Empty=\n"
        "NoEquals\n"
        "[Broken\n"
        "Protocol='IPv4'\n"
        "[simconnect]\n"
        "Extra=second section of the same name\n");
    struct Case {
        const char* section;
        const char* key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"SIMCONNECT", "PORT", "500"},               // names without case, blanks trimmed, the first key wins
        {"SimConnect", "Address", "quoted value"},   // one pair of quotes removed
        {"SimConnect", "Protocol", "IPv4"},          // a header without "]" is no header
        {"SimConnect", "Empty", ""},
        {"SimConnect", "NoEquals", ""},
        {"SimConnect", "Extra", std::nullopt},       // only the first section of a name counts
        {"SimConnect", "Orphan", std::nullopt},
        {"Other", "Port", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(file.value(c.section, c.key), c.expected) << c.section << "/" << c.key;
    EXPECT_TRUE(file.hasSection("simCONNECT"));
    EXPECT_FALSE(file.hasSection("Broken"));
}

class SettingsTest : public ::testing::Test {
protected:
    // Three folders in the order the system searches them: all users, the user, the current directory.
    test::TempDir root;
    const std::vector<std::filesystem::path> folders{root.path() / "common", root.path() / "user",
                                                     root.path() / "current"};
    std::map<Protocol, std::string> registry;

    void write(std::size_t folder, const std::string& text) {
        test::writeFile(folders[folder] / "SimConnect.cfg", text);
    }
    ConnectionSettings load(std::uint32_t index = 0, Result expected = result::OK) {
        SettingsSources sources{{}, [this](Protocol p) { return registry[p]; }};
        for (const auto& folder : folders) sources.folders.push_back(test::utf8(folder));
        ConnectionSettings settings;
        EXPECT_EQ(loadSettings(index, sources, settings), expected);
        return settings;
    }
};

TEST_F(SettingsTest, ALaterFolderOverridesTheKeysItSets) {
    write(0, "[SimConnect]\nProtocol=IPv6\nAddress=common\nPort=1\nDisableNagle=1\n");
    write(1, "[SimConnect]\nAddress=user\nPort=2\n");
    write(2, "[SimConnect]\nPort=3\n");
    const ConnectionSettings settings = load();
    EXPECT_EQ(settings.protocol, Protocol::IPV6);
    EXPECT_EQ(settings.address, "user");
    EXPECT_EQ(settings.port, "3");
    EXPECT_TRUE(settings.disableNagle);  // kept: no later file sets it
}

TEST_F(SettingsTest, EachKeyFollowsItsRule) {
    registry = {{Protocol::IPV4, "4504"}, {Protocol::IPV6, "6506"}};
    struct Case {
        const char* lines;
        Protocol protocol;
        const char* port;
        std::uint32_t maxReceiveSize;
        bool disableNagle;
    };
    const Case cases[] = {
        {"Protocol=IPv4", Protocol::IPV4, "4504", 41088, false},  // the registry's port when none is set
        {"Protocol=ipv6", Protocol::IPV6, "6506", 41088, false},
        {"Protocol=IPv4\nPort=77", Protocol::IPV4, "77", 41088, false},
        {"Protocol=Auto\nPort=pipe", Protocol::PIPE, "pipe", 41088, false},
        {"Protocol=Carrier pigeon", Protocol::PIPE, "", 41088, false},  // unknown: unchanged
        {"MaxReceiveSize=1000", Protocol::PIPE, "", 41088, false},      // never shrinks
        {"MaxReceiveSize=100000", Protocol::PIPE, "", 100000, false},
        {"MaxReceiveSize=99999999999", Protocol::PIPE, "", 0xFFFFFFFF, false},
        {"MaxReceiveSize=junk", Protocol::PIPE, "", 41088, false},
        {"DisableNagle=7", Protocol::PIPE, "", 41088, true},
        {"DisableNagle=0", Protocol::PIPE, "", 41088, false},
        {"DisableNagle=true", Protocol::PIPE, "", 41088, false},  // a decimal value, and "true" reads as 0
    };
    for (const Case& c : cases) {
        write(2, std::string("[SimConnect]\n") + c.lines + "\n");
        const ConnectionSettings settings = load();
        EXPECT_EQ(settings.protocol, c.protocol) << c.lines;
        EXPECT_EQ(settings.port, c.port) << c.lines;
        EXPECT_EQ(settings.maxReceiveSize, c.maxReceiveSize) << c.lines;
        EXPECT_EQ(settings.disableNagle, c.disableNagle) << c.lines;
    }
}

TEST_F(SettingsTest, ConfigurationIndexSelectsItsSection) {
    write(1, "[SimConnect]\nPort=0\n[SimConnect.3]\nPort=3\n");
    EXPECT_EQ(load(3).port, "3");
    EXPECT_EQ(load(0).port, "0");
    EXPECT_EQ(load(DEFAULT_SETTINGS_ONLY).port, "");  // no files read at all
    load(4, result::INVALID_ARG);                      // a section in no file
}

}  // namespace
}  // namespace navorel::simconnect
