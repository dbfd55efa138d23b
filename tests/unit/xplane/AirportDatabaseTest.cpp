#include "xplane/AirportDatabase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/XPlaneExecutables.h"
#include "support/StayAliveChild.h"
#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/XPlaneInstall.h"

// The X-Plane executable copies of the discovery test run this.
NAVOREL_STAY_ALIVE_CHILD_TEST()

namespace navorel {
namespace {

namespace fs = std::filesystem;
using test::InstallTree;
using test::TempDir;
using test::writeFile;

std::string aptFile(const std::string& airports) { return "I\n1000 Version - test data\n\n" + airports + "99\n"; }

std::string airport(const std::string& ident, const std::string& name) {
    return "1 433 0 0 " + ident + " " + name + "\n" +
           "100 45.72 1 0 0.25 0 2 1 09 47.00000000 -122.00000000 0 0 2 0 0 0 27 47.00000000 -121.98000000 0 0 2 0 0 0\n\n";
}

// Sources that record whether discovery consulted them.
struct FakeMachine {
    std::map<std::string, std::string> environment;
    std::vector<std::string> imagePaths;
    std::atomic<int> environmentReads{0};
    std::atomic<int> processQueries{0};

    AirportDatabase database() {
        return AirportDatabase(
            [this] {
                ++processQueries;
                return imagePaths;
            },
            [this](const std::string& name) {
                ++environmentReads;
                const auto it = environment.find(name);
                return it == environment.end() ? std::string() : it->second;
            });
    }
};

std::string quoted(const std::string& text) {
    std::string result(1, '"');
    result += text;
    result += '"';
    return result;
}

// Prefix and number; written out because GCC 12 at -O3 misreports
// "literal" + std::to_string(n) (-Wrestrict).
std::string numbered(const char* prefix, int number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}

std::string lookupName(AirportDatabase& database, const std::string& icao) {
    XPlaneAirportRecord record;
    std::string error;
    if (!database.loadAirport(icao, record, error)) return "error: " + error;
    return record.name;
}

// ---- apt.dat file order -------------------------------------------------

TEST(AirportDatabaseFileOrder, PacksInListOrderThenCustomThenGlobalAirports) {
    InstallTree tree;
    tree.writePack("Pack A", aptFile(airport("KAAA", "Pack A")));
    tree.writePack("Pack B", aptFile(airport("KAAA", "Pack B")));
    tree.writePack("Quoted Pack", aptFile(airport("KQQQ", "Quoted")));
    tree.writePack("Disabled Pack", aptFile(airport("KAAA", "Disabled")));
    tree.writeCustomGlobal(aptFile(airport("KAAA", "Custom Global")));
    tree.writeGlobal(aptFile(airport("KAAA", "Global")));
    const fs::path absolutePack = tree.root() / "elsewhere" / "Absolute Pack";
    writeFile(absolutePack / "Earth nav data" / "apt.dat", aptFile(""));
    tree.writePackList("I\r\n1000 Version\r\nSCENERY\r\n\r\n"
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

    AirportDatabase database;
    database.setRoot(tree.rootText());
    EXPECT_EQ(lookupName(database, "KAAA"), "Pack B");
    EXPECT_EQ(lookupName(database, "KQQQ"), "Quoted");
}

TEST(AirportDatabaseFileOrder, CustomPackOverridesGlobalAirportAndOthersFallThrough) {
    InstallTree tree;
    tree.writePack("KSEA Demo", aptFile(airport("KSEA", "Custom Seattle")));
    tree.writePackList("SCENERY_PACK Custom Scenery/KSEA Demo/\n");
    tree.writeGlobal(aptFile(airport("KSEA", "Global Seattle") + airport("KBFI", "Boeing Field")));

    AirportDatabase database;
    database.setRoot(tree.rootText());
    EXPECT_EQ(lookupName(database, "KSEA"), "Custom Seattle");
    EXPECT_EQ(lookupName(database, "KBFI"), "Boeing Field");
}

TEST(AirportDatabaseFileOrder, WithoutPackListTheCustomGlobalAirportsComeFirst) {
    InstallTree tree;
    tree.writeCustomGlobal(aptFile(airport("KAAA", "Custom Global")));
    tree.writeGlobal(aptFile(airport("KAAA", "Global")));
    EXPECT_EQ(collectAptDatFiles(tree.root()).size(), 2u);

    AirportDatabase database;
    database.setRoot(tree.rootText());
    EXPECT_EQ(lookupName(database, "KAAA"), "Custom Global");
}

TEST(AirportDatabaseFileOrder, UnreadableFileIsSkipped) {
    InstallTree tree;
    fs::create_directories(tree.packApt("Broken"));  // "apt.dat" is a folder
    tree.writePackList("SCENERY_PACK Custom Scenery/Broken/\n");
    tree.writeGlobal(aptFile(airport("KAAA", "Global")));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    EXPECT_EQ(lookupName(database, "KAAA"), "Global");
}

TEST(AirportDatabaseFileOrder, PathsAreUtf8Text) {
    TempDir dir;
    const std::string rootText = utf8FromPath(dir.path()) + "/X-Plane Z\xc3\xbcrich \xe2\x9c\x88";
    const fs::path root = pathFromUtf8(rootText);
    writeFile(root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat", aptFile(airport("KAAA", "Global")));
    writeFile(root / "Custom Scenery" / pathFromUtf8("Pack \xc3\xa9t\xc3\xa9") / "Earth nav data" / "apt.dat",
              aptFile(airport("KAAA", "Pack")));
    writeFile(root / "Custom Scenery" / "scenery_packs.ini", "SCENERY_PACK Custom Scenery/Pack \xc3\xa9t\xc3\xa9/\n");

    FakeMachine fromEnvironment;
    fromEnvironment.environment = {{"XPLANE_ROOT", rootText}};
    auto first = fromEnvironment.database();
    EXPECT_EQ(lookupName(first, "KAAA"), "Pack");

    FakeMachine fromProcess;
    fromProcess.imagePaths = {rootText + "/X-Plane.exe"};
    auto second = fromProcess.database();
    EXPECT_EQ(lookupName(second, "KAAA"), "Pack");

    AirportDatabase third;
    third.setRoot(rootText);
    EXPECT_EQ(lookupName(third, "KAAA"), "Pack");
}

// ---- root discovery -----------------------------------------------------

TEST(AirportDatabaseDiscovery, InstallTestAcceptsEitherGlobalAirportsFolder) {
    InstallTree global;
    global.writeGlobal(aptFile(""));
    InstallTree custom;
    custom.writeCustomGlobal(aptFile(""));
    InstallTree packOnly;
    packOnly.writePack("Pack", aptFile(""));
    EXPECT_TRUE(isXPlaneInstallRoot(global.root()));
    EXPECT_TRUE(isXPlaneInstallRoot(custom.root()));
    EXPECT_FALSE(isXPlaneInstallRoot(packOnly.root()));
    EXPECT_FALSE(isXPlaneInstallRoot(packOnly.root() / "missing"));
}

TEST(AirportDatabaseDiscovery, XPlaneRootComesFirstAndMayBeQuoted) {
    InstallTree rootTree, homeTree;
    rootTree.writeGlobal(aptFile(airport("KAAA", "From root")));
    homeTree.writeGlobal(aptFile(airport("KAAA", "From home")));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", quoted(rootTree.rootText())}, {"XPLANE_HOME", homeTree.rootText()}};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), "From root");
    EXPECT_EQ(machine.processQueries, 0);
}

TEST(AirportDatabaseDiscovery, XPlaneHomeServesWhenXPlaneRootIsEmpty) {
    InstallTree homeTree;
    homeTree.writeGlobal(aptFile(airport("KAAA", "From home")));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", ""}, {"XPLANE_HOME", quoted(homeTree.rootText())}};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), "From home");
}

TEST(AirportDatabaseDiscovery, InvalidXPlaneRootSkipsXPlaneHomeAndSearchesProcesses) {
    InstallTree homeTree, runningTree, notInstall;
    homeTree.writeGlobal(aptFile(airport("KAAA", "From home")));
    runningTree.writeGlobal(aptFile(airport("KAAA", "From process")));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", notInstall.rootText()}, {"XPLANE_HOME", homeTree.rootText()}};
    machine.imagePaths = {(notInstall.root() / "X-Plane.exe").string(), (runningTree.root() / "X-Plane.exe").string()};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), "From process");
}

TEST(AirportDatabaseDiscovery, NothingFoundFailsAndTheNextLookupTriesAgain) {
    InstallTree tree;
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", tree.rootText()}};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), std::string("error: ") + AirportDatabase::kNoInstallError);
    EXPECT_EQ(machine.processQueries, 1);

    tree.writeGlobal(aptFile(airport("KAAA", "Installed later")));
    EXPECT_EQ(lookupName(database, "KAAA"), "Installed later");
}

TEST(AirportDatabaseDiscovery, DiscoveredRootStaysFixed) {
    InstallTree first, second;
    first.writeGlobal(aptFile(airport("KAAA", "First")));
    second.writeGlobal(aptFile(airport("KBBB", "Second")));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", first.rootText()}};
    auto database = machine.database();
    EXPECT_EQ(lookupName(database, "KAAA"), "First");
    const int reads = machine.environmentReads;
    EXPECT_EQ(lookupName(database, "KBBB"), std::string("error: ") + AirportDatabase::kNotFoundError);
    EXPECT_EQ(machine.environmentReads, reads);
}

TEST(AirportDatabaseDiscovery, SetRootWithoutAptFilesNeverConsultsTheMachine) {
    InstallTree empty, elsewhere;
    elsewhere.writeGlobal(aptFile(airport("KAAA", "Elsewhere")));
    FakeMachine machine;
    machine.environment = {{"XPLANE_ROOT", elsewhere.rootText()}};
    machine.imagePaths = {(elsewhere.root() / "X-Plane.exe").string()};
    auto database = machine.database();
    database.setRoot(empty.rootText());
    EXPECT_EQ(lookupName(database, "KAAA"), std::string("error: ") + AirportDatabase::kNoAptFilesError);
    EXPECT_EQ(machine.environmentReads, 0);
    EXPECT_EQ(machine.processQueries, 0);
}

// Through the real process list: a copy of this test program under
// X-Plane's executable name, with an install tree beside it.
TEST(AirportDatabaseDiscovery, FindsTheInstallOfARunningXPlane) {
    const std::string exeName = platform::xplaneMainExecutableNames().back();
    const test::ExecutableCopy copy(exeName);
    if (copy.path().empty()) GTEST_SKIP() << "the test program could not be copied";
    const fs::path root = fs::path(copy.path()).parent_path();
    writeFile(root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat",
              aptFile(airport("KAAA", "Running")));
    const auto child = copy.start(exeName);
    ASSERT_TRUE(child);
    AirportDatabase database({}, [](const std::string&) { return std::string(); });
    EXPECT_EQ(lookupName(database, "KAAA"), "Running");
    child->kill();
}

TEST(AirportDatabaseDiscovery, ProcessMatchingIsCaseInsensitiveOnWholeNames) {
    std::vector<platform::ProcessEntry> processes = {
        {1, "explorer.exe"}, {2, "X-Plane.exe.bak"}, {3, "X-PLANE.EXE"}, {4, "x-plane.exe"}, {5, "X-Plane-x86_64"}};
    std::vector<std::uint32_t> queried;
    const auto paths = matchingImagePaths(processes, {"X-Plane.exe"}, [&](std::uint32_t pid) {
        queried.push_back(pid);
        return pid == 4 ? std::string() : numbered("/xp", static_cast<int>(pid)) + "/X-Plane.exe";
    });
    EXPECT_EQ(queried, (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(paths, std::vector<std::string>{"/xp3/X-Plane.exe"});
}

// ---- lookups, errors and the cache --------------------------------------

TEST(AirportDatabaseLookup, ErrorTexts) {
    InstallTree tree;
    tree.writeGlobal(aptFile(airport("KAAA", "A")));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord record;
    std::string error;
    EXPECT_FALSE(database.loadAirport("", record, error));
    EXPECT_EQ(error, "ICAO cannot be empty");
    EXPECT_FALSE(database.loadAirport("KZZZ", record, error));
    EXPECT_EQ(error, "Airport not found in apt.dat");
    database.setRoot((tree.root() / "nothing here").string());
    EXPECT_FALSE(database.loadAirport("KAAA", record, error));
    EXPECT_EQ(error, "No apt.dat files found under X-Plane root");
}

TEST(AirportDatabaseLookup, LowerCaseIdentFindsUpperCaseHeader) {
    InstallTree tree;
    tree.writeGlobal(aptFile(airport("KAAA", "Alpha")));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord record;
    std::string error;
    ASSERT_TRUE(database.loadAirport("kaAa", record, error)) << error;
    EXPECT_EQ(record.icao, "KAAA");
    EXPECT_EQ(record.name, "Alpha");
}

TEST(AirportDatabaseLookup, FoundAirportsComeFromTheCacheAndMissesAreReadAgain) {
    InstallTree tree;
    tree.writeGlobal(aptFile(airport("KAAA", "Alpha")));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    EXPECT_EQ(lookupName(database, "KAAA"), "Alpha");
    EXPECT_EQ(lookupName(database, "KBBB"), std::string("error: ") + AirportDatabase::kNotFoundError);

    tree.writeGlobal(aptFile(airport("KAAA", "Changed") + airport("KBBB", "Bravo")));
    EXPECT_EQ(lookupName(database, "kaaa"), "Alpha");  // cached
    EXPECT_EQ(lookupName(database, "KBBB"), "Bravo");  // the miss was not cached

    database.setRoot(tree.rootText());  // forgets the cache
    EXPECT_EQ(lookupName(database, "KAAA"), "Changed");
}

TEST(AirportDatabaseLookup, ConcurrentLookupsAgree) {
    InstallTree tree;
    std::string airports;
    for (int i = 0; i < 200; ++i) airports += airport(numbered("K", 100 + i), numbered("Airport ", i));
    tree.writeGlobal(aptFile(airports));
    AirportDatabase database;
    database.setRoot(tree.rootText());

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const int n = (t * 37 + i * 11) % 220;  // 200 and above are misses
                XPlaneAirportRecord record;
                std::string error;
                const bool found = database.loadAirport(numbered("K", 100 + n), record, error);
                const bool right = n < 200 ? found && record.name == numbered("Airport ", n)
                                           : !found && error == AirportDatabase::kNotFoundError;
                if (!right) ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) database.setRoot(tree.rootText());
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace navorel
