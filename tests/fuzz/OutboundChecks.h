#pragma once

// Provider callbacks that do what the bridge does with each record: build the
// outbound message with the protocol builders and serialise it strictly.

#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "app/TelemetryFilters.h"
#include "app/protocol/Messages.h"
#include "core/SimulatorProvider.h"

namespace navorel::fuzz {

class OutboundChecks {
public:
    // derived: the provider makes its records itself (X-Plane), so they carry
    // finite numbers and known events only; SimConnect passes on what it got.
    OutboundChecks(SimulatorProvider& p, const ManualClock& clock, bool derived) : derived_(derived) {
        p.setFlightDataCallback([this](const FlightData& d) { send(protocol::flightData, d); });
        p.setLandingDataCallback([this](const LandingData& d) { send(protocol::landingData, d); });
        p.setEquipmentDataCallback([this](const EquipmentData& d) { send(protocol::equipmentData, d); });
        p.setAlertDataCallback([this](const AlertData& d) { send(protocol::alertData, d); });
        p.setEnvironmentDataCallback([this](const EnvironmentData& d) { send(protocol::environmentData, d); });
        p.setSystemsDataCallback([this, &clock](const SystemsData& d) {
            if (const auto snapshot = systems_.accept(d, false, clock.steadyNow())) send(protocol::systemsData, *snapshot);
        });
        p.setAircraftInfoCallback([this](const AircraftInfo& d) {
            FUZZ_CHECK(std::memchr(d.title, '\0', sizeof d.title) != nullptr);  // ends within its field
            send(protocol::aircraftInfo, std::string(d.title));
        });
        p.setSimEventCallback([this](std::uint32_t type, std::uint32_t data) {
            FUZZ_CHECK(!derived_ || type <= SIM_EVENT_SIM_STOP);
            static constexpr const char* kNames[] = {"pause", "crashed", "sim_stop", "unknown"};
            send(protocol::simEvent, kNames[std::min<std::uint32_t>(type, 3)], data);
        });
    }

private:
    template <typename Build, typename... Record>
    void send(Build build, const Record&... record) {
        nlohmann::json message;
        build(message, record..., 1);
        FUZZ_CHECK(message.is_object() && message["type"].is_string() && serializesStrictly(message));
        FUZZ_CHECK(!derived_ || hasOnlyFiniteNumbers(message));
    }

    const bool derived_;
    SystemsFilter systems_;
};

}  // namespace navorel::fuzz
