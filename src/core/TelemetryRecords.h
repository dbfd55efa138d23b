#pragma once

#include <cstdint>

// Plain records that both simulator providers hand to the bridge. They are
// ordinary aligned structs: a provider that receives a record as a packed
// block copies each field out of it, so no field is ever read at an address
// its type does not allow. Booleans are doubles: above 0.5 is true.

namespace navorel {

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


// Simulator event types delivered through the event callback.
enum SimEventType : std::uint32_t {
    SIM_EVENT_PAUSE = 0,
    SIM_EVENT_CRASHED = 1,
    SIM_EVENT_SIM_STOP = 2,
};

}  // namespace navorel
