#include "xplane/AirportDatabase.h"

#include <exception>
#include <utility>

#include "platform/Environment.h"
#include "xplane/AptDatScanner.h"
#include "xplane/XPlaneInstall.h"

namespace navorel {

namespace fs = std::filesystem;

namespace {

// Text that names no usable directory here (for example one the platform
// cannot convert) fails the test like a folder without apt.dat.
bool passesInstallTest(const std::string& dir) {
    if (dir.empty()) return false;
    try {
        return isXPlaneInstallRoot(pathFromUtf8(dir));
    } catch (const std::exception&) {
        return false;
    }
}

void fillPositionFromRunways(XPlaneAirportRecord& record) {
    if (record.hasPosition || record.runways.empty()) return;
    double latitude = 0.0;
    double longitude = 0.0;
    for (const auto& runway : record.runways) {
        latitude += runway.latitude;
        longitude += runway.longitude;
    }
    const auto count = static_cast<double>(record.runways.size());
    record.latitude = latitude / count;
    record.longitude = longitude / count;
    record.hasPosition = true;
}

}  // namespace

AirportDatabase::AirportDatabase(ImagePathSource imagePaths, EnvironmentSource environment)
    : imagePaths_(imagePaths ? std::move(imagePaths) : ImagePathSource(runningXPlaneImagePaths)),
      environment_(environment ? std::move(environment) : EnvironmentSource(platform::environmentVariable)) {}

void AirportDatabase::setRoot(std::string path) {
    std::lock_guard guard(lock_);
    root_ = std::move(path);
    aptFiles_.clear();
    airportCache_.clear();
    ++generation_;
}

bool AirportDatabase::loadAirport(const std::string& icao, XPlaneAirportRecord& result, std::string& error) {
    if (icao.empty()) {
        error = kEmptyIcaoError;
        return false;
    }
    std::string key = icao;
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }

    std::vector<fs::path> files;
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(lock_);
        const auto cached = airportCache_.find(key);
        if (cached != airportCache_.end()) {
            result = cached->second;
            return true;
        }
        if (!ensureFileList(error)) return false;
        files = aptFiles_;
        generation = generation_;
    }

    // Scanned without the lock: a miss reads every file to its end.
    const AptDatScanner scanner(key);
    XPlaneAirportRecord record;
    bool found = false;
    for (const auto& file : files) {
        try {
            found = scanner.scanFile(file, record);
        } catch (const std::exception&) {
            found = false;  // an unreadable file is skipped like a missing one
        }
        if (found) break;
    }
    if (!found) {
        error = kNotFoundError;
        return false;
    }
    record.icao = key;
    fillPositionFromRunways(record);

    {
        std::lock_guard guard(lock_);
        if (generation == generation_) airportCache_[key] = record;
    }
    result = std::move(record);
    return true;
}

bool AirportDatabase::ensureFileList(std::string& error) {
    if (!aptFiles_.empty()) return true;
    std::string root = root_;
    if (root.empty()) {
        root = discoverRoot(error);
        if (root.empty()) return false;
    }
    std::vector<fs::path> files;
    try {
        files = collectAptDatFiles(pathFromUtf8(root));
    } catch (const std::exception&) {
        files.clear();
    }
    if (files.empty()) {
        error = kNoAptFilesError;
        return false;
    }
    aptFiles_ = std::move(files);
    root_ = std::move(root);
    return true;
}

std::string AirportDatabase::discoverRoot(std::string& error) const {
    std::string value = environment_("XPLANE_ROOT");
    if (value.empty()) value = environment_("XPLANE_HOME");
    if (!value.empty()) {
        value = stripEnclosingQuotes(std::move(value));
        if (passesInstallTest(value)) return value;
    }
    for (const auto& image : imagePaths_()) {
        try {
            const std::string dir = utf8FromPath(pathFromUtf8(image).parent_path());
            if (passesInstallTest(dir)) return dir;
        } catch (const std::exception&) {
            // An image path this platform cannot convert is skipped.
        }
    }
    error = kNoInstallError;
    return {};
}

}  // namespace navorel
