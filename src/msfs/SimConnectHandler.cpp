#include "msfs/SimConnectHandler.h"

#include <cstdio>
#include <utility>

#include "core/Text.h"
#include "simconnect/NetworkConnector.h"

namespace navorel {

namespace {

namespace wire = simconnect::wire;
using simconnect::Result;

constexpr std::string_view kComponent = "SimConnect";
constexpr const char* kClientName = "Navorel Bridge";
constexpr const char* kDefinitionsFailed = "Failed to configure SimConnect data definitions";

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

const char* failureExplanation(std::uint32_t hr) {
    switch (hr) {
        case 0x80004005: return " (Flight Simulator is still starting - SimConnect not ready yet)";
        case 0x80040112: return " (SimConnect service not running)";
        case 0x80040154: return " (SimConnect not installed)";
        case 0x80070005: return " (Access denied - check permissions)";
        case 0x800706BA: return " (Flight Simulator not running)";
        default: return " (Check if Flight Simulator is running)";
    }
}

const char* exceptionSuffix(std::uint32_t code) {
    switch (code) {
        case 2:
        case 19: return " (Data structure mismatch)";
        case 3:
        case 29: return " (Request ID issue)";
        case 7: return " (Unknown variable name)";
        default: return "";
    }
}

}  // namespace

SimConnectHandler::SimConnectHandler(std::unique_ptr<simconnect::Connector> connector, Logger& logger)
    : connector_(connector ? std::move(connector) : std::make_unique<simconnect::NetworkConnector>()),
      logger_(logger) {}

SimConnectHandler::~SimConnectHandler() { disconnect(); }

void SimConnectHandler::log(LogLevel level, const std::string& text) const {
    if (logger_.wouldLog(level)) logger_.log(level, kComponent, text);
}

std::string SimConnectHandler::connectionFailureText(std::uint32_t hr) {
    return "Failed to connect to Flight Simulator. Error: 0x" + hex(hr) + failureExplanation(hr);
}

std::unique_ptr<simconnect::Connection> SimConnectHandler::takeConnection() {
    std::lock_guard lock(mutex_);
    usable_.store(false);
    return std::move(connection_);
}

// ---- connection ---------------------------------------------------------------

bool SimConnectHandler::connect() {
    if (usable_.load()) return true;
    // A connection that a quit message or a failure left behind is closed
    // before a new one opens.
    if (auto stale = takeConnection()) stale->close();
    {
        std::lock_guard lock(mutex_);
        info_ = SimulatorInfo{};
    }

    std::unique_ptr<simconnect::Connection> connection;
    std::function<void()> wake = inputArrivedCallback_;
    const Result hr = connector_->open(connection, kClientName, std::move(wake), 0);
    if (hr != simconnect::result::OK || !connection) {
        const std::string error = connectionFailureText(hr);
        {
            std::lock_guard lock(mutex_);
            lastError_ = error;
        }
        if (hr == simconnect::result::FAIL) {
            log(LogLevel::INFO, error + " - will retry automatically");
        } else {
            log(LogLevel::ERROR, error);
        }
        return false;
    }
    log(LogLevel::INFO, "Successfully connected to Flight Simulator");
    {
        std::lock_guard lock(mutex_);
        lastError_.clear();
    }

    if (!configure(*connection)) {
        {
            std::lock_guard lock(mutex_);
            lastError_ = kDefinitionsFailed;
        }
        log(LogLevel::ERROR, kDefinitionsFailed);
        connection->close();
        return false;
    }
    for (const auto& [id, name] : {std::pair{msfs::EVENT_PAUSE, "Pause"}, std::pair{msfs::EVENT_CRASHED, "Crashed"},
                                   std::pair{msfs::EVENT_SIM_STOP, "SimStop"}}) {
        connection->subscribeToSystemEvent(id, name);
    }
    if (const Result mapped = connection->mapClientEventToSimEvent(msfs::kPauseSetEvent, "PAUSE_SET");
        mapped != simconnect::result::OK) {
        log(LogLevel::WARN, "Failed to map PAUSE_SET control event (hr=0x" + hex(mapped) +
                                ") - pause control commands will be unavailable");
    }
    std::lock_guard lock(mutex_);
    connection_ = std::move(connection);
    usable_.store(true);
    return true;
}

// Definitions, their first requests and the facility definition, in this
// order; the first failure ends the configuration.
bool SimConnectHandler::configure(simconnect::Connection& connection) {
    const auto define = [&](msfs::DataId id) {
        for (const msfs::Datum& datum : msfs::definition(id)) {
            if (connection.addToDataDefinition(id, datum.name, datum.units, datum.type, 0.0F,
                                               simconnect::UNUSED_DATUM_ID) != simconnect::result::OK) {
                return false;
            }
        }
        return true;
    };
    const auto request = [&](const msfs::Schedule& s) {
        return connection.requestDataOnSimObject(s.id, s.id, simconnect::USER_OBJECT, s.period,
                                                 s.onChangeOnly ? simconnect::DATA_REQUEST_FLAG_CHANGED : 0, 0,
                                                 s.interval, 0) == simconnect::result::OK;
    };
    const auto schedule = msfs::connectSchedule();  // flight, landing, alert, environment
    if (!define(msfs::FLIGHT) || !request(schedule[0]) || !define(msfs::LANDING) || !request(schedule[1])) {
        return false;
    }
    for (msfs::DataId id : {msfs::SYSTEMS, msfs::EQUIPMENT, msfs::AIRCRAFT, msfs::ALERT, msfs::ENVIRONMENT}) {
        if (!define(id)) return false;
    }
    if (!request(schedule[2]) || !request(schedule[3])) return false;
    for (const char* field : msfs::airportFacilityDefinition()) {
        if (connection.addToFacilityDefinition(msfs::AIRPORT_FACILITY, field) != simconnect::result::OK) return false;
    }
    return true;
}

void SimConnectHandler::disconnect() {
    const bool wasUsable = usable_.load();
    // A connection that a quit message left is closed too, but quietly.
    if (auto connection = takeConnection()) connection->close();
    if (wasUsable) log(LogLevel::INFO, "Disconnected from Flight Simulator");
}

// ---- data modes -----------------------------------------------------------------

void SimConnectHandler::applySchedule(std::span<const msfs::Schedule> schedule, const char* logText) {
    {
        std::lock_guard lock(mutex_);
        if (!usable_.load() || !connection_) return;
        for (const msfs::Schedule& s : schedule) {
            connection_->requestDataOnSimObject(s.id, s.id, simconnect::USER_OBJECT, s.period,
                                                s.onChangeOnly ? simconnect::DATA_REQUEST_FLAG_CHANGED : 0, 0,
                                                s.interval, 0);
        }
    }
    log(LogLevel::INFO, logText);
}

void SimConnectHandler::setPreflightMode() {
    applySchedule(msfs::preflightSchedule(), "Switched to preflight data mode (periodic requests)");
}

void SimConnectHandler::setActiveMode() {
    applySchedule(msfs::activeSchedule(), "Switched to active data mode (on-change requests)");
}

void SimConnectHandler::requestDataSnapshot() {
    applySchedule(msfs::snapshotSchedule(), "Requested current data snapshot");
}

std::string SimConnectHandler::getSimulatorVariant() const {
    std::lock_guard lock(mutex_);
    if (!info_.valid) return "unknown";
    const std::string name = asciiLower(info_.name);
    if (name.find("2024") != std::string::npos) return "2024";
    if (name.find("2020") != std::string::npos) return "2020";
    return "unknown";
}

// ---- commands from the server thread ----------------------------------------------

bool SimConnectHandler::requestRunwayData(const std::string& icao, std::uint32_t requestId) {
    Result hr = simconnect::result::OK;
    {
        std::lock_guard lock(mutex_);
        if (!usable_.load() || !connection_) return false;
        hr = connection_->requestFacilityData(msfs::AIRPORT_FACILITY, requestId, icao.c_str(), "");
    }
    if (hr == simconnect::result::OK) return true;
    log(LogLevel::ERROR, "SimConnect_RequestFacilityData failed for " + icao + " (hr=0x" + hex(hr) + ")");
    return false;
}

bool SimConnectHandler::setPaused(bool paused) {
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (!usable_.load() || !connection_) {
            lastError_ = "Cannot set pause: SimConnect is not connected";
            return false;
        }
        const Result hr = connection_->transmitClientEvent(simconnect::USER_OBJECT, msfs::kPauseSetEvent,
                                                           paused ? 1 : 0, simconnect::GROUP_PRIORITY_HIGHEST,
                                                           simconnect::EVENT_FLAG_GROUPID_IS_PRIORITY);
        if (hr == simconnect::result::OK) return true;
        lastError_ = error = std::string("Failed to send PAUSE_SET event (value=") + (paused ? "1" : "0") +
                             ", hr=0x" + hex(hr) + ")";
    }
    log(LogLevel::ERROR, error);
    return false;
}

