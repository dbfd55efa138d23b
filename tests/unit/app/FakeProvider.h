#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/SimulatorProvider.h"

namespace navorel::test {

// A simulator provider driven by the test: connection, failing polls, pause
// sends and runway requests are set and recorded; facility answers are
// delivered through the installed callbacks on the calling thread.
class FakeProvider : public SimulatorProvider {
public:
    explicit FakeProvider(std::string family = "MSFS") : family_(std::move(family)) {}

    std::atomic<bool> connected{true};
    std::atomic<bool> connectSucceeds{true};
    std::atomic<bool> acceptRequests{true};
    std::atomic<bool> failPolls{false};
    std::atomic<bool> awaitingTelemetry{false};
    bool pauseSucceeds = true;
    bool localRunways = false;
    std::string lastError;
    // Runs inside processMessages, on the polling thread.
    std::function<void()> onPoll;

    bool connect() override {
        record("connect");
        if (connectSucceeds) connected = true;
        return connectSucceeds;
    }
    void disconnect() override {
        record("disconnect");
        connected = false;
    }
    bool isConnected() const override { return connected; }
    void processMessages() override {
        ++polls;
        if (onPoll) onPoll();
        if (failPolls) throw std::runtime_error("pipe broken");
    }
    void setPreflightMode() override { record("preflight"); }
    void requestDataSnapshot() override { record("snapshot"); }
    void setActiveMode() override { record("active"); }
    void setIdleMode() override { record("idle"); }
    bool setPaused(bool paused) override {
        record(paused ? "pause" : "resume");
        return pauseSucceeds;
    }
    std::string getLastError() const override { return lastError; }
    bool isAwaitingTelemetry() const override { return awaitingTelemetry; }
    std::string simulatorFamily() const override { return family_; }
    std::string simulatorVariant() const override { return "2024"; }
    std::string pauseFailureText() const override { return family_ + " pause failed"; }

    bool looksUpRunwaysLocally() const override { return localRunways; }
    bool requestRunwayData(const std::string& icao, std::uint32_t requestId) override {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(icao, requestId);
        return acceptRequests;
    }
    void cacheAirport(const XPlaneAirportRecord& record) override { this->record("cache " + record.icao); }

    std::vector<std::pair<std::string, std::uint32_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Every call recorded so far, then forgotten.
    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

    void airport(std::uint32_t id, const FacilityAirportData& data) { invoke(airportFacilityCallback_, id, data); }
    void runway(std::uint32_t id, std::uint32_t index, const FacilityRunwayData& data) {
        invoke(runwayFacilityCallback_, id, index, data);
    }
    void pavement(std::uint32_t id, std::uint32_t index, const FacilityPavementData& data) {
        invoke(pavementFacilityCallback_, id, index, data);
    }
    void end(std::uint32_t id) { invoke(facilityDataEndCallback_, id); }

    std::atomic<int> polls{0};

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    const std::string family_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::uint32_t>> requests_;
    std::vector<std::string> calls_;
};

}  // namespace navorel::test
