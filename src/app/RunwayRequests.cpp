#include "app/RunwayRequests.h"

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/records/RecordRules.h"
#include "log/Logger.h"
#include "server/JsonMessagePool.h"

namespace navorel {

namespace {

constexpr std::array<std::string_view, 33> kSurfaceNames = {
    "Concrete", "Grass",     "Water FSX",   "Grass Bumpy", "Asphalt", "Short Grass",  "Long Grass",
    "Hard Turf", "Snow",     "Ice",         "Urban",       "Forest",  "Dirt",         "Coral",
    "Gravel",   "Oil Treated", "Steel Mats", "Bituminous", "Brick",   "Macadam",      "Planks",
    "Sand",     "Shale",     "Tarmac",      "Wright Flyer Track", "Reserved", "Ocean", "Water",
    "Pond",     "Lake",      "River",       "Waste Water", "Paint"};

constexpr std::array<std::string_view, 7> kDesignatorLetters = {"", "L", "R", "C", "W", "A", "B"};

constexpr std::array<std::string_view, 8> kCompassNumbers = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

constexpr std::array<std::string_view, 36> kRunwayNumbers = {
    "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12",
    "13", "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", "24",
    "25", "26", "27", "28", "29", "30", "31", "32", "33", "34", "35", "36"};

constexpr const char* kNotConnected = "SimConnect is not connected";
constexpr const char* kBadLength = "ICAO must be between 3 and 5 characters";
constexpr const char* kRequestRefused = "Failed to request runway data from simulator";
constexpr const char* kTooMany = "Too many runway info requests in progress";
constexpr const char* kAccepted = "Runway info request accepted";
constexpr const char* kNoAirport = "Airport data was not returned by the simulator";
constexpr const char* kLookupFailed = "Failed to load airport from apt.dat";
constexpr const char* kTimedOut = "Runway info request timed out";

template <typename Function>
bool ask(const Function& function) {
    return function && function();
}

// A fixed text field of the simulator: up to the first NUL or the field's
// end, blanks and line breaks stripped at both ends.
std::string trimmedField(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, '\0', size);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size;
    std::string_view text(field, length);
    constexpr std::string_view kBlank = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kBlank);
    return std::string(text.substr(first, last - first + 1));
}

// Serialising a text that is not UTF-8 fails, which would leave the client
// without any answer; a fixed-width simulator field can cut a character in
// half and scenery files are not always UTF-8. Each invalid byte becomes
// U+FFFD instead.
std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = byte(i + k);
            valid = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

float metresToFeet(double metres) { return static_cast<float>(metres * kMetresToFeet); }

// The fields that the simulator's facility data and the apt.dat record name alike.
template <typename Source>
RunwayEntry runwayGeometry(std::uint32_t index, const Source& source) {
    RunwayEntry runway;
    runway.index = index;
    runway.latitude = source.latitude;
    runway.longitude = source.longitude;
    runway.headingDegrees = static_cast<float>(source.headingDegrees);
    runway.lengthFt = metresToFeet(source.lengthMeters);
    runway.widthFt = metresToFeet(source.widthMeters);
    runway.surfaceCode = source.surfaceCode;
    runway.primaryNumber = source.primaryNumber;
    runway.primaryDesignatorCode = source.primaryDesignatorCode;
    runway.secondaryNumber = source.secondaryNumber;
    runway.secondaryDesignatorCode = source.secondaryDesignatorCode;
    return runway;
}

nlohmann::json thresholdJson(const RunwayThreshold& threshold) {
    return {{"lengthFt", roundTo(threshold.lengthFt, 0)},
            {"widthFt", roundTo(threshold.widthFt, 0)},
            {"enabled", threshold.enabled},
            {"present", threshold.present}};
}

nlohmann::json runwayJson(const RunwayEntry& runway) {
    return {{"latitude", roundTo(runway.latitude, 6)},
            {"longitude", roundTo(runway.longitude, 6)},
            {"altitudeFt", roundTo(runway.altitudeFt, 0)},
            {"headingDegrees", roundTo(runway.headingDegrees, 1)},
            {"lengthFt", roundTo(runway.lengthFt, 0)},
            {"widthFt", roundTo(runway.widthFt, 0)},
            {"surfaceCode", runway.surfaceCode},
            {"surface", std::string(runwaySurfaceName(runway.surfaceCode))},
            {"primaryNumber", runway.primaryNumber},
            {"primaryDesignatorCode", runway.primaryDesignatorCode},
            {"secondaryNumber", runway.secondaryNumber},
            {"secondaryDesignatorCode", runway.secondaryDesignatorCode},
            {"primaryDesignator", std::string(runwayDesignatorLetter(runway.primaryDesignatorCode))},
            {"secondaryDesignator", std::string(runwayDesignatorLetter(runway.secondaryDesignatorCode))},
            {"primaryIdent", runwayIdent(runway.primaryNumber, runway.primaryDesignatorCode)},
            {"secondaryIdent", runwayIdent(runway.secondaryNumber, runway.secondaryDesignatorCode)},
            {"primaryThreshold", thresholdJson(runway.primaryThreshold)},
            {"secondaryThreshold", thresholdJson(runway.secondaryThreshold)}};
}

}  // namespace

