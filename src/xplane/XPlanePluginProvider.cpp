#include "xplane/XPlanePluginProvider.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <utility>

#include "core/Geometry.h"
#include "core/Text.h"

namespace navorel {

namespace {

constexpr const char* kPortNotConfigured = "Telemetry port not configured";
constexpr const char* kStartupFailed = "WSAStartup failed";
constexpr const char* kCreateFailed = "Failed to create UDP socket";
constexpr const char* kBindFailed = "Failed to bind UDP socket (port in use?)";
constexpr const char* kThreadFailed = "Failed to start UDP receive thread";
constexpr const char* kReceiveError = "UDP receive error";
constexpr const char* kPauseNotConnected = "Cannot set pause: X-Plane plugin telemetry socket is not connected";
constexpr const char* kPauseNoControlPort = "Cannot set pause: X-Plane control port is not configured";
constexpr const char* kPauseBadAddress = "Cannot set pause: invalid X-Plane control address";
constexpr const char* kPauseSendFailed = "Failed to send pause command to X-Plane plugin";

constexpr int kModeIdle = 0;
constexpr int kModePreflight = 1;
constexpr int kModeActive = 2;

constexpr double kPoundsPerKilogram = 2.2046226218487757;
constexpr double kGallonsPerLitre = 0.2641720523581484;
constexpr double kPoundsPerGallonFallback = 6.7;
constexpr double kRunwayMarginMetres = 5.0;
constexpr auto kAirborneConfirmAfter = std::chrono::milliseconds(500);

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

double boolean(bool value) { return value ? 1.0 : 0.0; }
double percentOf(const std::optional<double>& ratio) { return ratio ? std::clamp(*ratio, 0.0, 1.0) * 100.0 : 0.0; }
bool above(const std::optional<double>& value, double limit) { return value && *value > limit; }

// The name cut to the 255 bytes the record holds, never inside a UTF-8
// sequence (a broken sequence would make the title unsendable as JSON).
AircraftInfo aircraftInfoFor(const std::string& name) {
    AircraftInfo info{};
    const std::string_view title = utf8Prefix(name, sizeof(info.title) - 1);
    std::memcpy(info.title, title.data(), title.size());
    return info;
}

bool onRunway(const XPlaneRunwayRecord& runway, double latitude, double longitude) {
    const double dNorth = degreesToRadians(latitude - runway.latitude) * kEarthRadiusMetres;
    const double dEast = degreesToRadians(longitude - runway.longitude) * kEarthRadiusMetres *
                         std::cos(degreesToRadians(runway.latitude));
    const double heading = degreesToRadians(runway.headingDegrees);
    const double along = dEast * std::sin(heading) + dNorth * std::cos(heading);
    const double across = dEast * std::cos(heading) - dNorth * std::sin(heading);
    return std::fabs(along) <= runway.lengthMeters / 2.0 + kRunwayMarginMetres &&
           std::fabs(across) <= runway.widthMeters / 2.0 + kRunwayMarginMetres;
}

}  // namespace

XPlanePluginProvider::XPlanePluginProvider(Clock& clock) : clock_(clock) {}

XPlanePluginProvider::~XPlanePluginProvider() { disconnect(); }

// ---- connection -------------------------------------------------------------

bool XPlanePluginProvider::connect() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (running_.load()) return true;
    const std::uint16_t port = telemetryPort_.load();
    if (port == 0) {
        setLastError(kPortNotConfigured);
        return false;
    }
    {
        std::lock_guard lock(socketMutex_);
        switch (socket_.open(port, kReceiveTimeout)) {
        case platform::UdpSocket::OpenResult::OK:
            break;
        case platform::UdpSocket::OpenResult::STARTUP_FAILED:
            setLastError(kStartupFailed);
            return false;
        case platform::UdpSocket::OpenResult::CREATE_FAILED:
            setLastError(kCreateFailed);
            return false;
        case platform::UdpSocket::OpenResult::BIND_FAILED:
            setLastError(kBindFailed);
            return false;
        }
    }
    lastPacketMs_.store(0);
    anyPacket_.store(false);
    xplaneVersion_.store(0);
    xplaneMajor_.store(0);
    running_.store(true);
    try {
        receiver_ = std::thread([this] { receiveLoop(); });
    } catch (const std::system_error&) {
        running_.store(false);
        std::lock_guard lock(socketMutex_);
        socket_.close();
        setLastError(kThreadFailed);
        return false;
    }
    return true;
}

