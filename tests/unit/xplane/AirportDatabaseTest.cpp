// The airport database: install discovery, apt.dat file order, lookups and
// their cache, and the real apt.dat when it is at hand.
#include "xplane/AirportDatabase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <vector>

#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/XPlaneInstall.h"

namespace navorel::test {
namespace {

namespace fs = std::filesystem;

// An apt.dat of airports, each with one runway from 47N 122W to 47N 121.98W.
std::string aptFile(const std::vector<std::pair<std::string, std::string>>& identsAndNames) {
    std::string text = "I\n1000 Version - test data\n\n";
    for (const auto& [ident, name] : identsAndNames) {
        text += "1 433 0 0 " + ident + " " + name + "\n100 45.72 1 0 0.25 0 2 1 09 47.00000000 -122.00000000 0 0 " +
                "2 0 0 0 27 47.00000000 -121.98000000 0 0 2 0 0 0\n\n";
    }
    return text + "99\n";
}

// Sources that record whether discovery consulted them.
struct FakeMachine {
    std::map<std::string, std::string> environment;
    std::vector<std::string> imagePaths;
    std::atomic<int> consulted{0};

    AirportDatabase database() {
        return AirportDatabase([this] { return ++consulted, imagePaths; },
                               [this](const std::string& name) { return ++consulted, environment[name]; });
    }
};

std::string failure(const char* error) { return std::string("error: ") + error; }

// The airport's name, or failure(error text).
std::string lookupName(AirportDatabase& database, const std::string& icao) {
    XPlaneAirportRecord record;
    std::string error;
    return database.loadAirport(icao, record, error) ? record.name : failure(error.c_str());
}

std::string lookupName(const std::string& root, const std::string& icao) {
    AirportDatabase database;
    database.setRoot(root);
    return lookupName(database, icao);
}

// ---- apt.dat file order -------------------------------------------------

TEST(AirportDatabaseFileOrder, PacksInListOrderThenCustomThenGlobalAirports) {
    InstallTree tree;
    for (const char* pack : {"Pack A", "Pack B", "Quoted Pack", "Disabled Pack", "Global Airports"}) {
        writeFile(tree.packApt(pack), aptFile({{"KAAA", pack}}));
    }
    writeFile(tree.globalApt(), aptFile({{"KAAA", "Global"}}));
    const fs::path absolutePack = tree.root() / "elsewhere" / "Absolute Pack";
    writeFile(absolutePack / "Earth nav data" / "apt.dat", aptFile({}));
    writeFile(tree.root() / "Custom Scenery" / "scenery_packs.ini",
              "I\r\n1000 Version\r\nSCENERY\r\n\r\n"
              "SCENERY_PACK Custom Scenery/Pack B/\r\n"
              "SCENERY_PACK_DISABLED Custom Scenery/Disabled Pack/\r\n"
              "SCENERY_PACK   \"Custom Scenery/Quoted Pack/\"  \r\n"
              "SCENERY_PACK Custom Scenery/Pack A/\r\n"
              "SCENERY_PACK Custom Scenery/Pack B/\r\n"
              " SCENERY_PACK Custom Scenery/Disabled Pack/\r\n"
              "SCENERY_PACK Custom Scenery/No Such Pack/\r\n"
              "SCENERY_PACK *GLOBAL_AIRPORTS*\r\n"
              "SCENERY_PACK " + absolutePack.string() + "\r\n"
              "SCENERY_PACK Custom Scenery/Global Airports/\r\n");
    std::vector<fs::path> expected = {tree.packApt("Pack B"), tree.packApt("Quoted Pack"), tree.packApt("Pack A"),
                                      absolutePack / "Earth nav data" / "apt.dat", tree.customGlobalApt(),
                                      tree.globalApt()};
    for (auto& path : expected) path.make_preferred();
    EXPECT_EQ(collectAptDatFiles(tree.root()), expected);
    EXPECT_EQ(lookupName(tree.rootText(), "KAAA"), "Pack B");
}

TEST(AirportDatabaseFileOrder, WithoutPackListCustomGlobalAirportsComeFirstAndUnreadableFilesAreSkipped) {
    InstallTree tree;
    writeFile(tree.customGlobalApt(), aptFile({{"KAAA", "Custom Global"}}));
    writeFile(tree.globalApt(), aptFile({{"KAAA", "Global"}, {"KBBB", "Global"}}));
    EXPECT_EQ(lookupName(tree.rootText(), "KAAA"), "Custom Global");
    fs::create_directories(tree.packApt("Broken"));  // "apt.dat" is a folder
    writeFile(tree.root() / "Custom Scenery" / "scenery_packs.ini", "SCENERY_PACK Custom Scenery/Broken/\n");
    EXPECT_EQ(lookupName(tree.rootText(), "KBBB"), "Global");
}

TEST(AirportDatabaseFileOrder, PathsAreUtf8TextFromEverySource) {
    InstallTree dir;
    const std::string rootText = dir.rootText() + "/X-Plane Z\xc3\xbcrich \xe2\x9c\x88";
    const fs::path root = pathFromUtf8(rootText);
    writeFile(root / "Global Scenery/Global Airports/Earth nav data/apt.dat", aptFile({{"KAAA", "Global"}}));
    writeFile(root / pathFromUtf8("Custom Scenery/Pack \xc3\xa9t\xc3\xa9/Earth nav data/apt.dat"),
              aptFile({{"KAAA", "Pack"}}));
    writeFile(root / "Custom Scenery" / "scenery_packs.ini", "SCENERY_PACK Custom Scenery/Pack \xc3\xa9t\xc3\xa9/\n");
    FakeMachine fromEnvironment, fromProcess;
    fromEnvironment.environment = {{"XPLANE_ROOT", rootText}};
    fromProcess.imagePaths = {rootText + "/X-Plane.exe"};
    auto first = fromEnvironment.database(), second = fromProcess.database();
    EXPECT_EQ(lookupName(first, "KAAA") + lookupName(second, "KAAA") + lookupName(rootText, "KAAA"), "PackPackPack");
}

// ---- root discovery -----------------------------------------------------

// XPLANE_ROOT (quotes allowed), else XPLANE_HOME when XPLANE_ROOT is empty,
// else the running processes; an invalid XPLANE_ROOT skips XPLANE_HOME. An
// install holds either "Global Airports" folder; custom packs alone are none.
TEST(AirportDatabaseDiscovery, SourcesInOrder) {
    InstallTree rootTree, homeTree, runningTree, notInstall;
    writeFile(rootTree.globalApt(), aptFile({{"KAAA", "From root"}}));
    writeFile(homeTree.customGlobalApt(), aptFile({{"KAAA", "From home"}}));
    writeFile(notInstall.packApt("Pack"), aptFile({{"KAAA", "Pack only"}}));
    writeFile(runningTree.globalApt(), aptFile({{"KAAA", "From process"}}));
    const struct {
        std::string root, home, expected;
        int consulted;  // sources read: the environment once or twice, the processes once
    } cases[] = {{'"' + rootTree.rootText() + '"', homeTree.rootText(), "From root", 1},
                 {"", '"' + homeTree.rootText() + '"', "From home", 2},
                 {notInstall.rootText(), homeTree.rootText(), "From process", 2}};
    for (const auto& c : cases) {
        FakeMachine machine;
        machine.environment = {{"XPLANE_ROOT", c.root}, {"XPLANE_HOME", c.home}};
        machine.imagePaths = {utf8FromPath(notInstall.root() / "X-Plane.exe"),
                              utf8FromPath(runningTree.root() / "X-Plane.exe")};
        auto database = machine.database();
        EXPECT_EQ(lookupName(database, "KAAA"), c.expected);
        EXPECT_EQ(machine.consulted, c.consulted) << c.expected;
    }
}

// Searched again after a failure, fixed once found, and never when a root is set.
TEST(AirportDatabaseDiscovery, WhenTheMachineIsConsulted) {
    InstallTree tree, other;
    writeFile(other.globalApt(), aptFile({{"KBBB", "Other"}}));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", tree.rootText()}};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), failure(AirportDatabase::kNoInstallError));
    writeFile(tree.globalApt(), aptFile({{"KAAA", "Installed later"}}));
    EXPECT_EQ(lookupName(database, "KAAA"), "Installed later");
    machine.environment["XPLANE_ROOT"] = other.rootText();
    EXPECT_EQ(lookupName(database, "KBBB"), failure(AirportDatabase::kNotFoundError));
    auto fixedRoot = machine.database();
    fixedRoot.setRoot(utf8FromPath(tree.root() / "nothing here"));
    EXPECT_EQ(lookupName(fixedRoot, "KBBB"), failure(AirportDatabase::kNoAptFilesError));
    EXPECT_EQ(machine.consulted, 3);  // environment and processes, the environment, and never for a set root
}

TEST(AirportDatabaseDiscovery, ProcessMatchingIsCaseInsensitiveOnWholeNames) {
    std::vector<std::uint32_t> queried;
    const auto paths = matchingImagePaths(
        {{1, "explorer.exe"}, {2, "X-Plane.exe.bak"}, {3, "X-PLANE.EXE"}, {4, "x-plane.exe"}, {5, "X-Plane-x86_64"}},
        {"X-Plane.exe"}, [&](std::uint32_t pid) {
            queried.push_back(pid);
            return pid == 4 ? std::string() : std::string("/xp/X-Plane.exe");
        });
    EXPECT_EQ(queried, (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(paths, std::vector<std::string>{"/xp/X-Plane.exe"});
}

// ---- lookups and the cache ----------------------------------------------

// Found airports are cached, misses are not. The position comes from the
// datum rows, else from the runway centres.
TEST(AirportDatabaseLookup, FoundAirportsAreCachedWithIdentAndPosition) {
    InstallTree tree;
    writeFile(tree.globalApt(), aptFile({{"KAAA", "Alpha"}, {"KDAT", "D\n1302 datum_lat 1.5\n1302 datum_lon 2.5"}}));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord a, d;
    std::string error;
    ASSERT_TRUE(database.loadAirport("kaAa", a, error) && database.loadAirport("KDAT", d, error)) << error;
    EXPECT_TRUE(a.icao == "KAAA" && a.hasPosition && d.hasPosition);
    EXPECT_THAT((Values{a.latitude, a.longitude, d.latitude, d.longitude}), Near({47, -121.99, 1.5, 2.5}));
    EXPECT_EQ(lookupName(database, ""), failure(AirportDatabase::kEmptyIcaoError));
    EXPECT_EQ(lookupName(database, "KBBB"), failure(AirportDatabase::kNotFoundError));
    writeFile(tree.globalApt(), aptFile({{"KAAA", "Changed"}, {"KBBB", "Bravo"}}));
    EXPECT_EQ(lookupName(database, "KAAA"), "Alpha");  // cached
    EXPECT_EQ(lookupName(database, "KBBB"), "Bravo");  // the miss was not cached
    database.setRoot(tree.rootText());                 // forgets the cache
    EXPECT_EQ(lookupName(database, "KAAA"), "Changed");
}

// ---- the real apt.dat kept beside the project, when it is at hand ----------

// A runway whose length and bearing were computed independently, from the
// chord between its end vectors, and the last airport of the file, found only
// after reading all 106 MB.
TEST(AirportDatabaseRealData, KnownRunwayAndTheLastAirport) {
    const char* shared = std::getenv("NAVOREL_SHARED_DIR");
    const fs::path archive = (shared != nullptr && *shared != '\0' ? fs::path(shared)
                              : fs::path(__FILE__).parent_path() / "../../../../shared") / "data/apt.dat.gz";
    InstallTree tree;
    fs::create_directories(tree.globalApt().parent_path());
    const std::string unpack = "gzip -dc \"" + archive.string() + "\" > \"" + tree.globalApt().string() + "\"";
    std::error_code ec;
    if (!fs::exists(archive, ec) || std::system(unpack.c_str()) != 0) GTEST_SKIP() << "cannot unpack " << archive;
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord ksfo, last;
    std::string error;
    ASSERT_TRUE(database.loadAirport("ksfo", ksfo, error) && database.loadAirport("NE26", last, error)) << error;
    EXPECT_NEAR(ksfo.runways.at(2).lengthMeters, 2714.1816, 1e-3);  // 01R/19L
    EXPECT_NEAR(ksfo.runways.at(2).headingDegrees, 27.7092536, 1e-6);
    EXPECT_EQ(ksfo.runways.at(2).primaryDisplacedThresholdMeters, 149.96);
    EXPECT_EQ(last.name, "[X] Wilber Municipal");
}

}  // namespace
}  // namespace navorel::test
