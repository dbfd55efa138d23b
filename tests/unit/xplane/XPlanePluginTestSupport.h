#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "platform/UdpSocket.h"
#include "support/Eventually.h"
#include "support/ManualClock.h"
#include "unit/xplane/AirportDatabaseTestSupport.h"
#include "xplane/XPlanePluginProvider.h"

namespace navorel::test {

using namespace std::chrono_literals;
using Event = std::pair<std::uint32_t, std::uint32_t>;  // type, data
using Events = std::vector<Event>;

// Everything the provider handed to its receivers, in delivery order;
// callable from any thread. Aircraft titles are kept as text.
class RecordedOutput {
public:
    using Item = std::variant<Event, LandingData, FlightData, SystemsData, EquipmentData, std::string, AlertData>;

    template <typename T>
    std::vector<T> all() const {
        std::lock_guard lock(mutex_);
        std::vector<T> result;
        for (const Item& item : items_) {
            if (const T* found = std::get_if<T>(&item)) result.push_back(*found);
        }
        return result;
    }
    // The kind of each item, as its index in Item: "0" for an event, ...
    std::string kinds() const {
        std::lock_guard lock(mutex_);
        std::string result;
        for (const Item& item : items_) result += static_cast<char>('0' + item.index());
        return result;
    }

    void attachTo(XPlanePluginProvider& p) {
        p.setFlightDataCallback([this](const FlightData& d) { add(d); });
        p.setSystemsDataCallback([this](const SystemsData& d) { add(d); });
        p.setEquipmentDataCallback([this](const EquipmentData& d) { add(d); });
        p.setAlertDataCallback([this](const AlertData& d) { add(d); });
        p.setLandingDataCallback([this](const LandingData& d) { add(d); });
        p.setAircraftInfoCallback([this](const AircraftInfo& d) { add(std::string(d.title)); });
        p.setSimEventCallback([this](std::uint32_t type, std::uint32_t data) { add(Event{type, data}); });
    }

private:
    void add(Item item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }

    mutable std::mutex mutex_;
    std::vector<Item> items_;
};

// A provider on a free loopback port with a manual clock, plus a socket that
// plays the plugin.
class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override {
        output.attachTo(provider);
        ASSERT_EQ(plugin.open(0, 100ms), platform::UdpSocket::OpenResult::OK);
        // A port that was free a moment ago may be taken before the provider binds it: try a few.
        for (int attempt = 0; attempt < 5 && !provider.isAwaitingTelemetry(); ++attempt) {
            platform::UdpSocket probe;
            port = probe.open(0, 10ms) == platform::UdpSocket::OpenResult::OK ? probe.localPort() : 0;
            probe.close();
            provider.setTelemetryPort(port);
            provider.connect();
        }
        ASSERT_TRUE(provider.isAwaitingTelemetry()) << provider.getLastError();
    }

    // Sends datagrams and waits until the provider has accepted `accepted` of them.
    void send(const std::vector<std::string>& datagrams, std::uint64_t accepted) {
        const auto before = provider.acceptedDatagramCount();
        for (const auto& text : datagrams) ASSERT_EQ(plugin.sendTo(port, text), platform::UdpSocket::SendResult::SENT);
        ASSERT_TRUE(eventually([&] { return provider.acceptedDatagramCount() >= before + accepted; }));
        EXPECT_EQ(provider.acceptedDatagramCount(), before + accepted) << datagrams.front();
    }
    void send(const std::string& text) { send({text}, 1); }
    // The marker after it is accepted once the first is dealt with (loopback keeps order).
    void sendDropped(const std::string& text) { send({text, R"({"ts_ms":1})"}, 1); }
    // Sends and processes samples one by one.
    template <typename... Texts>
    void feed(const Texts&... samples) {
        for (const std::string& sample : {std::string(samples)...}) {
            send(sample);
            provider.processMessages();
        }
    }

    ManualClock clock;
    XPlanePluginProvider provider{clock};
    RecordedOutput output;
    platform::UdpSocket plugin;
    std::uint16_t port = 0;
};

}  // namespace navorel::test