void XPlanePluginProvider::disconnect() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (!running_.exchange(false)) return;
    {
        std::lock_guard lock(stopMutex_);
    }
    stopSignal_.notify_all();
    socket_.interruptReceive();
    if (receiver_.joinable()) receiver_.join();
    {
        std::lock_guard lock(socketMutex_);
        socket_.close();
    }
    lastPacketMs_.store(0);
    anyPacket_.store(false);
    xplaneVersion_.store(0);
    xplaneMajor_.store(0);
}

std::int64_t XPlanePluginProvider::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.steadyNow().time_since_epoch()).count();
}

std::int64_t XPlanePluginProvider::freshnessLimitMs() const {
    return mode_.load() == kModeActive ? kActiveFreshnessMs : kIdleFreshnessMs;
}

bool XPlanePluginProvider::isConnected() const {
    if (!running_.load() || !anyPacket_.load()) return false;
    const std::int64_t last = lastPacketMs_.load();
    return last != 0 && nowMs() - last <= freshnessLimitMs();
}

void XPlanePluginProvider::receiveLoop() {
    std::array<char, kMaxPluginDatagramBytes> buffer{};
    while (running_.load()) {
        std::size_t length = 0;
        switch (socket_.receive(buffer.data(), buffer.size(), length)) {
        case platform::UdpSocket::ReceiveResult::DATAGRAM:
            acceptDatagram(std::string_view(buffer.data(), length));
            break;
        case platform::UdpSocket::ReceiveResult::TRUNCATED:  // over-long: its tail is lost, drop it whole
        case platform::UdpSocket::ReceiveResult::TIMED_OUT:
            break;
        case platform::UdpSocket::ReceiveResult::FAILED: {
            setLastError(kReceiveError);
            // A socket that keeps failing must not spin this thread.
            std::unique_lock lock(stopMutex_);
            stopSignal_.wait_for(lock, kReceiveTimeout, [this] { return !running_.load(); });
            break;
        }
        }
    }
}

void XPlanePluginProvider::acceptDatagram(std::string_view text) {
    TelemetrySample sample;
    if (!parsePluginDatagram(text, sample)) return;
    const std::int64_t now = std::max<std::int64_t>(nowMs(), 1);
    lastPacketMs_.store(now);
    anyPacket_.store(true);
    {
        std::lock_guard lock(latestMutex_);
        latest_ = sample;
        latestReceived_ = true;
        latestAtMs_ = now;
    }
    {
        std::lock_guard lock(queueMutex_);
        if (queue_.size() >= kQueueLimit) queue_.pop_front();
        queue_.push_back(std::move(sample));
    }
    acceptedCount_.fetch_add(1);
    if (inputArrivedCallback_) inputArrivedCallback_();
}

