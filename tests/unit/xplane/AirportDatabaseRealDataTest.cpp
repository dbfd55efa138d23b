// Lookups in the real apt.dat kept beside the project (shared/data/apt.dat.gz).
// Skipped when the archive or gzip is not at hand (for example under Wine).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/AirportDatabase.h"

namespace navorel {
namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadius = 6371000.0;

fs::path archivePath() {
    if (const char* shared = std::getenv("NAVOREL_SHARED_DIR"); shared != nullptr && *shared != '\0') {
        return fs::path(shared) / "data" / "apt.dat.gz";
    }
    // tests/unit/xplane/ -> the folder beside the project.
    return fs::path(__FILE__).parent_path() / ".." / ".." / ".." / ".." / "shared" / "data" / "apt.dat.gz";
}

// Independent of the haversine and atan2 forms: the central angle from the
// dot product of the two end vectors, and the bearing from the chord's
// projection onto the north and east directions at end 1.
struct Vector3 {
    double x, y, z;
};
Vector3 unitVector(double latDeg, double lonDeg) {
    const double lat = latDeg * kPi / 180, lon = lonDeg * kPi / 180;
    return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
}
double dot(Vector3 a, Vector3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

double chordLength(double lat1, double lon1, double lat2, double lon2) {
    const Vector3 a = unitVector(lat1, lon1), b = unitVector(lat2, lon2);
    const Vector3 d{b.x - a.x, b.y - a.y, b.z - a.z};
    const double chord = std::sqrt(dot(d, d));
    return 2 * std::asin(chord / 2) * kRadius;
}

double chordBearing(double lat1, double lon1, double lat2, double lon2) {
    const Vector3 a = unitVector(lat1, lon1), b = unitVector(lat2, lon2);
    const Vector3 d{b.x - a.x, b.y - a.y, b.z - a.z};
    const double lat = lat1 * kPi / 180, lon = lon1 * kPi / 180;
    const Vector3 north{-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
    const Vector3 east{-std::sin(lon), std::cos(lon), 0};
    const double bearing = std::atan2(dot(d, east), dot(d, north)) * 180 / kPi;
    return bearing < 0 ? bearing + 360 : bearing;
}

class AirportDatabaseRealData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const fs::path archive = archivePath();
        std::error_code ec;
        if (!fs::exists(archive, ec)) {
            skipReason_ = "no " + archive.string();
            return;
        }
        tree_ = std::make_unique<test::InstallTree>();
        fs::create_directories(tree_->globalApt().parent_path());
        const std::string command =
            "gzip -dc \"" + archive.string() + "\" > \"" + tree_->globalApt().string() + "\"";
        if (std::system(command.c_str()) != 0 || fs::file_size(tree_->globalApt(), ec) < 1000000) {
            skipReason_ = "gzip could not decompress " + archive.string();
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

    static inline std::unique_ptr<test::InstallTree> tree_;
    static inline std::string skipReason_;
    AirportDatabase database_;
};

TEST_F(AirportDatabaseRealData, SanFranciscoRunways) {
    const auto ksfo = load("ksfo");
    EXPECT_EQ(ksfo.icao, "KSFO");
    EXPECT_EQ(ksfo.name, "San Francisco Intl");
    EXPECT_EQ(ksfo.elevationFt, 13.0);
    ASSERT_EQ(ksfo.runways.size(), 4u);

    // 100 60.96 1 ... 10L 37.62872250 -122.39342127 0.00 ... 28R 37.61351918 -122.35716907 0.00 ...
    const auto& r10L = ksfo.runways[0];
    EXPECT_NEAR(r10L.lengthMeters, chordLength(37.62872250, -122.39342127, 37.61351918, -122.35716907), 1e-3);
    EXPECT_NEAR(r10L.headingDegrees, chordBearing(37.62872250, -122.39342127, 37.61351918, -122.35716907), 1e-6);
    EXPECT_NEAR(r10L.lengthMeters, 3618, 10);  // 11,870 ft published
    EXPECT_NEAR(r10L.headingDegrees, 118, 1);
    EXPECT_DOUBLE_EQ(r10L.widthMeters, 60.96);
    EXPECT_EQ(r10L.surfaceCode, 4);  // asphalt
    EXPECT_EQ(r10L.primaryNumber, 10);
    EXPECT_EQ(r10L.primaryDesignatorCode, 1);
    EXPECT_EQ(r10L.secondaryNumber, 28);
    EXPECT_EQ(r10L.secondaryDesignatorCode, 2);
    EXPECT_DOUBLE_EQ(r10L.latitude, (37.62872250 + 37.61351918) / 2);

    // 01R has a displaced threshold of 149.96 m.
    const auto& r01R = ksfo.runways[2];
    EXPECT_EQ(r01R.primaryNumber, 1);
    EXPECT_EQ(r01R.primaryDesignatorCode, 2);
    EXPECT_DOUBLE_EQ(r01R.primaryDisplacedThresholdMeters, 149.96);
    EXPECT_EQ(r01R.secondaryDisplacedThresholdMeters, 0.0);
    EXPECT_NEAR(r01R.headingDegrees, chordBearing(37.60620279, -122.38114713, 37.62781186, -122.36681630), 1e-6);

    // No datum rows in this file: the position is the mean of the runway centres.
    EXPECT_TRUE(ksfo.hasPosition);
    double lat = 0;
    for (const auto& runway : ksfo.runways) lat += runway.latitude / 4;
    EXPECT_DOUBLE_EQ(ksfo.latitude, lat);
    EXPECT_NEAR(ksfo.longitude, -122.38, 0.02);
    EXPECT_FALSE(ksfo.hasMagneticVariation);
}

TEST_F(AirportDatabaseRealData, HeathrowRunways) {
    const auto egll = load("EGLL");
    EXPECT_EQ(egll.name, "London Heathrow");
    ASSERT_EQ(egll.runways.size(), 2u);
    EXPECT_NEAR(egll.runways[0].headingDegrees, chordBearing(51.47747035, -0.48962591, 51.47767520, -0.43326100), 1e-6);
    EXPECT_NEAR(egll.runways[0].lengthMeters, chordLength(51.47747035, -0.48962591, 51.47767520, -0.43326100), 1e-3);
    EXPECT_DOUBLE_EQ(egll.runways[0].primaryDisplacedThresholdMeters, 306.02);
    EXPECT_EQ(egll.runways[1].primaryNumber, 9);
    EXPECT_EQ(egll.runways[1].primaryDesignatorCode, 2);
}

// Found only after reading the whole 106 MB.
TEST_F(AirportDatabaseRealData, LastAirportOfTheFile) {
    const auto last = load("NE26");
    EXPECT_EQ(last.name, "[X] Wilber Municipal");
    ASSERT_EQ(last.runways.size(), 1u);
    EXPECT_EQ(last.runways[0].surfaceCode, 1);  // grass
    EXPECT_EQ(last.runways[0].primaryNumber, 18);
    EXPECT_EQ(last.runways[0].secondaryNumber, 36);
}

}  // namespace
}  // namespace navorel
