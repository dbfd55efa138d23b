#pragma once

#include <cstddef>
#include <cstdint>

// Plain records that both simulator providers hand to the bridge. They are
// byte-packed in the listed order because the SimConnect path fills a record
// as one block straight from the wire. Booleans are doubles: above 0.5 is true.

namespace navorel {

#pragma pack(push, 1)

struct FlightData {
    double latitude;
    double longitude;
    double altitude;
    double altitudeIndicated;
    double altitudeAgl;
    double heading;
    double airspeedIndicated;
    double verticalSpeed;
    double pitch;
    double bank;
    double groundSpeedGps;
    double fuelVolume;
    double fuelWeight;
    double pressureAltitude;
};

struct AircraftInfo {
    char title[256];
};

struct LandingData {
    double touchdownBankDegrees;
    double touchdownHeadingDegreesMagnetic;
    double touchdownLatitudeDegrees;
    double touchdownLongitudeDegrees;
    double touchdownPitchDegrees;
    double touchdownRate;
};

struct SystemsData {
    double autopilotMaster;
    double flapsHandleIndex;
    double landFlapsPosition;
    std::int32_t gearPosition;
    double gearTotalPctExtended;
    double simOnGround;
    double onAnyRunway;
    double simulationRate;
    double spoilersHandlePosition;
    double apuGeneratorActive;
    double engine1Running;
    double engine2Running;
    double engine3Running;
    double engine4Running;
};

struct EquipmentData {
    double lightBeacon;
    double lightNav;
    double lightLanding;
    double lightTaxi;
    double lightStrobe;
    double parkingBrake;
    double parkingBrakeSwitchPercent;
    double parkingBrakeLeverPosition;
    double parkingBrakeMipSwitch;
    double parkingBrakePosition;
    double doorMain;
};

struct AlertData {
    double overspeedWarning;
    double stallWarning;
    double isSlewActive;
};

struct EnvironmentData {
    std::uint32_t surfaceCondition;
    std::uint32_t ambientPrecipState;
    double seaLevelPressure;
    double ambientTemperature;
    double ambientVisibility;
    double ambientWindDirection;
    double ambientWindVelocity;
};

struct FacilityAirportData {
    double latitude;
    double longitude;
    double altitudeMeters;
    float magneticVariation;
    char name[64];
    char icao[8];
    char region[8];
    std::int32_t runwayCount;
};

struct FacilityRunwayData {
    double latitude;
    double longitude;
    double altitudeMeters;
    float headingDegrees;
    float lengthMeters;
    float widthMeters;
    std::int32_t surfaceCode;
    std::int32_t primaryNumber;
    std::int32_t primaryDesignatorCode;
    std::int32_t secondaryNumber;
    std::int32_t secondaryDesignatorCode;
};

struct FacilityPavementData {
    float lengthMeters;
    float widthMeters;
    std::int32_t enabled;
};

#pragma pack(pop)

static_assert(sizeof(FlightData) == 14 * 8);
static_assert(sizeof(AircraftInfo) == 256);
static_assert(sizeof(LandingData) == 6 * 8);
static_assert(sizeof(SystemsData) == 108);
static_assert(offsetof(SystemsData, gearPosition) == 24);
static_assert(offsetof(SystemsData, simOnGround) == 36);
static_assert(offsetof(SystemsData, onAnyRunway) == 44);
static_assert(offsetof(SystemsData, spoilersHandlePosition) == 60);
static_assert(sizeof(EquipmentData) == 11 * 8);
static_assert(sizeof(AlertData) == 3 * 8);
static_assert(sizeof(EnvironmentData) == 48);
static_assert(offsetof(EnvironmentData, seaLevelPressure) == 8);
static_assert(sizeof(FacilityAirportData) == 112);
static_assert(offsetof(FacilityAirportData, name) == 28);
static_assert(offsetof(FacilityAirportData, runwayCount) == 108);
static_assert(sizeof(FacilityRunwayData) == 56);
static_assert(offsetof(FacilityRunwayData, surfaceCode) == 36);
static_assert(sizeof(FacilityPavementData) == 12);

// Simulator event types delivered through the event callback.
enum SimEventType : std::uint32_t {
    SIM_EVENT_PAUSE = 0,
    SIM_EVENT_CRASHED = 1,
    SIM_EVENT_SIM_STOP = 2,
};

}  // namespace navorel