bool XPlanePluginProvider::setPaused(bool paused) {
    std::lock_guard lock(socketMutex_);
    if (!running_.load() || !socket_.isOpen()) {
        setLastError(kPauseNotConnected);
        return false;
    }
    const std::uint16_t port = controlPort_.load();
    if (port == 0) {
        setLastError(kPauseNoControlPort);
        return false;
    }
    const std::string command =
        std::string("{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":") + (paused ? "true" : "false") +
        "}\n";
    switch (socket_.sendTo(port, command)) {
    case platform::UdpSocket::SendResult::SENT:
        return true;
    case platform::UdpSocket::SendResult::BAD_ADDRESS:
        setLastError(kPauseBadAddress);
        return false;
    case platform::UdpSocket::SendResult::FAILED:
        break;
    }
    setLastError(kPauseSendFailed);
    return false;
}

std::string XPlanePluginProvider::simulatorVariant() const {
    const std::int32_t major = xplaneMajor_.load();
    return major >= 1 ? std::to_string(major) : "unknown";
}

std::string XPlanePluginProvider::getLastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void XPlanePluginProvider::setLastError(const std::string& text) {
    std::lock_guard lock(errorMutex_);
    lastError_ = text;
}

// ---- airports ---------------------------------------------------------------

bool XPlanePluginProvider::loadAirport(const std::string& icao, XPlaneAirportRecord& result, std::string& error) {
    if (database_.loadAirport(icao, result, error)) return true;
    setLastError(error);
    return false;
}

void XPlanePluginProvider::cacheAirport(const XPlaneAirportRecord& record) {
    if (record.icao.empty()) return;
    std::lock_guard lock(cacheMutex_);
    runwayCache_[record.icao] = record;
}

void XPlanePluginProvider::lookUpNearestAirport(const std::string& ident, std::uint64_t generation) {
    XPlaneAirportRecord record;
    std::string error;
    if (!database_.loadAirport(ident, record, error)) {
        if (!error.empty()) setLastError(error);
        return;
    }
    if (record.icao.empty()) return;
    std::lock_guard lock(stateMutex_);
    // A mode change during the scan emptied the cache; this result belongs to before it.
    if (state_.modeGeneration != generation) return;
    std::lock_guard cache(cacheMutex_);
    runwayCache_[record.icao] = std::move(record);
}

// ---- modes ------------------------------------------------------------------

void XPlanePluginProvider::applyMode(int mode) {
    std::lock_guard lock(stateMutex_);
    state_.mode = mode;
    state_.activeFlag = mode == kModeActive;
    mode_.store(mode);
    ++state_.modeGeneration;
    state_.nearestAirport.clear();
    state_.onRunwayValid = false;
    state_.onRunwayComputed = false;
    if (mode != kModeActive) state_.slew.reset();
    std::lock_guard cache(cacheMutex_);
    runwayCache_.clear();
}

void XPlanePluginProvider::setIdleMode() { applyMode(kModeIdle); }
void XPlanePluginProvider::setPreflightMode() { applyMode(kModePreflight); }
void XPlanePluginProvider::setActiveMode() { applyMode(kModeActive); }

// ---- processing -------------------------------------------------------------

void XPlanePluginProvider::processMessages() {
    std::deque<TelemetrySample> pending;
    {
        std::lock_guard lock(queueMutex_);
        pending.swap(queue_);
    }
    for (const TelemetrySample& sample : pending) processSample(sample);
}

void XPlanePluginProvider::requestDataSnapshot() {
    std::optional<TelemetrySample> copy;
    {
        std::lock_guard lock(latestMutex_);
        // Only a sample that is still fresh: a stale one re-sent with new
        // timestamps would pass old data off as current.
        if (latestReceived_ && running_.load() && anyPacket_.load() && nowMs() - latestAtMs_ <= freshnessLimitMs()) {
            copy = latest_;
        }
    }
    if (copy) processSample(*copy);
}

void XPlanePluginProvider::processSample(const TelemetrySample& sample) {
    Deliveries out;
    {
        std::lock_guard sequence(processMutex_);
        const SteadyTime now = clock_.steadyNow();
        bool endOfFlightReported = false;
        std::optional<std::string> lookup;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(stateMutex_);
            lookup = processEarlySteps(sample, now, out, endOfFlightReported);
            generation = state_.modeGeneration;
        }
        // The scan may read large files: the mode notifications must not wait for it.
        if (lookup) lookUpNearestAirport(*lookup, generation);
        {
            std::lock_guard lock(stateMutex_);
            processLateSteps(sample, now, out, endOfFlightReported);
        }
    }
    deliver(out);
}

