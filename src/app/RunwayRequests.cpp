#include "app/RunwayRequests.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/protocol/Messages.h"
#include "core/JsonMessagePool.h"
#include "core/RecordRules.h"
#include "core/Text.h"
#include "log/Logger.h"

namespace navorel {

namespace {

constexpr const char* kNotConnected = "SimConnect is not connected";
constexpr const char* kBadLength = "ICAO must be between 3 and 5 characters";
constexpr const char* kRequestRefused = "Failed to request runway data from simulator";
constexpr const char* kTooMany = "Too many runway info requests in progress";
constexpr const char* kAccepted = "Runway info request accepted";
constexpr const char* kNoAirport = "Airport data was not returned by the simulator";
constexpr const char* kLookupFailed = "Failed to load airport from apt.dat";
constexpr const char* kTimedOut = "Runway info request timed out";

float metresToFeet(double metres) { return static_cast<float>(metres * kFeetPerMetre); }

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

}  // namespace

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
    SimulatorProvider& provider = ops_.activeProvider();
    const bool local = provider.looksUpRunwaysLocally();
    if (!local && !provider.isConnected()) return CommandResult::Failure(kNotConnected);

    const std::string code = asciiUpper(icao);
    if (code.size() < 3 || code.size() > 5) return CommandResult::Failure(kBadLength);

    PendingRunwayRequest request;
    request.icao = code;
    request.startTime = clock_.steadyNow();
    request.timeoutMs = local ? 0 : kSimConnectTimeoutMs;

    std::uint32_t id = 0;
    {
        std::lock_guard lock(pendingMutex_);
        if (pending_.size() >= kMaxPendingRequests) return CommandResult::Failure(kTooMany);
        do {
            id = nextRequestId_.fetch_add(1);
        } while (pending_.count(id) != 0);
        pending_.emplace(id, std::move(request));
    }

    if (local) {
        startLookup(id, code, provider);
    } else {
        bool requested = false;
        try {
            requested = provider.requestRunwayData(code, id);
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
    request.altitudeFt = data.altitudeMeters * kFeetPerMetre;
    request.magneticVariation = data.magneticVariation;
    request.name = fixedFieldText(data.name, sizeof data.name);
    request.airportIcao = fixedFieldText(data.icao, sizeof data.icao);
    request.region = fixedFieldText(data.region, sizeof data.region);
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
    runway.altitudeFt = data.altitudeMeters * kFeetPerMetre;
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

void RunwayRequestManager::startLookup(std::uint32_t requestId, const std::string& icao,
                                       SimulatorProvider& provider) {
    std::unique_lock lock(workMutex_);
    jobs_.push_back({requestId, icao, &provider});
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
        if (ops_.lookupFinished) ops_.lookupFinished();
        lock.lock();
    }
}

XPlaneLookupResult RunwayRequestManager::runLookup(const LookupJob& job) {
    XPlaneLookupResult result;
    result.requestId = job.requestId;
    result.icao = job.icao;
    bool found = false;
    try {
        found = job.provider->loadAirport(job.icao, result.airport, result.error);
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
        job.provider->cacheAirport(result.airport);
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

void RunwayRequestManager::publish(const char* what, const std::function<void(nlohmann::json&, std::int64_t)>& fill) {
    if (!hasClient() || !ops_.broadcast) return;
    std::unique_ptr<nlohmann::json> message = pool_.AcquireJson();
    try {
        fill(*message, toUnixTicks100ns(clock_.systemNow()));
        ops_.broadcast(*message);
    } catch (const std::exception& e) {
        logLine(LogLevel::ERROR, {}, std::string("Error sending ") + what + ": " + e.what());
    }
    pool_.ReleaseJson(std::move(message));
}

void RunwayRequestManager::sendRunwayInfo(const PendingRunwayRequest& request) {
    publish("runway info", [&](nlohmann::json& m, std::int64_t now) { protocol::runwayInfo(m, request, now); });
}

void RunwayRequestManager::sendRunwayInfoError(const std::string& icao, const std::string& error) {
    publish("runway info error",
            [&](nlohmann::json& m, std::int64_t now) { protocol::runwayInfoError(m, icao, error, now); });
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
