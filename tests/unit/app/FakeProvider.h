#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/records/SimulatorProvider.h"

namespace navorel::test {

// A simulator provider driven by the test: connection, failing polls, pause
// sends and facility requests are set and recorded; the facility answers are
// delivered through the installed callbacks on the calling (main) thread.
class FakeProvider final : public SimulatorProvider {
public:
    std::atomic<bool> connected{true};
    std::atomic<bool> acceptRequests{true};
    bool failPolls = false;
    bool pauseSucceeds = true;
    std::string lastError;
    int polls = 0;
    int disconnects = 0;
    std::vector<bool> pauses;

    bool connect() override { return connected = true; }
    void disconnect() override {
        connected = false;
        ++disconnects;
    }
    bool isConnected() const override { return connected; }
    void processMessages() override {
        ++polls;
        if (failPolls) throw std::runtime_error("pipe broken");
    }
    void setPreflightMode() override {}
    void requestDataSnapshot() override {}
    void setActiveMode() override {}
    bool setPaused(bool paused) override {
        pauses.push_back(paused);
        return pauseSucceeds;
    }
    std::string getLastError() const override { return lastError; }

    bool requestRunwayData(const std::string& icao, std::uint32_t requestId) {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(icao, requestId);
        return acceptRequests;
    }
    std::vector<std::pair<std::string, std::uint32_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    void airport(std::uint32_t id, const FacilityAirportData& data) { invoke(airportFacilityCallback_, id, data); }
    void runway(std::uint32_t id, std::uint32_t index, const FacilityRunwayData& data) {
        invoke(runwayFacilityCallback_, id, index, data);
    }
    void pavement(std::uint32_t id, std::uint32_t index, const FacilityPavementData& data) {
        invoke(pavementFacilityCallback_, id, index, data);
    }
    void end(std::uint32_t id) { invoke(facilityDataEndCallback_, id); }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::uint32_t>> requests_;
};

}  // namespace navorel::test
