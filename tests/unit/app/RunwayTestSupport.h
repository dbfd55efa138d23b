#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/RunwayRequests.h"
#include "app/records/SimulatorProvider.h"

namespace navorel::test {

// Stands in for the server's broadcast: serialises strictly, as the real one
// does, and keeps what went out.
class MessageSink {
public:
    std::atomic<std::size_t> clients{1};

    void broadcast(const nlohmann::json& message) {
        std::string text = message.dump();
        std::lock_guard lock(mutex_);
        messages_.push_back(nlohmann::json::parse(text));
    }
    std::vector<nlohmann::json> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<nlohmann::json> messages_;
};

// A SimConnect-like provider: requestRunwayData is recorded, and the facility
// answers queued by the test are delivered through the installed callbacks
// inside processMessages(), as the real handler does on the main thread.
class FakeFacilityProvider : public SimulatorProvider {
public:
    std::atomic<bool> connected{true};
    std::atomic<bool> acceptRequests{true};

    bool requestRunwayData(const std::string& icao, std::uint32_t requestId) {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(icao, requestId);
        return acceptRequests.load();
    }
    std::vector<std::pair<std::string, std::uint32_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    void queueAirport(std::uint32_t id, const FacilityAirportData& data) {
        queue([this, id, data] { invoke(airportFacilityCallback_, id, data); });
    }
    void queueRunway(std::uint32_t id, std::uint32_t index, const FacilityRunwayData& data) {
        queue([this, id, index, data] { invoke(runwayFacilityCallback_, id, index, data); });
    }
    void queuePavement(std::uint32_t id, std::uint32_t index, const FacilityPavementData& data) {
        queue([this, id, index, data] { invoke(pavementFacilityCallback_, id, index, data); });
    }
    void queueEnd(std::uint32_t id) {
        queue([this, id] { invoke(facilityDataEndCallback_, id); });
    }

    bool connect() override { return connected.load(); }
    void disconnect() override {}
    bool isConnected() const override { return connected.load(); }
    void processMessages() override {
        std::deque<std::function<void()>> pending;
        {
            std::lock_guard lock(mutex_);
            pending.swap(queued_);
        }
        for (auto& action : pending) action();
    }
    void setPreflightMode() override {}
    void requestDataSnapshot() override {}
    void setActiveMode() override {}
    bool setPaused(bool) override { return false; }
    std::string getLastError() const override { return {}; }

private:
    void queue(std::function<void()> action) {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(action));
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::uint32_t>> requests_;
    std::deque<std::function<void()>> queued_;
};

template <std::size_t N>
void copyField(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

inline FacilityAirportData airportData(const std::string& name, const std::string& icao, const std::string& region,
                                       double altitudeMeters, std::int32_t runwayCount) {
    FacilityAirportData data{};
    data.latitude = 47.458056;
    data.longitude = 8.548056;
    data.altitudeMeters = altitudeMeters;
    data.magneticVariation = -2.5f;
    copyField(data.name, name);
    copyField(data.icao, icao);
    copyField(data.region, region);
    data.runwayCount = runwayCount;
    return data;
}

inline FacilityRunwayData runwayData(std::int32_t primaryNumber, std::int32_t primaryDesignator,
                                     std::int32_t secondaryNumber, std::int32_t secondaryDesignator) {
    FacilityRunwayData data{};
    data.latitude = 47.4;
    data.longitude = 8.5;
    data.altitudeMeters = 100.0;
    data.headingDegrees = 137.25f;
    data.lengthMeters = 2500.0f;
    data.widthMeters = 60.0f;
    data.surfaceCode = 0;
    data.primaryNumber = primaryNumber;
    data.primaryDesignatorCode = primaryDesignator;
    data.secondaryNumber = secondaryNumber;
    data.secondaryDesignatorCode = secondaryDesignator;
    return data;
}

}  // namespace navorel::test
