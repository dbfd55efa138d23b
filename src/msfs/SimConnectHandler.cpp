#include "msfs/SimConnectHandler.h"

#include <cstdio>

#include "log/Logger.h"

namespace navorel {

namespace {

constexpr const char* kComponent = "SimConnect";
constexpr std::uint32_t kGenericFailure = 0x80004005;

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

}  // namespace

SimConnectHandler::~SimConnectHandler() { disconnect(); }

std::string SimConnectHandler::connectionFailureText(std::uint32_t hr) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(hr));
    return std::string("Failed to connect to Flight Simulator. Error: 0x") + hex + failureExplanation(hr);
}

bool SimConnectHandler::connect() {
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (connected_) return true;
        simulatorInfoValid_ = false;
        simulatorName_.clear();
        lastError_ = connectionFailureText(kGenericFailure);
        error = lastError_;
    }
    logLine(LogLevel::INFO, kComponent, error + " - will retry automatically");
    return false;
}

void SimConnectHandler::disconnect() {
    std::lock_guard lock(mutex_);
    connected_ = false;  // nothing was ever opened, so nothing to close or log
}

bool SimConnectHandler::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void SimConnectHandler::processMessages() {}

void SimConnectHandler::setPreflightMode() {}

void SimConnectHandler::requestDataSnapshot() {}

void SimConnectHandler::setActiveMode() {}

bool SimConnectHandler::setPaused(bool) {
    std::lock_guard lock(mutex_);
    lastError_ = "Cannot set pause: SimConnect is not connected";
    return false;
}

std::string SimConnectHandler::getLastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool SimConnectHandler::requestRunwayData(const std::string&, std::uint32_t) { return false; }

std::string SimConnectHandler::getSimulatorVariant() const {
    std::lock_guard lock(mutex_);
    if (!simulatorInfoValid_) return "unknown";
    std::string name = simulatorName_;
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (name.find("2024") != std::string::npos) return "2024";
    if (name.find("2020") != std::string::npos) return "2020";
    return "unknown";
}

}  // namespace navorel
