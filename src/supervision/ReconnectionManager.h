#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "log/Logger.h"
#include "core/Clock.h"
#include "supervision/GuardedCallback.h"

namespace navorel {

enum class ConnectionState : std::int32_t { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2, CONNECTION_FAILED = 3 };

// Name used in log lines and the status line; "UNKNOWN" for any other value.
constexpr const char* connectionStateName(ConnectionState state) {
    switch (state) {
        case ConnectionState::DISCONNECTED: return "DISCONNECTED";
        case ConnectionState::CONNECTING: return "CONNECTING";
        case ConnectionState::CONNECTED: return "CONNECTED";
        case ConnectionState::CONNECTION_FAILED: return "CONNECTION_FAILED";
    }
    return "UNKNOWN";
}

// Paces connection attempts with an exponential back-off (1, 1, 2, 4, 8, 16,
// then 30 s for ever) and keeps the connection state. It never gives up.
// Attempts belong to one thread; state and failure count may be read and
// changed from others.
class ReconnectionManager {
public:
    using ConnectFunction = std::function<bool()>;
    using StateCallback = std::function<void(ConnectionState newState, const std::string& reason)>;

    static constexpr std::uint64_t kMaxBackoffSeconds = 30;

    explicit ReconnectionManager(Clock& clock = Clock::real(), Logger& logger = Logger::instance());
    ReconnectionManager(const ReconnectionManager&) = delete;
    ReconnectionManager& operator=(const ReconnectionManager&) = delete;

    void setConnectFunction(ConnectFunction connect);
    // Runs on the thread that caused the change, with no lock held.
    void setStateCallback(StateCallback callback);

    bool shouldAttemptReconnect() const;
    bool isBackoffElapsed() const;
    // Exceptions from the connect function pass through to the caller.
    bool attemptConnection();
    void onConnectionLost(const std::string& reason);
    void onProcessRestarted();

    ConnectionState getState() const { return state_.load(); }
    std::string getStateName() const { return connectionStateName(getState()); }
    std::int32_t getFailedAttempts() const { return failedAttempts_.load(); }
    std::uint64_t getSecondsUntilNextAttempt() const;

    // Whole seconds to wait after `failedAttempts` failures.
    static std::uint64_t backoffSeconds(std::int32_t failedAttempts);

private:
    void setState(ConnectionState newState, const std::string& reason);
    void fail(const std::string& reason);
    // Whole seconds since the last attempt, truncated; nullopt before the first.
    std::optional<std::int64_t> secondsSinceLastAttempt() const;
    void log(LogLevel level, const std::string& text);

    Clock& clock_;
    Logger& logger_;
    std::atomic<ConnectionState> state_{ConnectionState::DISCONNECTED};
    // Steady nanoseconds of the last attempt. Before any attempt the first
    // one is due at once, whatever the clock's epoch.
    std::atomic<std::int64_t> lastAttemptTime_{0};
    std::atomic<bool> attempted_{false};
    std::atomic<std::int32_t> failedAttempts_{0};

    GuardedCallback<ConnectFunction> connectFunction_;
    GuardedCallback<StateCallback> stateCallback_;
};

}  // namespace navorel
