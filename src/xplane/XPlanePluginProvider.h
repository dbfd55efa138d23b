#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/SimulatorProvider.h"
#include "core/Clock.h"
#include "platform/UdpSocket.h"
#include "xplane/AirportDatabase.h"
#include "xplane/PluginDatagram.h"
#include "xplane/PluginSlewDetector.h"

namespace navorel {

// The bridge's end of the X-Plane plugin link: receives the plugin's JSON
// telemetry datagrams on 127.0.0.1, turns them into the shared telemetry
// records on the caller's thread, derives touchdown, slew, on-runway, pause,
// crash and end-of-flight information, and sends the plugin pause commands.
//
// Threads: a receive thread of its own parses and queues datagrams and never
// calls a receiver. processMessages() runs on the main loop; the mode
// notifications and requestDataSnapshot() may come from another thread at the
// same time. Their shared state is guarded by locks that are never held while
// a receiver runs, so a receiver may call back into the provider.
class XPlanePluginProvider final : public SimulatorProvider {
public:
    static constexpr std::size_t kQueueLimit = 100;
    static constexpr auto kReceiveTimeout = std::chrono::milliseconds(200);
    static constexpr std::int64_t kActiveFreshnessMs = 5000;
    static constexpr std::int64_t kIdleFreshnessMs = 45000;

    explicit XPlanePluginProvider(Clock& clock = Clock::real());
    ~XPlanePluginProvider() override;
    XPlanePluginProvider(const XPlanePluginProvider&) = delete;
    XPlanePluginProvider& operator=(const XPlanePluginProvider&) = delete;

    bool connect() override;
    void disconnect() override;
    // Telemetry is fresh: running, and the last datagram is at most 5 s old
    // in active mode, 45 s otherwise.
    bool isConnected() const override;
    void processMessages() override;
    void setPreflightMode() override;
    // Processes the latest sample again, if it is still fresh.
    void requestDataSnapshot() override;
    void setActiveMode() override;
    void setIdleMode() override;
    bool setPaused(bool paused) override;
    std::string getLastError() const override;
    // The socket is open but no datagram has been accepted yet.
    bool isAwaitingTelemetry() const override { return running_.load() && !anyPacket_.load(); }
    std::string simulatorFamily() const override { return "X-Plane"; }
    // The major version the plugin reported, or "unknown".
    std::string simulatorVariant() const override;
    std::string pauseFailureText() const override { return "Failed to send pause command to X-Plane"; }

    // Runway lookup in the scenery files; a failure's text also goes to getLastError().
    bool looksUpRunwaysLocally() const override { return true; }
    bool loadAirport(const std::string& icao, XPlaneAirportRecord& result, std::string& error) override;
    // Remembers a looked-up airport for the on-runway test.
    void cacheAirport(const XPlaneAirportRecord& record) override;

    // Ports on 127.0.0.1; 0 means not configured. Set before connect().
    void setTelemetryPort(std::uint16_t port) { telemetryPort_.store(port); }
    void setControlPort(std::uint16_t port) { controlPort_.store(port); }
    void setXPlaneRoot(const std::string& path) { database_.setRoot(path); }
    // Major version reported by the plugin, 0 until reported.
    std::int32_t getXPlaneVersion() const { return xplaneMajor_.load(); }

    // Datagrams accepted since construction; for diagnostics and tests.
    std::uint64_t acceptedDatagramCount() const { return acceptedCount_.load(); }

    // What the receive thread does with each datagram: parse it and queue the
    // sample for processMessages(). Public so that tests and fuzz targets can
    // hand datagrams over without a socket.
    void acceptDatagram(std::string_view text);

private:
    struct SimEvent {
        std::uint32_t type;
        std::uint32_t data;
    };
    using Delivery = std::variant<SimEvent, LandingData, FlightData, SystemsData, EquipmentData, AircraftInfo, AlertData>;
    // What one sample hands to the receivers, in order; filled under the
    // state lock, delivered after it is released.
    class Deliveries {
    public:
        void add(const Delivery& item) { items_.push_back(item); }
        auto begin() const { return items_.begin(); }
        auto end() const { return items_.end(); }