std::string_view runwaySurfaceName(std::int32_t surfaceCode) {
    if (surfaceCode >= 0 && surfaceCode < static_cast<std::int32_t>(kSurfaceNames.size())) {
        return kSurfaceNames[static_cast<std::size_t>(surfaceCode)];
    }
    return surfaceCode == 255 ? "Undefined" : "Unknown";
}

std::string_view runwayDesignatorLetter(std::int32_t designatorCode) {
    if (designatorCode >= 0 && designatorCode < static_cast<std::int32_t>(kDesignatorLetters.size())) {
        return kDesignatorLetters[static_cast<std::size_t>(designatorCode)];
    }
    return {};
}

std::string_view runwayNumberText(std::int32_t number) {
    if (number >= 1 && number <= 36) return kRunwayNumbers[static_cast<std::size_t>(number - 1)];
    if (number >= 37 && number <= 44) return kCompassNumbers[static_cast<std::size_t>(number - 37)];
    return {};
}

std::string runwayIdent(std::int32_t number, std::int32_t designatorCode) {
    std::string ident(runwayNumberText(number));
    ident += runwayDesignatorLetter(designatorCode);
    return ident;
}

RunwayRequestManager::RunwayRequestManager(JsonMessagePool& pool, Operations operations, Clock& clock,
                                           std::size_t maxLookupWorkers)
    : pool_(pool),
      ops_(std::move(operations)),
      clock_(clock),
      maxLookupWorkers_(maxLookupWorkers > 0 ? maxLookupWorkers : 1) {}

RunwayRequestManager::~RunwayRequestManager() {
    {
        std::lock_guard lock(workMutex_);
        stopping_ = true;
    }
    workReady_.notify_all();
    // A worker in the middle of a lookup finishes it first; queued jobs are
    // dropped with the rest of the run.
    for (std::thread& worker : workers_) worker.join();
}

CommandResult RunwayRequestManager::handleRunwayRequest(const std::string& icao) {
    // Read once: the automatic switch may change the active provider meanwhile.
    const bool xplane = ask(ops_.isXPlaneActive);
    if (!xplane && !ask(ops_.isActiveProviderConnected)) return CommandResult::Failure(kNotConnected);

    std::string code = icao;
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (code.size() < 3 || code.size() > 5) return CommandResult::Failure(kBadLength);

    PendingRunwayRequest request;
    request.icao = code;
    request.startTime = clock_.steadyNow();
    request.timeoutMs = xplane ? 0 : kSimConnectTimeoutMs;

    std::uint32_t id = 0;
    {
        std::lock_guard lock(pendingMutex_);
        if (pending_.size() >= kMaxPendingRequests) return CommandResult::Failure(kTooMany);
        do {
            id = nextRequestId_.fetch_add(1);
        } while (pending_.count(id) != 0);
        pending_.emplace(id, std::move(request));
    }

    if (xplane) {
        startLookup(id, code);
    } else {
        bool requested = false;
        try {
            requested = ops_.requestRunwayData && ops_.requestRunwayData(code, id);
        } catch (...) {
            removePending(id, nullptr);
            throw;
        }
        if (!requested) {
            removePending(id, nullptr);
            return CommandResult::Failure(kRequestRefused);
        }
    }

    return CommandResult::Success(kAccepted, {{"requestId", id}, {"icao", code}});
}

bool RunwayRequestManager::removePending(std::uint32_t requestId, PendingRunwayRequest* removed) {
    std::lock_guard lock(pendingMutex_);
    const auto it = pending_.find(requestId);
    if (it == pending_.end()) return false;
    if (removed) *removed = std::move(it->second);
    pending_.erase(it);
    return true;
}

void RunwayRequestManager::onAirportFacility(std::uint32_t requestId, const FacilityAirportData& data) {
    std::lock_guard lock(pendingMutex_);
    const auto it = pending_.find(requestId);
    if (it == pending_.end()) return;
    PendingRunwayRequest& request = it->second;
    request.latitude = data.latitude;
    request.longitude = data.longitude;
    request.altitudeFt = data.altitudeMeters * kMetresToFeet;
    request.magneticVariation = data.magneticVariation;
    request.name = trimmedField(data.name, sizeof data.name);
    request.airportIcao = trimmedField(data.icao, sizeof data.icao);
    request.region = trimmedField(data.region, sizeof data.region);
    request.runwayCount = data.runwayCount;
    request.airportReceived = true;
}

