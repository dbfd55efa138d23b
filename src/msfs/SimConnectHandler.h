#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/SimulatorProvider.h"

namespace navorel {

// The Microsoft Flight Simulator provider.
//
// No SimConnect client library is part of the build yet, so no simulator can
// ever answer: connect() fails exactly as an open that finds no simulator
// (result 0x80004005, logged at INFO as a retry) and every other operation
// behaves as on a handler that has never been connected.
class SimConnectHandler : public SimulatorProvider {
public:
    SimConnectHandler() = default;
    ~SimConnectHandler() override;
    SimConnectHandler(const SimConnectHandler&) = delete;
    SimConnectHandler& operator=(const SimConnectHandler&) = delete;

    bool connect() override;
    void disconnect() override;
    bool isConnected() const override;
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
    mutable std::mutex mutex_;
    bool connected_ = false;
    std::string lastError_;
    bool simulatorInfoValid_ = false;
    std::string simulatorName_;
};

}  // namespace navorel
