#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/AirportRecord.h"
#include "core/TelemetryRecords.h"

namespace navorel {

// What the bridge runtime sees of a simulator. Both providers implement it,
// so the runtime wires and switches them with one piece of generic code and
// never looks past this interface.
//
// Data, event and facility callbacks run on the thread that calls
// processMessages(); they are installed once at start-up, before any thread
// runs. Installing a callback replaces the previous one; an empty callback is
// never called.
class SimulatorProvider {
public:
    using FlightDataCallback = std::function<void(const FlightData&)>;
    using AircraftInfoCallback = std::function<void(const AircraftInfo&)>;
    using LandingDataCallback = std::function<void(const LandingData&)>;
    using SystemsDataCallback = std::function<void(const SystemsData&)>;
    using EquipmentDataCallback = std::function<void(const EquipmentData&)>;
    using AlertDataCallback = std::function<void(const AlertData&)>;
    using EnvironmentDataCallback = std::function<void(const EnvironmentData&)>;
    using SimEventCallback = std::function<void(std::uint32_t eventType, std::uint32_t data)>;
    using AirportFacilityCallback = std::function<void(std::uint32_t requestId, const FacilityAirportData&)>;
    using RunwayFacilityCallback =
        std::function<void(std::uint32_t requestId, std::uint32_t runwayIndex, const FacilityRunwayData&)>;
    using PavementFacilityCallback =
        std::function<void(std::uint32_t requestId, std::uint32_t runwayIndex, const FacilityPavementData&)>;
    using FacilityDataEndCallback = std::function<void(std::uint32_t requestId)>;

    virtual ~SimulatorProvider() = default;

    void setFlightDataCallback(FlightDataCallback cb) { flightDataCallback_ = std::move(cb); }
    void setAircraftInfoCallback(AircraftInfoCallback cb) { aircraftInfoCallback_ = std::move(cb); }
    void setLandingDataCallback(LandingDataCallback cb) { landingDataCallback_ = std::move(cb); }
    void setSystemsDataCallback(SystemsDataCallback cb) { systemsDataCallback_ = std::move(cb); }
    void setEquipmentDataCallback(EquipmentDataCallback cb) { equipmentDataCallback_ = std::move(cb); }
    void setAlertDataCallback(AlertDataCallback cb) { alertDataCallback_ = std::move(cb); }
    void setEnvironmentDataCallback(EnvironmentDataCallback cb) { environmentDataCallback_ = std::move(cb); }
    void setSimEventCallback(SimEventCallback cb) { simEventCallback_ = std::move(cb); }
    void setAirportFacilityCallback(AirportFacilityCallback cb) { airportFacilityCallback_ = std::move(cb); }
    void setRunwayFacilityCallback(RunwayFacilityCallback cb) { runwayFacilityCallback_ = std::move(cb); }
    void setPavementFacilityCallback(PavementFacilityCallback cb) { pavementFacilityCallback_ = std::move(cb); }
    void setFacilityDataEndCallback(FacilityDataEndCallback cb) { facilityDataEndCallback_ = std::move(cb); }
    // Called on whichever thread received it when input for processMessages()
    // has arrived, so that its caller need not poll; must return at once.
    void setInputArrivedCallback(std::function<void()> cb) { inputArrivedCallback_ = std::move(cb); }

    virtual bool connect() = 0;
    virtual void disconnect() = 0;
    // Safe from any thread, and never waits for slow work of another.
    virtual bool isConnected() const = 0;
    // Handles all pending simulator input and calls the callbacks on the
    // calling thread. May throw a standard exception.
    virtual void processMessages() = 0;

    // Data modes, one per application state.
    virtual void setPreflightMode() = 0;
    virtual void requestDataSnapshot() = 0;
    virtual void setActiveMode() = 0;
    // A provider whose data flow costs nothing while unused keeps its mode.
    virtual void setIdleMode() {}

    virtual bool setPaused(bool paused) = 0;
    virtual std::string getLastError() const = 0;

    // The connection is open but nothing has arrived yet, which is not a lost
    // connection.
    virtual bool isAwaitingTelemetry() const { return false; }

    // For "acars_info": the family ("MSFS", "X-Plane") and the variant
    // ("2024", "12", or "unknown").
    virtual std::string simulatorFamily() const = 0;
    virtual std::string simulatorVariant() const = 0;
    // The text used when a pause request fails without an error of its own.
    virtual std::string pauseFailureText() const = 0;

    // Runway requests. A simulator with a facility database answers
    // requestRunwayData later through the facility callbacks; a provider that
    // reads scenery files instead is asked through loadAirport (blocking, on
    // a worker thread) and keeps what was found through cacheAirport.
    virtual bool looksUpRunwaysLocally() const { return false; }
    virtual bool requestRunwayData(const std::string& icao, std::uint32_t requestId);
    virtual bool loadAirport(const std::string& icao, XPlaneAirportRecord& result, std::string& error);
    virtual void cacheAirport(const XPlaneAirportRecord&) {}

protected:
    // Helpers for implementations: call a callback only when installed.
    template <typename Callback, typename... Args>
    static void invoke(const Callback& callback, Args&&... args) {
        if (callback) callback(std::forward<Args>(args)...);
    }

    FlightDataCallback flightDataCallback_;
    AircraftInfoCallback aircraftInfoCallback_;
    LandingDataCallback landingDataCallback_;
    SystemsDataCallback systemsDataCallback_;
    EquipmentDataCallback equipmentDataCallback_;
    AlertDataCallback alertDataCallback_;
    EnvironmentDataCallback environmentDataCallback_;
    SimEventCallback simEventCallback_;
    AirportFacilityCallback airportFacilityCallback_;
    RunwayFacilityCallback runwayFacilityCallback_;
    PavementFacilityCallback pavementFacilityCallback_;
    FacilityDataEndCallback facilityDataEndCallback_;
    std::function<void()> inputArrivedCallback_;
};

inline bool SimulatorProvider::requestRunwayData(const std::string&, std::uint32_t) { return false; }

inline bool SimulatorProvider::loadAirport(const std::string&, XPlaneAirportRecord&, std::string& error) {
    error = "This simulator has no local airport database";
    return false;
}

}  // namespace navorel