std::optional<std::string> XPlanePluginProvider::processEarlySteps(const TelemetrySample& s, SteadyTime now,
                                                                   Deliveries& out, bool& endOfFlightReported) {
    ProcessingState& st = state_;
    if (s.lat) st.latSeenAt = now;
    if (s.lon) st.lonSeenAt = now;

    if (s.paused && st.lastPaused != s.paused) {
        st.lastPaused = s.paused;
        out.add(SimEvent{SIM_EVENT_PAUSE, *s.paused ? 1u : 0u});
    }
    if (s.crashDetected && st.lastCrash != s.crashDetected) {
        st.lastCrash = s.crashDetected;
        if (*s.crashDetected) out.add(SimEvent{SIM_EVENT_CRASHED, 1});
    }
    if (s.sessionId) {
        if (st.lastSession && *st.lastSession != *s.sessionId && simEventCallback_ && st.mode == kModeActive) {
            out.add(SimEvent{SIM_EVENT_SIM_STOP, 0});
            endOfFlightReported = true;
        }
        st.lastSession = s.sessionId;
    }
    if (s.xplaneVersion) xplaneVersion_.store(*s.xplaneVersion);
    if (s.xplaneMajor) xplaneMajor_.store(*s.xplaneMajor);

    if (st.activeFlag && s.nearestAirportIcao && *s.nearestAirportIcao != st.nearestAirport) {
        st.nearestAirport = *s.nearestAirportIcao;
        return st.nearestAirport;
    }
    return std::nullopt;
}

void XPlanePluginProvider::processLateSteps(const TelemetrySample& s, SteadyTime now, Deliveries& out,
                                            bool endOfFlightReported) {
    ProcessingState& st = state_;
    st.slew.update({s, st.mode, st.lastPaused.value_or(false), now, st.latSeenAt, st.lonSeenAt});
    updateOnRunway(s);
    updateTouchdown(s, now, out);
    addFlightData(s, out);
    addSystemsData(s, out);
    addEquipmentData(s, out);
    updateAircraft(s, out, endOfFlightReported);
    updateAlerts(s, out);
}

void XPlanePluginProvider::updateOnRunway(const TelemetrySample& s) {
    ProcessingState& st = state_;
    if (!st.activeFlag) return;
    const std::optional<bool> onGround = s.groundFlag();
    if (!onGround || (*onGround && (!s.lat || !s.lon))) {
        st.onRunwayValid = false;
        st.onRunwayComputed = false;
        return;
    }
    if (!*onGround) {
        st.onRunwayValid = true;
        st.onRunwayComputed = false;
        return;
    }
    std::lock_guard cache(cacheMutex_);
    bool hit = false;
    for (const auto& [ident, airport] : runwayCache_) {
        for (const XPlaneRunwayRecord& runway : airport.runways) {
            if (runway.lengthMeters > 1.0 && runway.widthMeters > 1.0 && onRunway(runway, *s.lat, *s.lon)) {
                hit = true;
                break;
            }
        }
        if (hit) break;
    }
    st.onRunwayValid = !runwayCache_.empty();
    st.onRunwayComputed = st.onRunwayValid && hit;
}

void XPlanePluginProvider::updateTouchdown(const TelemetrySample& s, SteadyTime now, Deliveries& out) {
    ProcessingState& st = state_;
    const std::optional<bool> onGround = s.groundFlag();
    if (!onGround) return;
    if (!*onGround) {
        if (!st.airborneSince) st.airborneSince = now;
        // A bounce of a few feet is not a flight: wait for height or time.
        if (!st.airborneConfirmed &&
            (!s.altAglFt || *s.altAglFt > 1.0 || now - *st.airborneSince >= kAirborneConfirmAfter)) {
            st.airborneConfirmed = true;
        }
    } else {
        if (!st.previousOnGround && st.airborneConfirmed && landingDataCallback_ && s.lat && s.lon) {
            LandingData landing{};
            landing.touchdownBankDegrees = s.bankDeg.value_or(0.0);
            landing.touchdownHeadingDegreesMagnetic = s.hdgDeg.value_or(0.0);
            landing.touchdownLatitudeDegrees = *s.lat;
            landing.touchdownLongitudeDegrees = *s.lon;
            landing.touchdownPitchDegrees = s.pitchDeg.value_or(0.0);
            landing.touchdownRate = s.vsFpm.value_or(0.0);
            out.add(landing);
        }
        st.airborneConfirmed = false;
        st.airborneSince.reset();
    }
    st.previousOnGround = *onGround;
}

