#include "xplane/AirportDatabase.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
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

// Prefix and number; written out because GCC 12 at -O3 misreports
// "literal" + std::to_string(n) (-Wrestrict).
std::string numbered(const char* prefix, int number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}

// The airport's name, or "error: " and the error text.
std::string lookupName(AirportDatabase& database, const std::string& icao) {
    XPlaneAirportRecord record;
    std::string error;
    if (!database.loadAirport(icao, record, error)) return "error: " + error;
    return record.name;
}

std::string lookupName(const std::string& root, const std::string& icao) {
    AirportDatabase database;
    database.setRoot(root);
    return lookupName(database, icao);
}

// ---- apt.dat file order -------------------------------------------------

TEST(AirportDatabaseFileOrder, PacksInListOrderThenCustomThenGlobalAirports) {
    InstallTree tree;
    tree.writePack("Pack A", aptFile(airport("KAAA", "Pack A")));
    tree.writePack("Pack B", aptFile(airport("KAAA", "Pack B")));
    tree.writePack("Quoted Pack", aptFile(airport("KQQQ", "Quoted")));
    tree.writePack("Disabled Pack", aptFile(airport("KAAA", "Disabled")));
    tree.writeCustomGlobal(aptFile(airport("KAAA", "Custom Global")));
    tree.writeGlobal(aptFile(airport("KAAA", "Global") + airport("KBBB", "Boeing Field")));
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

    // The custom pack overrides the global airport; others fall through to it.
    EXPECT_EQ(lookupName(tree.rootText(), "KAAA"), "Pack B");
    EXPECT_EQ(lookupName(tree.rootText(), "KQQQ"), "Quoted");
    EXPECT_EQ(lookupName(tree.rootText(), "KBBB"), "Boeing Field");
}

TEST(AirportDatabaseFileOrder, WithoutPackListTheCustomGlobalAirportsComeFirst) {
    InstallTree tree;
    tree.writeCustomGlobal(aptFile(airport("KAAA", "Custom Global")));
    tree.writeGlobal(aptFile(airport("KAAA", "Global")));
    EXPECT_EQ(collectAptDatFiles(tree.root()).size(), 2u);
    EXPECT_EQ(lookupName(tree.rootText(), "KAAA"), "Custom Global");
}

TEST(AirportDatabaseFileOrder, UnreadableFileIsSkipped) {
    InstallTree tree;
    fs::create_directories(tree.packApt("Broken"));  // "apt.dat" is a folder
    tree.writePackList("SCENERY_PACK Custom Scenery/Broken/\n");
    tree.writeGlobal(aptFile(airport("KAAA", "Global")));
    EXPECT_EQ(lookupName(tree.rootText(), "KAAA"), "Global");
}

TEST(AirportDatabaseFileOrder, PathsAreUtf8TextFromEverySource) {
    test::TempDir dir;
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
    EXPECT_EQ(lookupName(rootText, "KAAA"), "Pack");
}

// ---- root discovery -----------------------------------------------------

// XPLANE_ROOT (quotes allowed), else XPLANE_HOME when XPLANE_ROOT is empty,
// else the running processes; an invalid XPLANE_ROOT skips XPLANE_HOME. An
// install holds either "Global Airports" folder; custom packs alone are none.
TEST(AirportDatabaseDiscovery, SourcesInOrder) {
    InstallTree rootTree, homeTree, runningTree, notInstall;
    rootTree.writeGlobal(aptFile(airport("KAAA", "From root")));
    homeTree.writeCustomGlobal(aptFile(airport("KAAA", "From home")));
    notInstall.writePack("Pack", aptFile(airport("KAAA", "Pack only")));
    runningTree.writeGlobal(aptFile(airport("KAAA", "From process")));
    const std::vector<std::string> processes = {(notInstall.root() / "X-Plane.exe").string(),
                                                (runningTree.root() / "X-Plane.exe").string()};
    struct Case {
        std::string root, home, expected;
        int processQueries;
    };
    const Case cases[] = {
        {'"' + rootTree.rootText() + '"', homeTree.rootText(), "From root", 0},
        {"", '"' + homeTree.rootText() + '"', "From home", 0},
        {notInstall.rootText(), homeTree.rootText(), "From process", 1},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        machine.environment = {{"XPLANE_ROOT", c.root}, {"XPLANE_HOME", c.home}};
        machine.imagePaths = processes;
        auto database = machine.database();
        EXPECT_EQ(lookupName(database, "KAAA"), c.expected);
        EXPECT_EQ(machine.processQueries, c.processQueries) << c.expected;
    }
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

TEST(AirportDatabaseLookup, ErrorTextsAndLowerCaseIdents) {
    InstallTree tree;
    tree.writeGlobal(aptFile(airport("KAAA", "Alpha")));
    AirportDatabase database;
    database.setRoot(tree.rootText());
    XPlaneAirportRecord record;
    std::string error;
    ASSERT_TRUE(database.loadAirport("kaAa", record, error)) << error;
    EXPECT_EQ(record.icao, "KAAA");
    EXPECT_EQ(record.name, "Alpha");

    EXPECT_EQ(lookupName(database, ""), "error: ICAO cannot be empty");
    EXPECT_EQ(lookupName(database, "KZZZ"), "error: Airport not found in apt.dat");
    database.setRoot((tree.root() / "nothing here").string());
    EXPECT_EQ(lookupName(database, "KAAA"), "error: No apt.dat files found under X-Plane root");
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
                const std::string expected = n < 200 ? numbered("Airport ", n)
                                                     : std::string("error: ") + AirportDatabase::kNotFoundError;
                if (lookupName(database, numbered("K", 100 + n)) != expected) ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) database.setRoot(tree.rootText());
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

// ---- the real apt.dat kept beside the project -----------------------------
// Skipped when the archive or gzip is not at hand (for example under Wine).

class AirportDatabaseRealData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* shared = std::getenv("NAVOREL_SHARED_DIR");
        const fs::path archive = (shared != nullptr && *shared != '\0' ? fs::path(shared)
                                  : fs::path(__FILE__).parent_path() / ".." / ".." / ".." / ".." / "shared") /
                                 "data" / "apt.dat.gz";
        tree_ = std::make_unique<InstallTree>();
        fs::create_directories(tree_->globalApt().parent_path());
        const std::string command = "gzip -dc \"" + archive.string() + "\" > \"" + tree_->globalApt().string() + "\"";
        std::error_code ec;
        if (!fs::exists(archive, ec) || std::system(command.c_str()) != 0 ||
            fs::file_size(tree_->globalApt(), ec) < 1000000) {
            skipReason_ = "cannot decompress " + archive.string();
            tree_.reset();
        }
    }
    static void TearDownTestSuite() { tree_.reset(); }

    void SetUp() override {
        if (!tree_) GTEST_SKIP() << skipReason_;
        database_.setRoot(tree_->rootText());
    }

    XPlaneAirportRecord load(const std::string& icao) {
        XPlaneAirportRecord record;
        std::string error;
        EXPECT_TRUE(database_.loadAirport(icao, record, error)) << icao << ": " << error;
        return record;
    }

    static inline std::unique_ptr<InstallTree> tree_;
    static inline std::string skipReason_;
    AirportDatabase database_;
};

