#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/UdpSocket.h"
#include "support/ManualClock.h"
#include "xplane/XPlanePluginProvider.h"

namespace navorel::test {

using Values = std::vector<double>;
using Events = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The picked fields of every record, one after the other. The records are
// packed: pick fields by value.
template <typename Record, typename Pick>
Values fields(const std::vector<Record>& records, Pick pick) {
    Values values;
    for (const Record& record : records) {
        for (const double value : pick(record)) values.push_back(value);
    }
    return values;
}

inline auto Near(const Values& expected) { return ::testing::Pointwise(::testing::DoubleNear(1e-4), expected); }

// Polls a condition with short pauses until it holds or the time-out passes.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A loopback port that was free a moment ago.
inline std::uint16_t freeUdpPort() {
    platform::UdpSocket probe;
    if (probe.open(0, std::chrono::milliseconds(10)) != platform::UdpSocket::OpenResult::OK) return 0;
    return probe.localPort();
}

// Everything the provider handed to its receivers; callable from any thread.
class RecordedOutput {
public:
    std::vector<FlightData> flights() const { return get(&Lists::flights); }
    std::vector<SystemsData> systems() const { return get(&Lists::systems); }
    std::vector<EquipmentData> equipment() const { return get(&Lists::equipment); }
    std::vector<AlertData> alerts() const { return get(&Lists::alerts); }
    std::vector<LandingData> landings() const { return get(&Lists::landings); }
    std::vector<std::string> titles() const { return get(&Lists::titles); }
    Events events() const { return get(&Lists::events); }

    void clear() {
        std::lock_guard lock(mutex_);
        lists_ = {};
    }

    void attachTo(XPlanePluginProvider& provider) {
        provider.setFlightDataCallback([this](const FlightData& d) { add(&Lists::flights, d); });
        provider.setSystemsDataCallback([this](const SystemsData& d) { add(&Lists::systems, d); });
        provider.setEquipmentDataCallback([this](const EquipmentData& d) { add(&Lists::equipment, d); });
        provider.setAlertDataCallback([this](const AlertData& d) { add(&Lists::alerts, d); });
        provider.setLandingDataCallback([this](const LandingData& d) { add(&Lists::landings, d); });
        provider.setAircraftInfoCallback([this](const AircraftInfo& d) { add(&Lists::titles, std::string(d.title)); });
        provider.setSimEventCallback([this](std::uint32_t type, std::uint32_t data) { add(&Lists::events, {type, data}); });
    }

private:
    struct Lists {
        std::vector<FlightData> flights;
        std::vector<SystemsData> systems;
        std::vector<EquipmentData> equipment;
        std::vector<AlertData> alerts;
        std::vector<LandingData> landings;
        std::vector<std::string> titles;
        Events events;
    };
    template <typename T>
    void add(std::vector<T> Lists::*list, const T& item) {
        std::lock_guard lock(mutex_);
        (lists_.*list).push_back(item);
    }
    template <typename T>
    std::vector<T> get(std::vector<T> Lists::*list) const {
        std::lock_guard lock(mutex_);
        return lists_.*list;
    }

    mutable std::mutex mutex_;
    Lists lists_;
};

// A provider on a free loopback port with a manual clock, plus a socket that
// plays the plugin.
class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override {
        output.attachTo(provider);
        ASSERT_EQ(plugin.open(0, std::chrono::milliseconds(100)), platform::UdpSocket::OpenResult::OK);
        // The port may be taken between finding and binding it: try a few.
        for (int attempt = 0; attempt < 5 && !provider.isAwaitingTelemetry(); ++attempt) {
            port = freeUdpPort();
            provider.setTelemetryPort(port);
            provider.connect();
        }
        ASSERT_TRUE(provider.isAwaitingTelemetry()) << provider.getLastError();
    }

    // Sends one datagram and waits until the provider has accepted it.
    void send(const std::string& text) {
        const auto before = provider.acceptedDatagramCount();
        ASSERT_EQ(plugin.sendTo(port, text), platform::UdpSocket::SendResult::SENT);
        ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() > before; })) << text;
    }

    // Sends a datagram the provider must drop, then a marker it accepts; when
    // the marker is in, the dropped one has been dealt with (loopback keeps order).
    void sendDropped(const std::string& text) {
        const auto before = provider.acceptedDatagramCount();
        ASSERT_EQ(plugin.sendTo(port, text), platform::UdpSocket::SendResult::SENT);
        ASSERT_EQ(plugin.sendTo(port, "{\"ts_ms\":1}"), platform::UdpSocket::SendResult::SENT);
        ASSERT_TRUE(waitFor([&] { return provider.acceptedDatagramCount() > before; }));
        EXPECT_EQ(provider.acceptedDatagramCount(), before + 1) << "accepted: " << text;
    }

    // Sends and processes one sample.
    void feed(const std::string& text) {
        send(text);
        provider.processMessages();
    }

    ManualClock clock;
    XPlanePluginProvider provider{clock};
    RecordedOutput output;
    platform::UdpSocket plugin;
    std::uint16_t port = 0;
};

}  // namespace navorel::test