void XPlanePluginProvider::addFlightData(const TelemetrySample& s, Deliveries& out) const {
    if (!flightDataCallback_ || !s.lat || !s.lon || !(s.altFt || s.altIndFt)) return;
    FlightData f{};
    f.latitude = *s.lat;
    f.longitude = *s.lon;
    f.altitude = s.altFt ? *s.altFt : *s.altIndFt;
    f.altitudeIndicated = s.altIndFt.value_or(f.altitude);
    f.altitudeAgl = s.altAglFt.value_or(0.0);
    f.heading = s.hdgDeg.value_or(0.0);
    f.airspeedIndicated = s.iasKt.value_or(0.0);
    f.verticalSpeed = s.vsFpm.value_or(0.0);
    f.pitch = s.pitchDeg.value_or(0.0);
    f.bank = s.bankDeg.value_or(0.0);
    f.groundSpeedGps = s.groundSpeedKt.value_or(0.0);
    if (s.fuelMassKg) {
        const double weight = *s.fuelMassKg * kPoundsPerKilogram;
        const double volume = above(s.fuelDensityKgL, 0.0) ? *s.fuelMassKg / *s.fuelDensityKgL * kGallonsPerLitre
                                                            : weight / kPoundsPerGallonFallback;
        // Values out of any tank's range overflow here; they count as unknown.
        if (std::isfinite(weight) && std::isfinite(volume)) {
            f.fuelWeight = weight;
            f.fuelVolume = volume;
        }
    }
    f.pressureAltitude = s.pressureAltFt.value_or(f.altitudeIndicated);
    out.add(f);
}

void XPlanePluginProvider::addSystemsData(const TelemetrySample& s, Deliveries& out) const {
    const ProcessingState& st = state_;
    if (!systemsDataCallback_) return;
    const bool anySystemsKey = s.autopilotMode || s.flapsHandleRatio || s.gearRetractable || s.gearHandleDown ||
                               s.gearDeployRatio || s.simOnGround || s.onground || s.onRunway || s.simulationRate ||
                               s.spoilersRatio || s.apuGeneratorOn || s.engineRunning;
    if (!anySystemsKey && !st.onRunwayValid) return;

    SystemsData d{};
    d.autopilotMaster = boolean(above(s.autopilotMode, 0.5));
    if (s.flapsHandleRatio) {
        const double ratio = std::clamp(*s.flapsHandleRatio, 0.0, 1.0);
        d.flapsHandleIndex = above(s.flapDetents, 0.0) ? std::round(*s.flapDetents * ratio) : ratio * 100.0;
    }
    d.landFlapsPosition = 0.0;
    if (s.gearRetractable && !*s.gearRetractable) {
        d.gearPosition = 1;
        d.gearTotalPctExtended = 100.0;
    } else if (s.gearDeployRatio) {
        d.gearPosition = *s.gearDeployRatio > 0.5 ? 1 : 0;
        d.gearTotalPctExtended = percentOf(s.gearDeployRatio);
    } else if (!s.gearRetractable && s.gearHandleDown) {
        const bool down = *s.gearHandleDown > 0.5;
        d.gearPosition = down ? 1 : 0;
        d.gearTotalPctExtended = down ? 100.0 : 0.0;
    }
    d.simOnGround = boolean(s.groundFlag().value_or(false));
    d.onAnyRunway = boolean(s.onRunway ? *s.onRunway : st.onRunwayValid && st.onRunwayComputed);
    d.simulationRate = s.simulationRate.value_or(1.0);
    d.spoilersHandlePosition = percentOf(s.spoilersRatio);
    d.apuGeneratorActive = boolean(s.apuGeneratorOn.value_or(false));
    const std::array<bool, 4> engines = s.engineRunning.value_or(std::array<bool, 4>{});
    d.engine1Running = boolean(engines[0]);
    d.engine2Running = boolean(engines[1]);
    d.engine3Running = boolean(engines[2]);
    d.engine4Running = boolean(engines[3]);
    out.add(d);
}