void RunwayRequestManager::onRunwayFacility(std::uint32_t requestId, std::uint32_t runwayIndex,
                                            const FacilityRunwayData& data) {
    std::lock_guard lock(pendingMutex_);
    const auto it = pending_.find(requestId);
    if (it == pending_.end()) return;
    PendingRunwayRequest& request = it->second;
    RunwayEntry runway = runwayGeometry(runwayIndex, data);
    runway.altitudeFt = data.altitudeMeters * kMetresToFeet;
    request.runways.push_back(runway);
    request.runwayPositions[runwayIndex] = request.runways.size() - 1;
}

void RunwayRequestManager::onPavementFacility(std::uint32_t requestId, std::uint32_t runwayIndex,
                                              const FacilityPavementData& data) {
    std::lock_guard lock(pendingMutex_);
    const auto it = pending_.find(requestId);
    if (it == pending_.end()) return;
    PendingRunwayRequest& request = it->second;
    const auto position = request.runwayPositions.find(runwayIndex);
    if (position == request.runwayPositions.end()) return;
    RunwayEntry& runway = request.runways[position->second];

    const auto feet = [](float metres) {
        return std::fabs(metres) < 0.000001f ? 0.0f : metresToFeet(metres);
    };
    RunwayThreshold* target = !runway.primaryThreshold.present     ? &runway.primaryThreshold
                              : !runway.secondaryThreshold.present ? &runway.secondaryThreshold
                                                                   : nullptr;
    if (!target) return;  // a runway has two ends
    target->present = true;
    target->enabled = data.enabled != 0;
    target->lengthFt = feet(data.lengthMeters);
    target->widthFt = feet(data.widthMeters);
}

void RunwayRequestManager::onFacilityDataEnd(std::uint32_t requestId) {
    PendingRunwayRequest request;
    if (!removePending(requestId, &request)) return;
    if (request.airportReceived) {
        sendRunwayInfo(request);
    } else {
        sendRunwayInfoError(request.icao, kNoAirport);
    }
}

void RunwayRequestManager::installFacilityCallbacks(SimulatorProvider& provider) {
    provider.setAirportFacilityCallback(
        [this](std::uint32_t id, const FacilityAirportData& data) { onAirportFacility(id, data); });
    provider.setRunwayFacilityCallback([this](std::uint32_t id, std::uint32_t index, const FacilityRunwayData& data) {
        onRunwayFacility(id, index, data);
    });
    provider.setPavementFacilityCallback(
        [this](std::uint32_t id, std::uint32_t index, const FacilityPavementData& data) {
            onPavementFacility(id, index, data);
        });
    provider.setFacilityDataEndCallback([this](std::uint32_t id) { onFacilityDataEnd(id); });
}

void RunwayRequestManager::startLookup(std::uint32_t requestId, const std::string& icao) {
    std::unique_lock lock(workMutex_);
    jobs_.push_back({requestId, icao});
    if (jobs_.size() > idleWorkers_ && workers_.size() < maxLookupWorkers_) {
        try {
            workers_.emplace_back([this] { lookupWorker(); });
        } catch (...) {
            if (!workers_.empty()) {
                // The running workers will take the job.
                lock.unlock();
                workReady_.notify_one();
                logLine(LogLevel::WARN, {}, "Could not start another runway lookup worker");
                return;
            }
            jobs_.pop_back();
            lock.unlock();
            removePending(requestId, nullptr);
            throw;
        }
    }
    lock.unlock();
    workReady_.notify_one();
}

void RunwayRequestManager::lookupWorker() {
    std::unique_lock lock(workMutex_);
    for (;;) {
        ++idleWorkers_;
        workReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        --idleWorkers_;
        if (stopping_) return;
        LookupJob job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();

        XPlaneLookupResult result = runLookup(job);
        {
            std::lock_guard completedLock(completedMutex_);
            completed_.push_back(std::move(result));
        }
        lock.lock();
    }
}

XPlaneLookupResult RunwayRequestManager::runLookup(const LookupJob& job) {
    XPlaneLookupResult result;
    result.requestId = job.requestId;
    result.icao = job.icao;
    bool found = false;
    try {
        found = ops_.loadAirport && ops_.loadAirport(job.icao, result.airport, result.error);
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Runway lookup for ") + job.icao + " failed: " + e.what());
    }
    if (!found) {
        result.airport = {};
        if (result.error.empty()) result.error = kLookupFailed;
        return result;
    }
    result.error.clear();
    try {
        if (ops_.cacheAirport) ops_.cacheAirport(result.airport);
    } catch (const std::exception& e) {
        logLine(LogLevel::WARN, {}, std::string("Could not cache airport ") + job.icao + ": " + e.what());
    }
    return result;
}

