#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "app/records/SimulatorProvider.h"
#include "app/records/TelemetryRecords.h"
#include "platform/Clock.h"
#include "server/CommandResult.h"
#include "xplane/AirportRecord.h"

namespace navorel {

class JsonMessagePool;

inline constexpr double kMetresToFeet = 3.280839895013123;

// Code tables of the runway messages (facility codes; the X-Plane database
// maps its own codes onto them).
std::string_view runwaySurfaceName(std::int32_t surfaceCode);
std::string_view runwayDesignatorLetter(std::int32_t designatorCode);
std::string_view runwayNumberText(std::int32_t number);
// Number text followed by the designator letter, e.g. 9 and 1 give "09L".
std::string runwayIdent(std::int32_t number, std::int32_t designatorCode);

struct RunwayThreshold {
    bool present = false;
    bool enabled = false;
    float lengthFt = 0.0f;
    float widthFt = 0.0f;
};

struct RunwayEntry {
    std::uint32_t index = 0;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitudeFt = 0.0;
    float headingDegrees = 0.0f;
    float lengthFt = 0.0f;
    float widthFt = 0.0f;
    std::int32_t surfaceCode = 0;
    std::int32_t primaryNumber = 0;
    std::int32_t primaryDesignatorCode = 0;
    std::int32_t secondaryNumber = 0;
    std::int32_t secondaryDesignatorCode = 0;
    RunwayThreshold primaryThreshold;
    RunwayThreshold secondaryThreshold;
};

// One accepted request, filled by the facility callbacks or an X-Plane lookup.
struct PendingRunwayRequest {
    std::string icao;
    SteadyTime startTime{};
    std::int64_t timeoutMs = 0;  // 0: no time-out
    bool airportReceived = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitudeFt = 0.0;
    float magneticVariation = 0.0f;
    std::string name;
    std::string airportIcao;
    std::string region;
    std::int32_t runwayCount = 0;
    std::vector<RunwayEntry> runways;
    std::map<std::uint32_t, std::size_t> runwayPositions;
};

struct XPlaneLookupResult {
    std::uint32_t requestId = 0;
    std::string icao;
    XPlaneAirportRecord airport;
    std::string error;  // empty on success
};

// REQUEST_RUNWAY_INFO: accepts a request at once and answers later with
// "runway_info" or "runway_info_error".
//
// Threads: handleRunwayRequest runs on the server thread; the facility
// callbacks, processCompletedLookups and expireRunwayRequests on the main
// thread; X-Plane lookups on workers owned by this object (at most
// maxLookupWorkers at a time; further requests wait for a free worker) and
// joined by its destructor, so it must go before the X-Plane provider whose
// lookup it calls. No lock is held while calling out.
class RunwayRequestManager {
public:
    // What the manager needs of the rest of the bridge. Every function may be
    // called from the server thread, so each must be safe there; the X-Plane
    // ones are also called from the lookup workers. An empty function counts
    // as "no" / "failed".
    struct Operations {
        std::function<bool()> isXPlaneActive;
        std::function<bool()> isActiveProviderConnected;
        // SimConnect: starts a facility request whose data come back through
        // the facility callbacks below.
        std::function<bool(const std::string& icao, std::uint32_t requestId)> requestRunwayData;
        // X-Plane: scenery lookup and the provider's airport cache.
        std::function<bool(const std::string& icao, XPlaneAirportRecord& record, std::string& error)>
            loadAirport;
        std::function<void(const XPlaneAirportRecord& record)> cacheAirport;
        std::function<std::size_t()> clientCount;
        std::function<void(const nlohmann::json& message)> broadcast;
    };

    static constexpr std::uint32_t kFirstRequestId = 10000;
    static constexpr std::int64_t kSimConnectTimeoutMs = 5000;
    static constexpr std::size_t kDefaultLookupWorkers = 2;
    // Requests in progress at once; X-Plane lookups have no time-out, so this
    // bounds the lookup queues too.
    static constexpr std::size_t kMaxPendingRequests = 64;

    RunwayRequestManager(JsonMessagePool& pool, Operations operations, Clock& clock = Clock::real(),
                         std::size_t maxLookupWorkers = kDefaultLookupWorkers);
    ~RunwayRequestManager();
    RunwayRequestManager(const RunwayRequestManager&) = delete;
    RunwayRequestManager& operator=(const RunwayRequestManager&) = delete;

    CommandResult handleRunwayRequest(const std::string& icao);

    void onAirportFacility(std::uint32_t requestId, const FacilityAirportData& data);
    void onRunwayFacility(std::uint32_t requestId, std::uint32_t runwayIndex, const FacilityRunwayData& data);
    void onPavementFacility(std::uint32_t requestId, std::uint32_t runwayIndex, const FacilityPavementData& data);
    void onFacilityDataEnd(std::uint32_t requestId);
    // Installs the four callbacks above on a provider; this object must
    // outlive the provider's use of them.
    void installFacilityCallbacks(SimulatorProvider& provider);

    // Main loop, every round, in this order.
    void processCompletedLookups();
    void expireRunwayRequests(SteadyTime now);

    void sendRunwayInfo(const PendingRunwayRequest& request);
    void sendRunwayInfoError(const std::string& icao, const std::string& error);

    std::size_t pendingCount() const;
    std::size_t lookupWorkerCount() const;

private:
    struct LookupJob {
        std::uint32_t requestId = 0;
        std::string icao;
    };

    bool removePending(std::uint32_t requestId, PendingRunwayRequest* removed);
    void startLookup(std::uint32_t requestId, const std::string& icao);
    void lookupWorker();
    XPlaneLookupResult runLookup(const LookupJob& job);
    void fillFromXPlane(PendingRunwayRequest& request, const XPlaneAirportRecord& airport) const;
    bool hasClient() const;
    void publish(const char* what, const std::function<void(nlohmann::json&)>& fill);

    JsonMessagePool& pool_;
    const Operations ops_;
    Clock& clock_;
    const std::size_t maxLookupWorkers_;

    std::atomic<std::uint32_t> nextRequestId_{kFirstRequestId};
    mutable std::mutex pendingMutex_;
    std::map<std::uint32_t, PendingRunwayRequest> pending_;

    std::mutex completedMutex_;
    std::deque<XPlaneLookupResult> completed_;

    mutable std::mutex workMutex_;
    std::condition_variable workReady_;
    std::deque<LookupJob> jobs_;
    std::vector<std::thread> workers_;
    std::size_t idleWorkers_ = 0;
    bool stopping_ = false;
};

}  // namespace navorel