void XPlanePluginProvider::addEquipmentData(const TelemetrySample& s, Deliveries& out) const {
    if (!equipmentDataCallback_) return;
    if (!(s.lightBeacon || s.lightNav || s.lightLanding || s.lightTaxi || s.lightStrobe || s.parkingBrakeRatio ||
          s.canopyOpen)) {
        return;
    }
    EquipmentData e{};
    e.lightBeacon = boolean(s.lightBeacon.value_or(false));
    e.lightNav = boolean(s.lightNav.value_or(false));
    e.lightLanding = boolean(s.lightLanding.value_or(false));
    e.lightTaxi = boolean(s.lightTaxi.value_or(false));
    e.lightStrobe = boolean(s.lightStrobe.value_or(false));
    e.parkingBrake = boolean(above(s.parkingBrakeRatio, 0.5));
    e.parkingBrakeSwitchPercent = percentOf(s.parkingBrakeRatio);
    e.doorMain = boolean(above(s.canopyOpen, 0.5));
    out.add(e);
}

void XPlanePluginProvider::updateAircraft(const TelemetrySample& s, Deliveries& out, bool endOfFlightReported) {
    ProcessingState& st = state_;
    if (s.aircraftName && !s.aircraftName->empty()) {
        if (st.lastAircraftName && *st.lastAircraftName != *s.aircraftName && simEventCallback_ &&
            st.mode == kModeActive && !endOfFlightReported) {
            out.add(SimEvent{SIM_EVENT_SIM_STOP, 0});
        }
        st.lastAircraftName = s.aircraftName;
    }
    if (aircraftInfoCallback_ && st.lastAircraftName) out.add(aircraftInfoFor(*st.lastAircraftName));
}

void XPlanePluginProvider::updateAlerts(const TelemetrySample& s, Deliveries& out) {
    ProcessingState& st = state_;
    if (!alertDataCallback_) return;
    const bool bothSpeeds = s.vneKt && s.iasKt;
    const bool stallKnown = s.stallWarning || s.stallWarningFailure;
    if (!bothSpeeds && !stallKnown && !st.slew.known()) return;
    const bool overspeed = bothSpeeds && *s.iasKt > *s.vneKt;
    const bool stall = stallKnown && (s.stallWarning ? *s.stallWarning : *s.stallWarningFailure) > 0.5;
    const bool slew = st.slew.known() && st.slew.active();
    const std::array<double, 3> alert{boolean(overspeed), boolean(stall), boolean(slew)};
    if (st.lastAlert == alert) return;
    st.lastAlert = alert;
    out.add(AlertData{alert[0], alert[1], alert[2]});
}

void XPlanePluginProvider::deliver(const Deliveries& deliveries) const {
    const auto visitor = Overloaded{
        [this](const SimEvent& e) { invoke(simEventCallback_, e.type, e.data); },
        [this](const LandingData& d) { invoke(landingDataCallback_, d); },
        [this](const FlightData& d) { invoke(flightDataCallback_, d); },
        [this](const SystemsData& d) { invoke(systemsDataCallback_, d); },
        [this](const EquipmentData& d) { invoke(equipmentDataCallback_, d); },
        [this](const AircraftInfo& d) { invoke(aircraftInfoCallback_, d); },
        [this](const AlertData& d) { invoke(alertDataCallback_, d); },
    };
    for (const Delivery& item : deliveries) std::visit(visitor, item);
}

}  // namespace navorel
