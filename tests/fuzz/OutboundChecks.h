#pragma once

// Provider callbacks that do what the bridge does with each record: build the
// outbound message with the protocol builders and serialise it strictly.

#include <algorithm>
#include <cstring>
#include <optional>

#include "FuzzSupport.h"
#include "app/TelemetryFilters.h"
#include "app/protocol/Messages.h"
#include "core/SimulatorProvider.h"

namespace navorel::fuzz {

class OutboundChecks {
public:
    // derived: the provider makes its records itself (X-Plane), so they carry
    // finite numbers only and its events are the known ones; a SimConnect
    // provider passes on what the simulator sent.
    OutboundChecks(const ManualClock& clock, bool derived) : clock_(clock), derived_(derived) {}

    void attachTo(SimulatorProvider& provider) {
        provider.setFlightDataCallback([this](const FlightData& d) { send([&](Json& m) { protocol::flightData(m, d, 1); }); });
        provider.setLandingDataCallback([this](const LandingData& d) { send([&](Json& m) { protocol::landingData(m, d, 1); }); });
        provider.setEquipmentDataCallback(
            [this](const EquipmentData& d) { send([&](Json& m) { protocol::equipmentData(m, d, 1); }); });
        provider.setAlertDataCallback([this](const AlertData& d) { send([&](Json& m) { protocol::alertData(m, d, 1); }); });
        provider.setEnvironmentDataCallback(
            [this](const EnvironmentData& d) { send([&](Json& m) { protocol::environmentData(m, d, 1); }); });
        provider.setSystemsDataCallback([this](const SystemsData& d) {
            if (const auto snapshot = systems_.accept(d, false, clock_.steadyNow())) {
                send([&](Json& m) { protocol::systemsData(m, *snapshot, 1); });
            }
        });
        provider.setAircraftInfoCallback([this](const AircraftInfo& d) {
            // The title ends within its field.
            FUZZ_CHECK(std::memchr(d.title, '\0', sizeof d.title) != nullptr);
            const std::string title(d.title);
            send([&](Json& m) { protocol::aircraftInfo(m, title, 1); });
        });
        provider.setSimEventCallback([this](std::uint32_t type, std::uint32_t data) {
            if (derived_) FUZZ_CHECK(type <= SIM_EVENT_SIM_STOP);
            static constexpr const char* kNames[] = {"pause", "crashed", "sim_stop", "unknown"};
            send([&](Json& m) { protocol::simEvent(m, kNames[std::min<std::uint32_t>(type, 3)], data, 1); });
        });
    }

    std::size_t sent() const { return sent_; }

private:
    using Json = nlohmann::json;

    template <typename Build>
    void send(Build&& build) {
        Json message;
        build(message);
        FUZZ_CHECK(message.is_object() && message["type"].is_string());
        if (derived_) FUZZ_CHECK(hasOnlyFiniteNumbers(message));
        (void)serializeStrictly(message);
        ++sent_;
    }

    const ManualClock& clock_;
    const bool derived_;
    SystemsFilter systems_;
    std::size_t sent_ = 0;
};

}  // namespace navorel::fuzz
