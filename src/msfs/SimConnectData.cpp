#include "msfs/SimConnectData.h"

#include <array>
#include <cmath>
#include <cstring>

namespace navorel::msfs {

namespace {

using simconnect::wire::Bytes;

constexpr DataType F64 = DataType::FLOAT64;
constexpr DataType I32 = DataType::INT32;

constexpr std::array<Datum, 14> kFlight{{
    {"PLANE LATITUDE", "degrees", F64},
    {"PLANE LONGITUDE", "degrees", F64},
    {"PLANE ALTITUDE", "feet", F64},
    {"INDICATED ALTITUDE", "feet", F64},
    {"PLANE ALT ABOVE GROUND", "feet", F64},
    {"PLANE HEADING DEGREES MAGNETIC", "degrees", F64},
    {"AIRSPEED INDICATED", "knots", F64},
    {"VERTICAL SPEED", "feet per minute", F64},
    {"PLANE PITCH DEGREES", "degrees", F64},
    {"PLANE BANK DEGREES", "degrees", F64},
    {"GPS GROUND SPEED", "knots", F64},
    {"FUEL TOTAL QUANTITY", "gallons", F64},
    {"FUEL TOTAL QUANTITY WEIGHT", "pounds", F64},
    {"PRESSURE ALTITUDE", "feet", F64},
}};

constexpr std::array<Datum, 14> kSystems{{
    {"AUTOPILOT MASTER", "bool", F64},
    {"FLAPS HANDLE INDEX", "number", F64},
    {"L:LandFlapsPos", "number", F64},
    {"GEAR POSITION", "bool", I32},
    {"GEAR TOTAL PCT EXTENDED", "percent", F64},
    {"SIM ON GROUND", "bool", F64},
    {"ON ANY RUNWAY", "bool", F64},
    {"SIMULATION RATE", "number", F64},
    {"SPOILERS HANDLE POSITION", "percent", F64},
    {"APU GENERATOR ACTIVE", "bool", F64},
    {"ENG COMBUSTION:1", "bool", F64},
    {"ENG COMBUSTION:2", "bool", F64},
    {"ENG COMBUSTION:3", "bool", F64},
    {"ENG COMBUSTION:4", "bool", F64},
}};

// Entries 7 to 10 are local variables of particular add-on aircraft; the
// simulator returns 0 for an aircraft without them.
constexpr std::array<Datum, 11> kEquipment{{
    {"LIGHT BEACON", "bool", F64},
    {"LIGHT NAV", "bool", F64},
    {"LIGHT LANDING", "bool", F64},
    {"LIGHT TAXI", "bool", F64},
    {"LIGHT STROBE", "bool", F64},
    {"BRAKE PARKING INDICATOR", "bool", F64},
    {"L:VC_PED_PARK_BRAKE_Switch", "percent", F64},
    {"L:A32NX_PARK_BRAKE_LEVER_POS", "bool", F64},
    {"L:S_MIP_PARKING_BRAKE", "bool", F64},
    {"L:ParkingBrakePosition", "number", F64},
    {"CANOPY OPEN:0", "bool", F64},
}};

constexpr std::array<Datum, 1> kAircraft{{{"TITLE", nullptr, DataType::STRING256}}};

constexpr std::array<Datum, 6> kLanding{{
    {"PLANE TOUCHDOWN BANK DEGREES", "degrees", F64},
    {"PLANE TOUCHDOWN HEADING DEGREES MAGNETIC", "degrees", F64},
    {"PLANE TOUCHDOWN LATITUDE", "degrees", F64},
    {"PLANE TOUCHDOWN LONGITUDE", "degrees", F64},
    {"PLANE TOUCHDOWN PITCH DEGREES", "degrees", F64},
    {"PLANE TOUCHDOWN NORMAL VELOCITY", "feet per minute", F64},
}};

constexpr std::array<Datum, 3> kAlert{{
    {"OVERSPEED WARNING", "bool", F64},
    {"STALL WARNING", "bool", F64},
    {"IS SLEW ACTIVE", "bool", F64},
}};

constexpr std::array<Datum, 7> kEnvironment{{
    {"SURFACE CONDITION", nullptr, I32},
    {"AMBIENT PRECIP STATE", nullptr, I32},
    {"SEA LEVEL PRESSURE", "inHg", F64},
    {"AMBIENT TEMPERATURE", "celsius", F64},
    {"AMBIENT VISIBILITY", "miles", F64},
    {"AMBIENT WIND DIRECTION", "degrees", F64},
    {"AMBIENT WIND VELOCITY", "knots", F64},
}};

constexpr std::array<const char*, 33> kAirportFacility{
    "OPEN AIRPORT",
    "LATITUDE", "LONGITUDE", "ALTITUDE", "MAGVAR", "NAME64", "ICAO", "REGION", "N_RUNWAYS",
    "OPEN RUNWAY",
    "LATITUDE", "LONGITUDE", "ALTITUDE", "HEADING", "LENGTH", "WIDTH", "SURFACE", "PRIMARY_NUMBER",
    "PRIMARY_DESIGNATOR", "SECONDARY_NUMBER", "SECONDARY_DESIGNATOR",
    "OPEN PRIMARY_THRESHOLD", "LENGTH", "WIDTH", "ENABLE", "CLOSE PRIMARY_THRESHOLD",
    "OPEN SECONDARY_THRESHOLD", "LENGTH", "WIDTH", "ENABLE", "CLOSE SECONDARY_THRESHOLD",
    "CLOSE RUNWAY",
    "CLOSE AIRPORT",
};

constexpr std::array<Schedule, 4> kConnect{{
    {FLIGHT, Period::SECOND, true, 0},
    {LANDING, Period::SECOND, true, 0},
    {ALERT, Period::SECOND, true, 0},
    {ENVIRONMENT, Period::SECOND, false, 60},
}};
constexpr std::array<Schedule, 4> kPreflight{{
    {FLIGHT, Period::SECOND, false, 0},
    {SYSTEMS, Period::SECOND, false, 0},
    {EQUIPMENT, Period::SECOND, false, 0},
    {AIRCRAFT, Period::SECOND, false, 0},
}};
constexpr std::array<Schedule, 5> kActive{{
    {FLIGHT, Period::SECOND, true, 0},
    {SYSTEMS, Period::SECOND, true, 0},
    {EQUIPMENT, Period::SECOND, true, 0},
    {AIRCRAFT, Period::SECOND, true, 0},
    {ENVIRONMENT, Period::SECOND, false, 60},
}};
constexpr std::array<Schedule, 4> kSnapshot{{
    {SYSTEMS, Period::ONCE, false, 0},
    {EQUIPMENT, Period::ONCE, false, 0},
    {AIRCRAFT, Period::ONCE, false, 0},
    {ENVIRONMENT, Period::ONCE, false, 0},
}};

// Reads packed little-endian fields in order; fails once the block is too short.
class BlockReader {
public:
    explicit BlockReader(Bytes block) : block_(block) {}