    private:
        std::vector<Delivery> items_;
    };

    // State of sample processing, guarded by stateMutex_.
    struct ProcessingState {
        int mode = 0;
        bool activeFlag = false;
        std::uint64_t modeGeneration = 0;
        std::optional<bool> lastPaused;
        std::optional<bool> lastCrash;
        std::optional<std::int64_t> lastSession;
        std::optional<std::string> lastAircraftName;
        std::optional<std::array<double, 3>> lastAlert;
        bool airborneConfirmed = false;
        std::optional<SteadyTime> airborneSince;
        bool previousOnGround = false;
        std::optional<SteadyTime> latSeenAt;
        std::optional<SteadyTime> lonSeenAt;
        PluginSlewDetector slew;
        std::string nearestAirport;
        bool onRunwayValid = false;
        bool onRunwayComputed = false;
    };

    void receiveLoop();
    std::int64_t nowMs() const;
    std::int64_t freshnessLimitMs() const;
    void setLastError(const std::string& text);
    void applyMode(int mode);

    void processSample(const TelemetrySample& sample);
    // Steps before the nearest-airport lookup; returns the ident to look up.
    std::optional<std::string> processEarlySteps(const TelemetrySample& s, SteadyTime now, Deliveries& out,
                                                 bool& endOfFlightReported);
    void lookUpNearestAirport(const std::string& ident, std::uint64_t generation);
    void processLateSteps(const TelemetrySample& s, SteadyTime now, Deliveries& out, bool endOfFlightReported);
    void updateOnRunway(const TelemetrySample& s);
    void updateTouchdown(const TelemetrySample& s, SteadyTime now, Deliveries& out);
    void addFlightData(const TelemetrySample& s, Deliveries& out) const;
    void addSystemsData(const TelemetrySample& s, Deliveries& out) const;
    void addEquipmentData(const TelemetrySample& s, Deliveries& out) const;
    void updateAircraft(const TelemetrySample& s, Deliveries& out, bool endOfFlightReported);
    void updateAlerts(const TelemetrySample& s, Deliveries& out);
    void deliver(const Deliveries& deliveries) const;

    Clock& clock_;
    std::atomic<std::uint16_t> telemetryPort_{0};
    std::atomic<std::uint16_t> controlPort_{0};

    // connect() and disconnect() run one at a time.
    std::mutex lifecycleMutex_;
    // Guards opening, closing and sending on the socket; the receive thread
    // uses it without the lock while it runs.
    mutable std::mutex socketMutex_;
    platform::UdpSocket socket_;
    std::thread receiver_;
    std::atomic<bool> running_{false};
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;

    std::atomic<std::int64_t> lastPacketMs_{0};
    std::atomic<bool> anyPacket_{false};
    std::atomic<std::int32_t> xplaneVersion_{0};
    std::atomic<std::int32_t> xplaneMajor_{0};
    std::atomic<int> mode_{0};
    std::atomic<std::uint64_t> acceptedCount_{0};

    std::mutex queueMutex_;
    std::deque<TelemetrySample> queue_;

    mutable std::mutex latestMutex_;
    TelemetrySample latest_;
    bool latestReceived_ = false;
    std::int64_t latestAtMs_ = 0;

    // Keeps one sample's steps together when the main loop and a snapshot
    // process at the same time; taken before stateMutex_.
    std::mutex processMutex_;
    std::mutex stateMutex_;
    ProcessingState state_;

    mutable std::mutex cacheMutex_;
    std::map<std::string, XPlaneAirportRecord> runwayCache_;

    mutable std::mutex errorMutex_;
    std::string lastError_;

    AirportDatabase database_;
};

}  // namespace navorel
