#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "simconnect/Settings.h"
#include "simconnect/SimConnect.h"

namespace navorel::simconnect {

class TransportOpener;

struct ConnectorOptions {
    // Where each open finds its settings; empty: SettingsSources::system().
    std::function<SettingsSources()> settingsSources;
    // The transports each open tries; null: TransportOpener::system().
    TransportOpener* opener = nullptr;
    // How long close() waits for queued requests to be written.
    std::chrono::milliseconds closeWait{100};
    // Received messages waiting for dispatch, in bytes, beyond which the
    // connection closes with OUT_OF_MEMORY: a caller that stops dispatching
    // cannot make the library's memory grow without bound.
    std::size_t maxQueuedBytes = 16 * 1024 * 1024;
};

// The real connector: named pipe or TCP as "SimConnect.cfg" and the registry
// say, with the fallback chain of Transport.h. The open blocks while the
// chain tries its steps (a busy pipe can hold it for a few seconds); the I/O
// then runs on the library's background thread.
class NetworkConnector final : public Connector {
public:
    NetworkConnector() = default;
    explicit NetworkConnector(ConnectorOptions options) : options_(std::move(options)) {}

    Result open(std::unique_ptr<Connection>& connection, const char* clientName, std::function<void()> onReceived,
                std::uint32_t configIndex) override;

private:
    ConnectorOptions options_;
};

}  // namespace navorel::simconnect
