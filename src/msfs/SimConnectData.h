#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/TelemetryRecords.h"
#include "simconnect/SimConnect.h"
#include "simconnect/WireFormat.h"

// What the bridge asks Microsoft Flight Simulator for, and how the blocks it
// sends back become the bridge's records.

namespace navorel::msfs {

using simconnect::DataType;
using simconnect::Period;

// Ids on the connection. Each data definition is requested under a request id
// equal to its definition id.
enum DataId : std::uint32_t {
    FLIGHT = 0,
    SYSTEMS = 1,
    EQUIPMENT = 2,
    AIRCRAFT = 3,
    LANDING = 4,
    ALERT = 5,
    ENVIRONMENT = 6,
    AIRPORT_FACILITY = 7,
};
enum SystemEventId : std::uint32_t { EVENT_PAUSE = 0, EVENT_CRASHED = 1, EVENT_SIM_STOP = 2 };
inline constexpr std::uint32_t kPauseSetEvent = 1000;

struct Datum {
    const char* name;
    const char* units;  // null: none
    DataType type;
};

// The simulation variables of a data definition, in block order.
std::span<const Datum> definition(DataId id);
// The keywords of the airport facility definition, in order.
std::span<const char* const> airportFacilityDefinition();

// One data request: which data, how often, and whether only on change.
struct Schedule {
    DataId id;
    Period period;
    bool onChangeOnly;
    std::uint32_t interval;
};
// The requests connect() makes after the definitions, and those of the three
// data modes, in the order they are made.
std::span<const Schedule> connectSchedule();
std::span<const Schedule> preflightSchedule();
std::span<const Schedule> activeSchedule();
std::span<const Schedule> snapshotSchedule();

// Records read field by field out of a received block, which carries them
// packed. Nullopt when the block is shorter than the record.
std::optional<FlightData> readFlightData(simconnect::wire::Bytes block);
std::optional<SystemsData> readSystemsData(simconnect::wire::Bytes block);
std::optional<EquipmentData> readEquipmentData(simconnect::wire::Bytes block);
std::optional<AircraftInfo> readAircraftInfo(simconnect::wire::Bytes block);
std::optional<LandingData> readLandingData(simconnect::wire::Bytes block);
std::optional<AlertData> readAlertData(simconnect::wire::Bytes block);
std::optional<EnvironmentData> readEnvironmentData(simconnect::wire::Bytes block);
std::optional<FacilityAirportData> readAirport(simconnect::wire::Bytes block);
std::optional<FacilityRunwayData> readRunway(simconnect::wire::Bytes block);
std::optional<FacilityPavementData> readPavement(simconnect::wire::Bytes block);

// A flight sample the bridge believes: every bound inclusive, NaN fails.
bool isPlausible(const FlightData& data);

}  // namespace navorel::msfs
