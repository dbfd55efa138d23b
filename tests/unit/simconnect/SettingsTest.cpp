#include "simconnect/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "unit/simconnect/SimConnectTestSupport.h"

namespace navorel::simconnect {
namespace {

TEST(IniFileTest, ReadsLikeTheWindowsProfileFunctions) {
    const IniFile file = IniFile::parse(
        "Orphan=before any section\r\n  [ SimConnect ]  \r\n  port  =  500  \r\nPort=600\n"
        "Address=\"quoted value\"\nEmpty=\nNoEquals\n[Broken\nProtocol='IPv4'\n[simconnect]\nExtra=second\n");
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"SIMCONNECT", "PORT", "500"},              // names without case, blanks trimmed, the first key wins
        {"SimConnect", "Address", "quoted value"},  // one pair of quotes removed
        {"SimConnect", "Protocol", "IPv4"},         // a header without "]" is no header
        {"SimConnect", "Extra", std::nullopt},  // only the first section of a name counts
        {"SimConnect", "Empty", ""},        {"SimConnect", "NoEquals", ""},
        {"SimConnect", "Orphan", std::nullopt}, {"Other", "Port", std::nullopt},
    };
    for (const auto& [section, key, expected] : cases) EXPECT_EQ(file.value(section, key), expected) << key;
    EXPECT_TRUE(file.hasSection("simCONNECT"));
    EXPECT_FALSE(file.hasSection("Broken"));
    EXPECT_EQ(IniFile::parse("\xEF\xBB\xBF[A]\nk=v").value("a", "K"), "v");  // a byte order mark is skipped
}

class SettingsTest : public ::testing::Test {
protected:
    void write(const char* folder, const std::string& text) {
        test::writeFile(root.path() / folder / "SimConnect.cfg", text);
    }
    ConnectionSettings load(std::uint32_t index = 0, Result expected = result::OK) {
        SettingsSources sources{{}, [](Protocol p) { return p == Protocol::IPV6 ? "6506" : "4504"; }};
        for (const char* folder : {"common", "user", "current"}) {  // in the order the system searches them
            sources.folders.push_back(test::utf8(root.path() / folder));
        }
        ConnectionSettings settings;
        EXPECT_EQ(loadSettings(index, sources, settings), expected);
        return settings;
    }
    test::TempDir root;
};

TEST_F(SettingsTest, ALaterFolderOverridesTheKeysItSets) {
    write("common", "[SimConnect]\nProtocol=IPv6\nAddress=common\nPort=1\nDisableNagle=1\n");
    write("user", "[SimConnect]\nAddress=user\nPort=2\n");
    write("current", "[SimConnect]\nPort=3\n");
    const ConnectionSettings s = load();
    EXPECT_EQ(std::tie(s.protocol, s.address, s.port), std::tuple(Protocol::IPV6, "user", "3"));
    EXPECT_TRUE(s.disableNagle);  // kept: no later file sets it
}

TEST_F(SettingsTest, EachKeyFollowsItsRule) {
    const std::pair<const char*, ConnectionSettings> cases[] = {
        {"Protocol=IPv4", {Protocol::IPV4, "", "4504"}},  // the registry's port when none is set
        {"Protocol=ipv6", {Protocol::IPV6, "", "6506"}},
        {"Protocol=IPv4\nPort=77", {Protocol::IPV4, "", "77"}},
        {"Protocol=Auto\nPort=pipe\nAddress=simbox", {Protocol::PIPE, "simbox", "pipe"}},
        {"Protocol=Carrier pigeon", {}},  // unknown: unchanged
        {"MaxReceiveSize=1000", {}},      // never shrinks
        {"MaxReceiveSize=100000", {Protocol::PIPE, "", "", 100000}},
        {"MaxReceiveSize=99999999999", {Protocol::PIPE, "", "", 0xFFFFFFFF}},
        {"MaxReceiveSize=junk", {}},
        {"DisableNagle=7", {Protocol::PIPE, "", "", 41088, true}},
        {"DisableNagle=0", {}},
        {"DisableNagle=true", {}},  // a decimal value, and "true" reads as 0
    };
    const auto fields = [](const ConnectionSettings& s) {
        return std::tie(s.protocol, s.address, s.port, s.maxReceiveSize, s.disableNagle);
    };
    for (const auto& [lines, expected] : cases) {
        write("current", std::string("[SimConnect]\n").append(lines).append("\n"));
        EXPECT_EQ(fields(load()), fields(expected)) << lines;
    }
}

TEST_F(SettingsTest, ConfigurationIndexSelectsItsSection) {
    write("common", "[SimConnect.3]\nPort=3\n");
    write("user", "[SimConnect]\nPort=0\n[SimConnect.5]\n");
    EXPECT_EQ(load(3).port, "3");
    EXPECT_EQ(load(0).port, "0");
    EXPECT_EQ(load(DEFAULT_SETTINGS_ONLY).port, "");  // no files read at all
    load(4, result::INVALID_ARG);                      // a section in none of the files
}

}  // namespace
}  // namespace navorel::simconnect