std::string SimConnectHandler::getLastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

// ---- receiving ----------------------------------------------------------------------

void SimConnectHandler::processMessages() {
    simconnect::Connection* connection = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!usable_.load()) return;
        // Replaced or closed only on this thread, so it stays valid below.
        connection = connection_.get();
    }
    if (connection == nullptr) return;
    const Result hr = connection->callDispatch(
        [this](const std::byte* message, std::uint32_t size) { dispatch(wire::Bytes(message, size)); });
    if (hr != simconnect::result::OK && usable_.exchange(false)) {
        // The library closed the connection (the simulator went away or sent
        // something it could not frame): report the loss so that it is reopened.
        const std::string error = "SimConnect connection lost (hr=0x" + hex(hr) + ")";
        {
            std::lock_guard lock(mutex_);
            lastError_ = error;
        }
        log(LogLevel::WARN, error);
    }
}

void SimConnectHandler::dispatch(wire::Bytes message) {
    const auto header = wire::decodeMessageHeader(message);
    if (!header) return;
    switch (static_cast<wire::MessageId>(header->id)) {
        case wire::MessageId::EXCEPTION: onException(message); return;
        case wire::MessageId::OPEN: onOpen(message); return;
        case wire::MessageId::QUIT:
            log(LogLevel::WARN, "SimConnect quit message received");
            usable_.store(false);
            return;
        case wire::MessageId::EVENT:
            if (const auto event = wire::decodeEvent(message)) invoke(simEventCallback_, event->eventId, event->data);
            return;
        case wire::MessageId::SIM_OBJECT_DATA: onSimObjectData(message); return;
        case wire::MessageId::FACILITY_DATA: onFacilityData(message); return;
        case wire::MessageId::FACILITY_DATA_END:
            if (const auto end = wire::decodeFacilityDataEnd(message)) invoke(facilityDataEndCallback_, end->requestId);
            return;
    }
}