void RunwayRequestManager::processCompletedLookups() {
    std::deque<XPlaneLookupResult> finished;
    {
        std::lock_guard lock(completedMutex_);
        finished.swap(completed_);
    }
    for (const XPlaneLookupResult& result : finished) {
        PendingRunwayRequest request;
        if (!removePending(result.requestId, &request)) continue;
        if (!result.error.empty()) {
            sendRunwayInfoError(request.icao, result.error);
            continue;
        }
        fillFromXPlane(request, result.airport);
        sendRunwayInfo(request);
    }
}

void RunwayRequestManager::fillFromXPlane(PendingRunwayRequest& request, const XPlaneAirportRecord& airport) const {
    request.name = airport.name;
    request.airportIcao = airport.icao;
    request.region = airport.region;
    request.latitude = airport.hasPosition ? airport.latitude : 0.0;
    request.longitude = airport.hasPosition ? airport.longitude : 0.0;
    request.altitudeFt = airport.elevationFt;
    request.magneticVariation = airport.hasMagneticVariation ? static_cast<float>(airport.magneticVariation) : 0.0f;
    request.runwayCount = static_cast<std::int32_t>(airport.runways.size());
    request.airportReceived = true;
    request.runways.clear();
    request.runwayPositions.clear();
    std::uint32_t index = 0;
    for (const XPlaneRunwayRecord& source : airport.runways) {
        RunwayEntry runway = runwayGeometry(++index, source);
        runway.altitudeFt = airport.elevationFt;
        const auto displaced = [&runway](double metres) {
            RunwayThreshold threshold;
            if (metres > 0.0) {
                threshold.present = true;
                threshold.enabled = true;
                threshold.lengthFt = metresToFeet(metres);
                threshold.widthFt = runway.widthFt;
            }
            return threshold;
        };
        runway.primaryThreshold = displaced(source.primaryDisplacedThresholdMeters);
        runway.secondaryThreshold = displaced(source.secondaryDisplacedThresholdMeters);
        request.runways.push_back(runway);
        request.runwayPositions[runway.index] = request.runways.size() - 1;
    }
}

void RunwayRequestManager::expireRunwayRequests(SteadyTime now) {
    std::vector<std::string> expired;
    {
        std::lock_guard lock(pendingMutex_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            const PendingRunwayRequest& request = it->second;
            const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - request.startTime);
            if (request.timeoutMs > 0 && age.count() >= request.timeoutMs) {
                expired.push_back(request.icao);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& icao : expired) sendRunwayInfoError(icao, kTimedOut);
}

bool RunwayRequestManager::hasClient() const { return ops_.clientCount && ops_.clientCount() > 0; }

void RunwayRequestManager::publish(const char* what, const std::function<void(nlohmann::json&)>& fill) {
    if (!hasClient() || !ops_.broadcast) return;
    std::unique_ptr<nlohmann::json> message = pool_.AcquireJson();
    try {
        if (!message->is_object()) *message = nlohmann::json::object();
        fill(*message);
        (*message)["timestamp"] = toUnixTicks100ns(clock_.systemNow());
        ops_.broadcast(*message);
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending ") + what + ": " + e.what());
    }
    pool_.ReleaseJson(std::move(message));
}

void RunwayRequestManager::sendRunwayInfo(const PendingRunwayRequest& request) {
    publish("runway info", [&request](nlohmann::json& m) {
        m["type"] = "runway_info";
        m["icao"] = validUtf8(request.icao);
        m["airport"] = {
            {"name", validUtf8(request.name)},
            {"icao", validUtf8(request.airportIcao)},
            {"region", validUtf8(request.region)},
            {"latitude", roundTo(request.latitude, 6)},
            {"longitude", roundTo(request.longitude, 6)},
            {"altitudeFt", request.airportReceived ? roundTo(request.altitudeFt, 0) : 0.0},
            {"magneticVariation", roundTo(request.magneticVariation, 2)},
            {"runwayCount", request.runwayCount},
        };
        nlohmann::json runways = nlohmann::json::array();
        for (const RunwayEntry& runway : request.runways) runways.push_back(runwayJson(runway));
        m["runways"] = std::move(runways);
    });
}

void RunwayRequestManager::sendRunwayInfoError(const std::string& icao, const std::string& error) {
    publish("runway info error", [&](nlohmann::json& m) {
        m["type"] = "runway_info_error";
        m["icao"] = validUtf8(icao);
        m["error"] = validUtf8(error);
    });
}

std::size_t RunwayRequestManager::pendingCount() const {
    std::lock_guard lock(pendingMutex_);
    return pending_.size();
}

std::size_t RunwayRequestManager::lookupWorkerCount() const {
    std::lock_guard lock(workMutex_);
    return workers_.size();
}

}  // namespace navorel
