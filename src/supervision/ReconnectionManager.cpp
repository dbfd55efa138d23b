#include "supervision/ReconnectionManager.h"

#include <string_view>

namespace navorel {

namespace {

constexpr std::string_view kComponent = "ReconnectionManager";

}  // namespace

ReconnectionManager::ReconnectionManager(Clock& clock, Logger& logger) : clock_(clock), logger_(logger) {}

void ReconnectionManager::log(LogLevel level, const std::string& text) {
    if (logger_.wouldLog(level)) logger_.log(level, kComponent, text);
}

void ReconnectionManager::setConnectFunction(ConnectFunction connect) { connectFunction_.set(std::move(connect)); }

void ReconnectionManager::setStateCallback(StateCallback callback) { stateCallback_.set(std::move(callback)); }

std::uint64_t ReconnectionManager::backoffSeconds(std::int32_t failedAttempts) {
    if (failedAttempts >= 0 && failedAttempts <= 1) return 1;
    // Also covers a count that has wrapped after billions of failures.
    if (failedAttempts < 0 || failedAttempts > 6) return kMaxBackoffSeconds;
    const std::uint64_t delay = std::uint64_t{1} << (failedAttempts - 1);
    return delay < kMaxBackoffSeconds ? delay : kMaxBackoffSeconds;
}

std::optional<std::int64_t> ReconnectionManager::secondsSinceLastAttempt() const {
    if (!attempted_.load()) return std::nullopt;
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.steadyNow().time_since_epoch()).count();
    return (now - lastAttemptTime_.load()) / 1'000'000'000;  // truncates toward zero
}

bool ReconnectionManager::isBackoffElapsed() const {
    const std::optional<std::int64_t> elapsed = secondsSinceLastAttempt();
    if (!elapsed) return true;
    return *elapsed >= static_cast<std::int64_t>(backoffSeconds(failedAttempts_.load()));
}

bool ReconnectionManager::shouldAttemptReconnect() const {
    return getState() != ConnectionState::CONNECTED && isBackoffElapsed();
}

bool ReconnectionManager::attemptConnection() {
    if (!isBackoffElapsed()) return false;
    lastAttemptTime_.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.steadyNow().time_since_epoch()).count());
    attempted_.store(true);
    setState(ConnectionState::CONNECTING, "Attempting connection");

    const ConnectFunction connect = connectFunction_.get();
    if (!connect) {
        log(LogLevel::ERROR, "No connect function set");
        fail("No connect function");
        return false;
    }
    if (connect()) {
        failedAttempts_.exchange(0);
        setState(ConnectionState::CONNECTED, "Connection established");
        return true;
    }
    fail("Connection attempt failed");
    return false;
}

void ReconnectionManager::fail(const std::string& reason) {
    const std::int32_t count = failedAttempts_.fetch_add(1) + 1;
    log(LogLevel::WARN, "Connection attempt " + std::to_string(count) + " failed: " + reason);
    setState(ConnectionState::CONNECTION_FAILED, reason);
    log(LogLevel::INFO, "Next attempt in " + std::to_string(backoffSeconds(count)) +
                            "s (will keep trying while the simulator is running)");
}

void ReconnectionManager::onConnectionLost(const std::string& reason) {
    if (getState() != ConnectionState::CONNECTED) return;
    log(LogLevel::WARN, "Connection lost: " + reason);
    setState(ConnectionState::DISCONNECTED, "Connection lost: " + reason);
}

void ReconnectionManager::onProcessRestarted() {
    failedAttempts_.store(0);
    if (getState() == ConnectionState::CONNECTION_FAILED) {
        setState(ConnectionState::DISCONNECTED, "Process restarted - ready to connect");
    }
}

std::uint64_t ReconnectionManager::getSecondsUntilNextAttempt() const {
    if (getState() == ConnectionState::CONNECTED) return 0;
    const std::optional<std::int64_t> elapsed = secondsSinceLastAttempt();
    if (!elapsed) return 0;
    const auto delay = static_cast<std::int64_t>(backoffSeconds(failedAttempts_.load()));
    return *elapsed >= delay ? 0 : static_cast<std::uint64_t>(delay - *elapsed);
}

void ReconnectionManager::setState(ConnectionState newState, const std::string& reason) {
    const ConnectionState oldState = state_.exchange(newState);
    if (oldState == newState) return;
    log(LogLevel::INFO, stateChangeLine(connectionStateName(oldState), connectionStateName(newState), reason));
    stateCallback_(newState, reason);
}

}  // namespace navorel