void SimConnectHandler::onException(wire::Bytes message) {
    const auto exception = wire::decodeException(message);
    if (!exception || exception->exception == 0) return;
    log(LogLevel::ERROR, "SimConnect Exception " + std::to_string(exception->exception) +
                             exceptionSuffix(exception->exception));
}

void SimConnectHandler::onOpen(wire::Bytes message) {
    const auto open = wire::decodeOpenMessage(message);
    if (!open) return;
    SimulatorInfo info;
    info.valid = true;
    info.name = validUtf8(open->applicationName);
    info.version = {open->applicationVersionMajor, open->applicationVersionMinor, open->applicationBuildMajor,
                    open->applicationBuildMinor};
    {
        std::lock_guard lock(mutex_);
        info_ = info;
    }
    log(LogLevel::INFO, "Connected simulator: " + info.name + " version " + std::to_string(info.version[0]) + "." +
                            std::to_string(info.version[1]) + "." + std::to_string(info.version[2]) + "." +
                            std::to_string(info.version[3]));
}

void SimConnectHandler::onSimObjectData(wire::Bytes message) {
    const auto data = wire::decodeSimObjectData(message);
    if (!data) return;
    // A block shorter than its record is dropped.
    const auto deliver = [](const auto& record, const auto& callback) {
        if (record) invoke(callback, *record);
    };
    switch (data->requestId) {
        case msfs::FLIGHT:
            if (const auto flight = msfs::readFlightData(data->data); flight && msfs::isPlausible(*flight)) {
                invoke(flightDataCallback_, *flight);
            }
            return;
        case msfs::SYSTEMS: deliver(msfs::readSystemsData(data->data), systemsDataCallback_); return;
        case msfs::EQUIPMENT: deliver(msfs::readEquipmentData(data->data), equipmentDataCallback_); return;
        case msfs::AIRCRAFT: deliver(msfs::readAircraftInfo(data->data), aircraftInfoCallback_); return;
        case msfs::LANDING: deliver(msfs::readLandingData(data->data), landingDataCallback_); return;
        case msfs::ALERT: deliver(msfs::readAlertData(data->data), alertDataCallback_); return;
        case msfs::ENVIRONMENT: deliver(msfs::readEnvironmentData(data->data), environmentDataCallback_); return;
        default: return;
    }
}

void SimConnectHandler::onFacilityData(wire::Bytes message) {
    const auto facility = wire::decodeFacilityData(message);
    if (!facility) return;
    switch (static_cast<wire::FacilityDataType>(facility->type)) {
        case wire::FacilityDataType::AIRPORT:
            if (const auto airport = msfs::readAirport(facility->data)) {
                invoke(airportFacilityCallback_, facility->userRequestId, *airport);
            }
            return;
        case wire::FacilityDataType::RUNWAY:
            if (const auto runway = msfs::readRunway(facility->data)) {
                invoke(runwayFacilityCallback_, facility->userRequestId, facility->uniqueRequestId, *runway);
            }
            return;
        case wire::FacilityDataType::PAVEMENT:
            // A threshold belongs to the runway whose unique id is its parent's.
            if (const auto pavement = msfs::readPavement(facility->data)) {
                invoke(pavementFacilityCallback_, facility->userRequestId, facility->parentUniqueRequestId,
                       *pavement);
            }
            return;
    }
}

}  // namespace navorel