    double f64() { return take(8) ? simconnect::wire::readF64(at_) : 0.0; }
    float f32() { return take(4) ? simconnect::wire::readF32(at_) : 0.0F; }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::uint32_t u32() { return take(4) ? simconnect::wire::readU32(at_) : 0; }
    template <std::size_t N>
    void text(char (&field)[N]) {
        if (take(N)) std::memcpy(field, at_, N);
    }
    bool ok() const { return ok_; }

private:
    bool take(std::size_t size) {
        ok_ = ok_ && block_.size() - offset_ >= size;
        if (!ok_) return false;
        at_ = block_.data() + offset_;
        offset_ += size;
        return true;
    }

    Bytes block_;
    std::size_t offset_ = 0;
    const std::byte* at_ = nullptr;
    bool ok_ = true;
};

template <typename Record>
std::optional<Record> finish(const BlockReader& reader, const Record& record) {
    if (!reader.ok()) return std::nullopt;
    return record;
}

bool within(double value, double low, double high) { return value >= low && value <= high; }

}  // namespace

std::span<const Datum> definition(DataId id) {
    switch (id) {
        case FLIGHT: return kFlight;
        case SYSTEMS: return kSystems;
        case EQUIPMENT: return kEquipment;
        case AIRCRAFT: return kAircraft;
        case LANDING: return kLanding;
        case ALERT: return kAlert;
        case ENVIRONMENT: return kEnvironment;
        case AIRPORT_FACILITY: break;
    }
    return {};
}

std::span<const char* const> airportFacilityDefinition() { return kAirportFacility; }
std::span<const Schedule> connectSchedule() { return kConnect; }
std::span<const Schedule> preflightSchedule() { return kPreflight; }
std::span<const Schedule> activeSchedule() { return kActive; }
std::span<const Schedule> snapshotSchedule() { return kSnapshot; }

std::optional<FlightData> readFlightData(Bytes block) {
    BlockReader r(block);
    FlightData d{};
    for (double* field : {&d.latitude, &d.longitude, &d.altitude, &d.altitudeIndicated, &d.altitudeAgl, &d.heading,
                          &d.airspeedIndicated, &d.verticalSpeed, &d.pitch, &d.bank, &d.groundSpeedGps,
                          &d.fuelVolume, &d.fuelWeight, &d.pressureAltitude}) {
        *field = r.f64();
    }
    return finish(r, d);
}

std::optional<SystemsData> readSystemsData(Bytes block) {
    BlockReader r(block);
    SystemsData d{};
    d.autopilotMaster = r.f64();
    d.flapsHandleIndex = r.f64();
    d.landFlapsPosition = r.f64();
    d.gearPosition = r.i32();
    for (double* field : {&d.gearTotalPctExtended, &d.simOnGround, &d.onAnyRunway, &d.simulationRate,
                          &d.spoilersHandlePosition, &d.apuGeneratorActive, &d.engine1Running, &d.engine2Running,
                          &d.engine3Running, &d.engine4Running}) {
        *field = r.f64();
    }
    return finish(r, d);
}

std::optional<EquipmentData> readEquipmentData(Bytes block) {
    BlockReader r(block);
    EquipmentData d{};
    for (double* field : {&d.lightBeacon, &d.lightNav, &d.lightLanding, &d.lightTaxi, &d.lightStrobe,
                          &d.parkingBrake, &d.parkingBrakeSwitchPercent, &d.parkingBrakeLeverPosition,
                          &d.parkingBrakeMipSwitch, &d.parkingBrakePosition, &d.doorMain}) {
        *field = r.f64();
    }
    return finish(r, d);
}

std::optional<AircraftInfo> readAircraftInfo(Bytes block) {
    BlockReader r(block);
    AircraftInfo d{};
    r.text(d.title);
    // A title that fills its field has no terminator of its own.
    d.title[sizeof d.title - 1] = '\0';
    return finish(r, d);
}

std::optional<LandingData> readLandingData(Bytes block) {
    BlockReader r(block);
    LandingData d{};
    for (double* field : {&d.touchdownBankDegrees, &d.touchdownHeadingDegreesMagnetic, &d.touchdownLatitudeDegrees,
                          &d.touchdownLongitudeDegrees, &d.touchdownPitchDegrees, &d.touchdownRate}) {
        *field = r.f64();
    }
    return finish(r, d);
}

std::optional<AlertData> readAlertData(Bytes block) {
    BlockReader r(block);
    AlertData d{};
    d.overspeedWarning = r.f64();
    d.stallWarning = r.f64();
    d.isSlewActive = r.f64();
    return finish(r, d);
}

std::optional<EnvironmentData> readEnvironmentData(Bytes block) {
    BlockReader r(block);
    EnvironmentData d{};
    d.surfaceCondition = r.u32();
    d.ambientPrecipState = r.u32();
    for (double* field : {&d.seaLevelPressure, &d.ambientTemperature, &d.ambientVisibility, &d.ambientWindDirection,
                          &d.ambientWindVelocity}) {
        *field = r.f64();
    }
    return finish(r, d);
}

std::optional<FacilityAirportData> readAirport(Bytes block) {
    BlockReader r(block);
    FacilityAirportData d{};
    d.latitude = r.f64();
    d.longitude = r.f64();
    d.altitudeMeters = r.f64();
    d.magneticVariation = r.f32();
    r.text(d.name);
    r.text(d.icao);
    r.text(d.region);
    d.runwayCount = r.i32();
    return finish(r, d);
}

std::optional<FacilityRunwayData> readRunway(Bytes block) {
    BlockReader r(block);
    FacilityRunwayData d{};
    d.latitude = r.f64();
    d.longitude = r.f64();
    d.altitudeMeters = r.f64();
    d.headingDegrees = r.f32();
    d.lengthMeters = r.f32();
    d.widthMeters = r.f32();
    for (std::int32_t* field : {&d.surfaceCode, &d.primaryNumber, &d.primaryDesignatorCode, &d.secondaryNumber,
                                &d.secondaryDesignatorCode}) {
        *field = r.i32();
    }
    return finish(r, d);
}

std::optional<FacilityPavementData> readPavement(Bytes block) {
    BlockReader r(block);
    FacilityPavementData d{};
    d.lengthMeters = r.f32();
    d.widthMeters = r.f32();
    d.enabled = r.i32();
    return finish(r, d);
}

bool isPlausible(const FlightData& d) {
    // NaN fails every comparison, so it fails every range.
    return within(d.latitude, -90, 90) && within(d.longitude, -180, 180) && within(d.altitude, -2000, 100000) &&
           within(d.altitudeIndicated, -2000, 100000) && within(d.altitudeAgl, -100, 50000) &&
           within(d.heading, 0, 360) && within(d.airspeedIndicated, 0, 5000) && !std::isnan(d.verticalSpeed) &&
           within(d.pitch, -90, 90) && within(d.bank, -180, 180) && within(d.groundSpeedGps, 0, 5000);
}

}  // namespace navorel::msfs
