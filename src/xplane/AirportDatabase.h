#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/AirportRecord.h"

namespace navorel {

// Finds the X-Plane install, lists its apt.dat files in the order the
// simulator layers its scenery, and looks airports up in them by ICAO ident.
// Found airports are cached; misses are not. Safe to use from several threads.
class AirportDatabase {
public:
    // Full image paths (UTF-8) of the running X-Plane main executables, in process-list order.
    using ImagePathSource = std::function<std::vector<std::string>()>;
    // Value of an environment variable as UTF-8; empty when it is not set.
    using EnvironmentSource = std::function<std::string(const std::string& name)>;

    // Empty sources mean the real machine: the process list and the environment.
    explicit AirportDatabase(ImagePathSource imagePaths = {}, EnvironmentSource environment = {});

    AirportDatabase(const AirportDatabase&) = delete;
    AirportDatabase& operator=(const AirportDatabase&) = delete;

    // Uses this install root (UTF-8 text, taken as given) from now on; forgets
    // the file list and the cache, so discovery is never consulted afterwards.
    void setRoot(std::string path);

    // True with result filled, or false with error set.
    bool loadAirport(const std::string& icao, XPlaneAirportRecord& result, std::string& error);

    static constexpr const char* kEmptyIcaoError = "ICAO cannot be empty";
    static constexpr const char* kNoInstallError =
        "Unable to locate X-Plane install path (set XPLANE_ROOT or --xplane-root)";
    static constexpr const char* kNoAptFilesError = "No apt.dat files found under X-Plane root";
    static constexpr const char* kNotFoundError = "Airport not found in apt.dat";

private:
    // Both run with lock_ held.
    bool ensureFileList(std::string& error);
    std::string discoverRoot(std::string& error) const;

    ImagePathSource imagePaths_;
    EnvironmentSource environment_;

    std::mutex lock_;
    std::string root_;
    std::vector<std::filesystem::path> aptFiles_;
    std::map<std::string, XPlaneAirportRecord> airportCache_;
    // Bumped by setRoot, so a scan of the old root's files started before it
    // does not fill the new root's cache.
    std::uint64_t generation_ = 0;
};

}  // namespace navorel