// Length and bearing computed independently of the haversine and atan2
// forms: from the chord between the two end vectors, and its projection onto
// the north and east directions at end 1.
std::pair<double, double> chordLengthAndBearing(double lat1, double lon1, double lat2, double lon2) {
    constexpr double kRad = 3.14159265358979323846 / 180;
    const auto unit = [](double lat, double lon) {
        return std::array<double, 3>{std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
    };
    const auto a = unit(lat1 * kRad, lon1 * kRad), b = unit(lat2 * kRad, lon2 * kRad);
    const std::array<double, 3> d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double north = -std::sin(lat1 * kRad) * (std::cos(lon1 * kRad) * d[0] + std::sin(lon1 * kRad) * d[1]) +
                         std::cos(lat1 * kRad) * d[2];
    const double east = -std::sin(lon1 * kRad) * d[0] + std::cos(lon1 * kRad) * d[1];
    const double bearing = std::atan2(east, north) / kRad;
    return {2 * std::asin(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) / 2) * 6371000.0,
            bearing < 0 ? bearing + 360 : bearing};
}

TEST_F(AirportDatabaseRealData, RunwaysAgreeWithAnIndependentComputation) {
    const struct {
        const char* icao;
        std::size_t runway;
        double lat1, lon1, lat2, lon2, displaced;
    } cases[] = {
        {"ksfo", 0, 37.62872250, -122.39342127, 37.61351918, -122.35716907, 0.0},  // 10L/28R
        {"KSFO", 2, 37.60620279, -122.38114713, 37.62781186, -122.36681630, 149.96},  // 01R
        {"EGLL", 0, 51.47747035, -0.48962591, 51.47767520, -0.43326100, 306.02},
    };
    for (const auto& c : cases) {
        const auto airport = load(c.icao);
        ASSERT_GT(airport.runways.size(), c.runway) << c.icao;
        const auto& runway = airport.runways[c.runway];
        const auto [length, bearing] = chordLengthAndBearing(c.lat1, c.lon1, c.lat2, c.lon2);
        EXPECT_NEAR(runway.lengthMeters, length, 1e-3) << c.icao;
        EXPECT_NEAR(runway.headingDegrees, bearing, 1e-6) << c.icao;
        EXPECT_DOUBLE_EQ(runway.primaryDisplacedThresholdMeters, c.displaced) << c.icao;
    }
    const auto ksfo = load("KSFO");
    EXPECT_NEAR(ksfo.runways.at(0).lengthMeters, 3618, 10);  // 11,870 ft published
    EXPECT_NEAR(ksfo.runways.at(0).headingDegrees, 118, 1);
}

// Found only after reading the whole 106 MB.
TEST_F(AirportDatabaseRealData, LastAirportOfTheFile) {
    const auto last = load("NE26");
    EXPECT_EQ(last.name, "[X] Wilber Municipal");
    ASSERT_EQ(last.runways.size(), 1u);
    EXPECT_EQ(last.runways[0].secondaryNumber, 36);
}

}  // namespace
}  // namespace navorel
