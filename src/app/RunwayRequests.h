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
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "app/RunwayRecords.h"
#include "app/protocol/CommandResult.h"
#include "core/AirportRecord.h"
#include "core/Clock.h"
#include "core/SimulatorProvider.h"
#include "core/TelemetryRecords.h"

namespace navorel {

class JsonMessagePool;

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
    // called from the server thread, so each must be safe there.
    struct Operations {
        // The provider selected at the moment of the call: read once per
        // request, so that an automatic switch cannot split one request
        // between two providers. X-Plane lookups keep using the provider they
        // started with, on the lookup workers.
        std::function<SimulatorProvider&()> activeProvider;
        std::function<std::size_t()> clientCount;
        std::function<void(const nlohmann::json& message)> broadcast;
        // A lookup has finished: the main loop should come for it.
        std::function<void()> lookupFinished;
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
        SimulatorProvider* provider = nullptr;
    };

    bool removePending(std::uint32_t requestId, PendingRunwayRequest* removed);
    void startLookup(std::uint32_t requestId, const std::string& icao, SimulatorProvider& provider);
    void lookupWorker();
    XPlaneLookupResult runLookup(const LookupJob& job);
    void fillFromXPlane(PendingRunwayRequest& request, const XPlaneAirportRecord& airport) const;
    bool hasClient() const;
    void publish(const char* what, const std::function<void(nlohmann::json&, std::int64_t)>& fill);

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
