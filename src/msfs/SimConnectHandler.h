#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <span>

#include "core/SimulatorProvider.h"
#include "log/Logger.h"
#include "msfs/SimConnectData.h"
#include "simconnect/SimConnect.h"

namespace navorel {

// The Microsoft Flight Simulator provider, on the SimConnect client library.
//
// Threads: connect, disconnect, the data modes and processMessages belong to
// the main loop; requestRunwayData, setPaused, getLastError, isConnected and
// getSimulatorVariant may come from the server thread at the same time. The
// connection is opened and configured before it is published under the
// mutex, and taken out under it before it is closed, so the server thread
// never waits for an open or a close.
class SimConnectHandler : public SimulatorProvider {
public:
    // connector: how connections are opened (the real one by default).
    explicit SimConnectHandler(std::unique_ptr<simconnect::Connector> connector = nullptr,
                               Logger& logger = Logger::instance());
    ~SimConnectHandler() override;
    SimConnectHandler(const SimConnectHandler&) = delete;
    SimConnectHandler& operator=(const SimConnectHandler&) = delete;

    bool connect() override;
    void disconnect() override;
    bool isConnected() const override { return usable_.load(); }
    void processMessages() override;
    void setPreflightMode() override;
    void requestDataSnapshot() override;
    void setActiveMode() override;
    bool setPaused(bool paused) override;
    std::string getLastError() const override;
    std::string simulatorFamily() const override { return "MSFS"; }
    std::string simulatorVariant() const override { return getSimulatorVariant(); }
    std::string pauseFailureText() const override { return "Failed to send pause command to simulator"; }

    // Starts an airport facility request; its data arrive through the
    // facility callbacks carrying requestId.
    bool requestRunwayData(const std::string& icao, std::uint32_t requestId) override;
    // "2020", "2024" or "unknown".
    std::string getSimulatorVariant() const;

    // Text stored in the last error when opening the connection fails with hr.
    static std::string connectionFailureText(std::uint32_t hr);

private:
    struct SimulatorInfo {
        bool valid = false;
        std::string name;
        std::array<std::uint32_t, 4> version{};
    };

    // Main loop only.
    bool configure(simconnect::Connection& connection);
    void applySchedule(std::span<const msfs::Schedule> schedule, const char* logText);
    void dispatch(simconnect::wire::Bytes message);
    void onException(simconnect::wire::Bytes message);
    void onOpen(simconnect::wire::Bytes message);
    void onSimObjectData(simconnect::wire::Bytes message);
    void onFacilityData(simconnect::wire::Bytes message);
    std::unique_ptr<simconnect::Connection> takeConnection();
    void log(LogLevel level, const std::string& text) const;

    std::unique_ptr<simconnect::Connector> connector_;
    Logger& logger_;

    mutable std::mutex mutex_;  // guards connection_, lastError_, info_
    std::unique_ptr<simconnect::Connection> connection_;
    // Usable: connected and the connection present. Cleared without the
    // mutex by a quit message or a failed dispatch.
    std::atomic<bool> usable_{false};
    std::string lastError_;
    SimulatorInfo info_;
};

}  // namespace navorel
