#include "FakeSimulator.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <deque>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "SimulationData.h"
#include "flight_script.h"
#include "platform/NamedPipe.h"
#include "simconnect/MessageFramer.h"
#include "simconnect/Transport.h"
#include "simconnect/WireFormat.h"

namespace navorel::fakesim {

namespace {

namespace asio = boost::asio;
namespace wire = simconnect::wire;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using wire::RequestType;

constexpr Clock::duration kFrame = std::chrono::milliseconds(50);
constexpr std::uint32_t kMaxRequestSize = 65536;
constexpr std::uint32_t kUnused = 0xFFFFFFFF;
// Exception codes sent back for requests the simulator cannot serve.
constexpr std::uint32_t kExceptionUnrecognizedId = 3;
constexpr std::uint32_t kExceptionNameUnrecognized = 7;
constexpr std::uint32_t kFlagChanged = 1;

enum Period : std::uint32_t { NEVER = 0, ONCE = 1, VISUAL_FRAME = 2, SIM_FRAME = 3, SECOND = 4 };

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string periodName(std::uint32_t period) {
    static constexpr const char* kNames[] = {"NEVER", "ONCE", "VISUAL_FRAME", "SIM_FRAME", "SECOND"};
    return period < std::size(kNames) ? kNames[period] : std::to_string(period);
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

struct DataRequest {
    wire::RequestDataOnSimObjectRequest request;
    Clock::time_point nextDue;
    std::uint64_t periods = 0;
    std::uint32_t sent = 0;
    std::optional<wire::Packet> lastBlock;
};

// One client connection with everything it has defined. Touched on the
// simulator's thread only.
struct Peer {
    std::unique_ptr<platform::AsyncByteStream> stream;
    std::string name;
    simconnect::MessageFramer framer{kMaxRequestSize};
    std::deque<wire::Packet> writes;
    bool writing = false;
    bool closed = false;
    std::map<std::uint32_t, std::vector<Datum>> definitions;
    std::map<std::uint32_t, DataRequest> requests;
    std::map<std::string, std::uint32_t> subscriptions;  // upper-case system event name -> client event id
    std::map<std::uint32_t, std::string> clientEvents;   // client event id -> upper-case simulator event
    std::map<std::uint32_t, std::vector<std::string>> facilityDefinitions;
};
using PeerPtr = std::shared_ptr<Peer>;

}  // namespace

bool applyVariant(const std::string& variant, SimulatorOptions& options) {
    if (variant == "2020") {
        options.applicationName = "Microsoft Flight Simulator 2020 (Navorel fake simulator)";
        options.versionMajor = 11;
        options.buildMajor = 282174;
    } else if (variant == "2024") {
        options.applicationName = "Microsoft Flight Simulator 2024 (Navorel fake simulator)";
        options.versionMajor = 12;
        options.buildMajor = 1077;
    } else {
        return false;
    }
    options.versionMinor = 0;
    options.buildMinor = 999;
    return true;
}

class FakeSimulator::Impl {
public:
    Impl(SimulatorOptions options, Output output) : options_(std::move(options)), output_(std::move(output)) {}
    ~Impl() { stop(); }

    bool start(std::string& error);
    void stop();
    std::uint16_t tcpPort() const { return port_.load(); }
    bool command(const std::string& line);

private:
    void print(const std::string& line) { output_(line); }
    void listenIpv6();
    void acceptTcp(tcp::acceptor& acceptor);
    void acceptPipe();
    void attach(std::unique_ptr<platform::AsyncByteStream> stream, const std::string& name);
    void read(const PeerPtr& peer);
    void closePeer(const PeerPtr& peer, const std::string& why);
    void send(const PeerPtr& peer, wire::Packet packet);
    void writeNext(const PeerPtr& peer);

    void onRequest(const PeerPtr& peer, wire::Bytes packet);
    void onOpen(const PeerPtr& peer, const wire::OpenRequest& open);
    void onTransmit(const Peer& peer, const wire::TransmitClientEventRequest& transmit);
    void onAddToDataDefinition(const PeerPtr& peer, const wire::AddToDataDefinitionRequest& add,
                               std::uint32_t sequence);
    void onRequestData(const PeerPtr& peer, const wire::RequestDataOnSimObjectRequest& request,
                       std::uint32_t sequence);
    void answerFacility(const PeerPtr& peer, const wire::RequestFacilityDataRequest& request);
    void sendException(const PeerPtr& peer, std::uint32_t exception, std::uint32_t sequence, std::uint32_t index);

    void tick();
    // Sends what is due; true once the request is finished.
    bool serve(const PeerPtr& peer, DataRequest& request, Clock::time_point now);
    void sendData(const PeerPtr& peer, DataRequest& request);
    void setPaused(bool paused);
    void systemEvent(const std::string& name, std::uint32_t data);

    const SimulatorOptions options_;
    const Output output_;
    const flight::FlightScript script_;
    asio::io_context io_;
    tcp::acceptor ipv4_{io_};
    tcp::acceptor ipv6_{io_};
    std::unique_ptr<platform::NamedPipeServer> pipe_;
    asio::steady_timer timer_{io_};
    std::atomic<std::uint16_t> port_{0};
    std::thread thread_;

    // The simulator's thread only.
    PeerPtr peer_;
    double scriptTime_ = 0.0;
    Clock::time_point lastTick_;
    bool paused_ = false;
    bool crashed_ = false;
    bool glitchNext_ = false;        // the next flight block carries an impossible latitude
    bool answerFacilities_ = true;
    bool stopping_ = false;
};

bool FakeSimulator::Impl::start(std::string& error) {
    error_code failure;
    const tcp::endpoint ipv4(asio::ip::make_address_v4("127.0.0.1"), options_.port);
    ipv4_.open(tcp::v4(), failure);
    if (!failure) ipv4_.set_option(tcp::acceptor::reuse_address(true), failure);
    if (!failure) ipv4_.bind(ipv4, failure);
    if (!failure) ipv4_.listen(asio::socket_base::max_listen_connections, failure);
    if (failure) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " + failure.message();
        return false;
    }
    port_ = ipv4_.local_endpoint().port();
    print("listen tcp 127.0.0.1:" + std::to_string(port_.load()));
    if (options_.listenIpv6) listenIpv6();
    if (!options_.pipeName.empty()) {
        pipe_ = platform::NamedPipeServer::create(io_, options_.pipeName, options_.pipeInstances);
        if (pipe_) print("listen pipe " + options_.pipeName);
    }

    scriptTime_ = options_.start;
    lastTick_ = Clock::now();
    acceptTcp(ipv4_);
    if (ipv6_.is_open()) acceptTcp(ipv6_);
    if (pipe_) acceptPipe();
    tick();
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void FakeSimulator::Impl::listenIpv6() {
    error_code failure;
    ipv6_.open(tcp::v6(), failure);
    if (!failure) ipv6_.set_option(asio::ip::v6_only(true), failure);
    if (!failure) ipv6_.set_option(tcp::acceptor::reuse_address(true), failure);
    if (!failure) ipv6_.bind(tcp::endpoint(asio::ip::make_address_v6("::1"), port_.load()), failure);
    if (!failure) ipv6_.listen(asio::socket_base::max_listen_connections, failure);
    if (failure) {
        // A machine without IPv6 still serves IPv4.
        error_code ignored;
        ipv6_.close(ignored);
        print("listen tcp [::1]:" + std::to_string(port_.load()) + " unavailable: " + failure.message());
        return;
    }
    print("listen tcp [::1]:" + std::to_string(port_.load()));
}

void FakeSimulator::Impl::stop() {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] {
        stopping_ = true;
        error_code ignored;
        ipv4_.close(ignored);
        ipv6_.close(ignored);
        if (pipe_) pipe_->close();
        timer_.cancel();
        if (peer_) closePeer(peer_, "by shutdown");
    });
    thread_.join();
}

void FakeSimulator::Impl::acceptTcp(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](const error_code& error, tcp::socket socket) {
        if (stopping_ || error == asio::error::operation_aborted) return;
        if (!error) {
            error_code ignored;
            const tcp::endpoint remote = socket.remote_endpoint(ignored);
            attach(simconnect::makeTcpStream(std::move(socket)),
                   "tcp " + remote.address().to_string() + ":" + std::to_string(remote.port()));
        }
        acceptTcp(acceptor);
    });
}

void FakeSimulator::Impl::acceptPipe() {
    pipe_->asyncAccept([this](std::unique_ptr<platform::AsyncByteStream> stream) {
        if (stopping_) return;
        if (!stream) {
            print("pipe: waiting for a client failed; the pipe is no longer served");
            return;
        }
        attach(std::move(stream), "pipe");
        acceptPipe();
    });
}

void FakeSimulator::Impl::attach(std::unique_ptr<platform::AsyncByteStream> stream, const std::string& name) {
    if (peer_) closePeer(peer_, "(replaced by a new client)");
    peer_ = std::make_shared<Peer>();
    peer_->stream = std::move(stream);
    peer_->name = name;
    print("connected " + name);
    read(peer_);
}

void FakeSimulator::Impl::read(const PeerPtr& peer) {
    peer->stream->asyncReadSome(peer->framer.freeSpace(), [this, peer](const error_code& error, std::size_t bytes) {
        if (peer->closed) return;
        if (error || bytes == 0) {
            closePeer(peer, "by client");
            return;
        }
        const simconnect::CloseReason reason = peer->framer.commit(bytes, [&](wire::Bytes packet) {
            onRequest(peer, packet);
            return true;
        });
        if (reason != simconnect::CloseReason::NONE) {
            closePeer(peer, "(bad request size)");
            return;
        }
        if (!peer->closed) read(peer);
    });
}

void FakeSimulator::Impl::closePeer(const PeerPtr& peer, const std::string& why) {
    if (peer->closed) return;
    peer->closed = true;
    peer->stream->close();
    if (peer_ == peer) peer_.reset();
    print("closed " + why);
}

void FakeSimulator::Impl::send(const PeerPtr& peer, wire::Packet packet) {
    if (peer->closed) return;
    peer->writes.push_back(std::move(packet));
    if (!peer->writing) writeNext(peer);
}

void FakeSimulator::Impl::writeNext(const PeerPtr& peer) {
    peer->writing = !peer->closed && !peer->writes.empty();
    if (!peer->writing) return;
    // A deque keeps its front in place while more is queued behind it.
    peer->stream->asyncWrite(peer->writes.front(), [this, peer](const error_code& error, std::size_t) {
        peer->writes.pop_front();
        if (error) {
            closePeer(peer, "by client");
            peer->writing = false;
            return;
        }
        writeNext(peer);
    });
}

void FakeSimulator::Impl::onRequest(const PeerPtr& peer, wire::Bytes packet) {
    const auto header = wire::decodeRequestHeader(packet);
    const std::uint32_t type = header ? header->packetId - wire::kPacketIdBase : 0;
    const std::uint32_t sequence = header ? header->sequence : 0;
    const auto malformed = [&](const char* name) {
        print(std::string("recv ") + name + " malformed (" + std::to_string(packet.size()) + " bytes)");
    };
    switch (static_cast<RequestType>(type)) {
    case RequestType::OPEN:
        if (const auto open = wire::decodeOpen(packet)) return onOpen(peer, *open);
        return malformed("Open");
    case RequestType::MAP_CLIENT_EVENT_TO_SIM_EVENT:
        if (const auto map = wire::decodeMapClientEventToSimEvent(packet)) {
            print("recv MapClientEventToSimEvent event=" + std::to_string(map->eventId) +
                  " name=" + quoted(map->eventName));
            peer->clientEvents[map->eventId] = upper(map->eventName);
            return;
        }
        return malformed("MapClientEventToSimEvent");
    case RequestType::TRANSMIT_CLIENT_EVENT:
        if (const auto transmit = wire::decodeTransmitClientEvent(packet)) return onTransmit(*peer, *transmit);
        return malformed("TransmitClientEvent");
    case RequestType::ADD_TO_DATA_DEFINITION:
        if (const auto add = wire::decodeAddToDataDefinition(packet)) return onAddToDataDefinition(peer, *add, sequence);
        return malformed("AddToDataDefinition");
    case RequestType::REQUEST_DATA_ON_SIM_OBJECT:
        if (const auto request = wire::decodeRequestDataOnSimObject(packet)) {
            return onRequestData(peer, *request, sequence);
        }
        return malformed("RequestDataOnSimObject");
    case RequestType::SUBSCRIBE_TO_SYSTEM_EVENT:
        if (const auto subscribe = wire::decodeSubscribeToSystemEvent(packet)) {
            print("recv SubscribeToSystemEvent event=" + std::to_string(subscribe->eventId) +
                  " name=" + quoted(subscribe->eventName));
            peer->subscriptions[upper(subscribe->eventName)] = subscribe->eventId;
            return;
        }
        return malformed("SubscribeToSystemEvent");
    case RequestType::ADD_TO_FACILITY_DEFINITION:
        if (const auto add = wire::decodeAddToFacilityDefinition(packet)) {
            print("recv AddToFacilityDefinition define=" + std::to_string(add->defineId) +
                  " name=" + quoted(add->fieldName));
            peer->facilityDefinitions[add->defineId].push_back(upper(add->fieldName));
            return;
        }
        return malformed("AddToFacilityDefinition");
    case RequestType::REQUEST_FACILITY_DATA:
        if (const auto request = wire::decodeRequestFacilityData(packet)) return answerFacility(peer, *request);
        return malformed("RequestFacilityData");
    }
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", header ? header->packetId : 0U);
    print(std::string("recv Unknown id=") + id + " size=" + std::to_string(packet.size()));
}

void FakeSimulator::Impl::onOpen(const PeerPtr& peer, const wire::OpenRequest& open) {
    print("recv Open name=" + quoted(open.clientName) + " version=" + std::to_string(open.versionMajor) + "." +
          std::to_string(open.versionMinor) + "." + std::to_string(open.buildMajor) + "." +
          std::to_string(open.buildMinor));
    wire::OpenMessage reply;
    reply.applicationName = options_.applicationName;
    reply.applicationVersionMajor = options_.versionMajor;
    reply.applicationVersionMinor = options_.versionMinor;
    reply.applicationBuildMajor = options_.buildMajor;
    reply.applicationBuildMinor = options_.buildMinor;
    reply.simConnectVersionMajor = open.versionMajor;
    reply.simConnectVersionMinor = open.versionMinor;
    reply.simConnectBuildMajor = open.buildMajor;
    reply.simConnectBuildMinor = open.buildMinor;
    send(peer, wire::encodeOpenMessage(reply));
    print("send Open name=" + quoted(reply.applicationName) + " version=" + std::to_string(options_.versionMajor) +
          "." + std::to_string(options_.versionMinor) + "." + std::to_string(options_.buildMajor) + "." +
          std::to_string(options_.buildMinor));
}

void FakeSimulator::Impl::onTransmit(const Peer& peer, const wire::TransmitClientEventRequest& transmit) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", transmit.flags);
    print("recv TransmitClientEvent object=" + std::to_string(transmit.objectId) +
          " event=" + std::to_string(transmit.eventId) + " data=" + std::to_string(transmit.data) +
          " group=" + std::to_string(transmit.groupId) + " flags=" + flags);
    const auto mapped = peer.clientEvents.find(transmit.eventId);
    const std::string event = mapped == peer.clientEvents.end() ? std::string() : mapped->second;
    if (event == "PAUSE_SET") setPaused(transmit.data != 0);
    if (event == "PAUSE_ON") setPaused(true);
    if (event == "PAUSE_OFF") setPaused(false);
    if (event == "PAUSE_TOGGLE") setPaused(!paused_);
}

void FakeSimulator::Impl::onAddToDataDefinition(const PeerPtr& peer, const wire::AddToDataDefinitionRequest& add,
                                                std::uint32_t sequence) {
    print("recv AddToDataDefinition define=" + std::to_string(add.defineId) + " name=" + quoted(add.datumName) +
          " units=" + quoted(add.unitsName) + " type=" + dataTypeName(add.dataType) +
          " epsilon=" + number(add.epsilon) + " datum=" + std::to_string(add.datumId));
    const auto datum = Datum::resolve(add.datumName, add.unitsName, add.dataType);
    if (!datum) return sendException(peer, kExceptionNameUnrecognized, sequence, 2);
    peer->definitions[add.defineId].push_back(*datum);
}

void FakeSimulator::Impl::onRequestData(const PeerPtr& peer, const wire::RequestDataOnSimObjectRequest& request,
                                        std::uint32_t sequence) {
    print("recv RequestDataOnSimObject request=" + std::to_string(request.requestId) +
          " define=" + std::to_string(request.defineId) + " object=" + std::to_string(request.objectId) +
          " period=" + periodName(request.period) + " flags=" + std::to_string(request.flags) +
          " origin=" + std::to_string(request.origin) + " interval=" + std::to_string(request.interval) +
          " limit=" + std::to_string(request.limit));
    // A request id given again replaces what it asked for before.
    peer->requests.erase(request.requestId);
    if (request.period == NEVER) return;
    if (!peer->definitions.count(request.defineId)) return sendException(peer, kExceptionUnrecognizedId, sequence, 2);
    DataRequest& data = peer->requests[request.requestId];
    data.request = request;
    data.nextDue = Clock::now();
    if (serve(peer, data, data.nextDue)) peer->requests.erase(request.requestId);
}

void FakeSimulator::Impl::sendException(const PeerPtr& peer, std::uint32_t exception, std::uint32_t sequence,
                                        std::uint32_t index) {
    send(peer, wire::encodeException({exception, sequence, index}));
    print("send Exception " + std::to_string(exception) + " send=" + std::to_string(sequence) +
          " index=" + std::to_string(index));
}

void FakeSimulator::Impl::answerFacility(const PeerPtr& peer, const wire::RequestFacilityDataRequest& request) {
    print("recv RequestFacilityData define=" + std::to_string(request.defineId) +
          " request=" + std::to_string(request.requestId) + " icao=" + quoted(request.icao) +
          " region=" + quoted(request.region));
    const Airport* airport = findAirport(request.icao);
    if (!answerFacilities_) {
        print("ignored RequestFacilityData request=" + std::to_string(request.requestId));
        return;
    }
    const auto definition = peer->facilityDefinitions.find(request.defineId);
    std::uint32_t unique = 0;
    std::size_t runways = 0;
    std::size_t thresholds = 0;
    if (airport && definition != peer->facilityDefinitions.end()) {
        // Each block holds the fields listed inside its OPEN ... CLOSE, in order.
        std::map<std::string, std::vector<std::string>> fields;
        std::vector<std::string> scopes;
        for (const std::string& entry : definition->second) {
            if (entry.rfind("OPEN ", 0) == 0) {
                scopes.push_back(entry.substr(5));
                fields[scopes.back()];
            } else if (entry.rfind("CLOSE ", 0) == 0) {
                if (!scopes.empty()) scopes.pop_back();
            } else if (!scopes.empty()) {
                fields[scopes.back()].push_back(entry);
            }
        }
        const auto block = [&](const std::string& scope, const auto& field) {
            wire::ByteWriter writer;
            for (const std::string& name : fields[scope]) field(name, writer, writer.size());
            return writer.take();
        };
        const auto item = [&](wire::FacilityDataType type, std::uint32_t parent, std::uint32_t index,
                              std::uint32_t count, const wire::Packet& data) {
            send(peer, wire::encodeFacilityData({request.requestId, ++unique, parent, static_cast<std::uint32_t>(type),
                                                 count > 0 ? 1U : 0U, index, count, data}));
            return unique;
        };
        const auto airportField = [&](const std::string& name, wire::ByteWriter& w, std::size_t at) {
            if (name == "LATITUDE") w.f64(at, airport->latitude);
            if (name == "LONGITUDE") w.f64(at, airport->longitude);
            if (name == "ALTITUDE") w.f64(at, airport->altitudeMeters);
            if (name == "MAGVAR") w.f32(at, airport->magneticVariation);
            if (name == "NAME64") w.text(at, 64, airport->name.c_str());
            if (name == "NAME") w.text(at, 32, airport->name.c_str());
            if (name == "ICAO") w.text(at, 8, airport->icao.c_str());
            if (name == "REGION") w.text(at, 8, airport->region.c_str());
            if (name == "N_RUNWAYS") w.i32(at, static_cast<std::int32_t>(airport->runways.size()));
        };
        if (fields.count("AIRPORT")) {
            const std::uint32_t airportId = item(wire::FacilityDataType::AIRPORT, 0, 0, 0, block("AIRPORT", airportField));
            for (std::size_t i = 0; fields.count("RUNWAY") && i < airport->runways.size(); ++i) {
                const Runway& runway = airport->runways[i];
                const auto runwayField = [&](const std::string& name, wire::ByteWriter& w, std::size_t at) {
                    if (name == "LATITUDE") w.f64(at, runway.latitude);
                    if (name == "LONGITUDE") w.f64(at, runway.longitude);
                    if (name == "ALTITUDE") w.f64(at, airport->altitudeMeters);
                    if (name == "HEADING") w.f32(at, runway.headingDegrees);
                    if (name == "LENGTH") w.f32(at, runway.lengthMeters);
                    if (name == "WIDTH") w.f32(at, runway.widthMeters);
                    if (name == "SURFACE") w.i32(at, runway.surface);
                    if (name == "PRIMARY_NUMBER") w.i32(at, runway.primary.number);
                    if (name == "PRIMARY_DESIGNATOR") w.i32(at, runway.primary.designator);
                    if (name == "SECONDARY_NUMBER") w.i32(at, runway.secondary.number);
                    if (name == "SECONDARY_DESIGNATOR") w.i32(at, runway.secondary.designator);
                };
                const std::uint32_t runwayId =
                    item(wire::FacilityDataType::RUNWAY, airportId, static_cast<std::uint32_t>(i),
                         static_cast<std::uint32_t>(airport->runways.size()), block("RUNWAY", runwayField));
                ++runways;
                for (const auto& [scope, end] : {std::pair{"PRIMARY_THRESHOLD", &runway.primary},
                                                 std::pair{"SECONDARY_THRESHOLD", &runway.secondary}}) {
                    if (!fields.count(scope)) continue;
                    const auto pavementField = [&](const std::string& name, wire::ByteWriter& w, std::size_t at) {
                        if (name == "LENGTH") w.f32(at, end->thresholdLengthMeters);
                        if (name == "WIDTH") w.f32(at, runway.widthMeters);
                        if (name == "ENABLE") w.i32(at, 1);
                    };
                    item(wire::FacilityDataType::PAVEMENT, runwayId, 0, 0, block(scope, pavementField));
                    ++thresholds;
                }
            }
        }
    }
    send(peer, wire::encodeFacilityDataEnd({request.requestId}));
    print("send Facility request=" + std::to_string(request.requestId) + " airport=" + (unique > 0 ? "1" : "0") +
          " runways=" + std::to_string(runways) + " thresholds=" + std::to_string(thresholds));
}

void FakeSimulator::Impl::tick() {
    if (stopping_) return;
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - lastTick_).count();
    lastTick_ = now;
    // A paused or crashed simulator stands still.
    if (!paused_ && !crashed_) scriptTime_ = std::min(scriptTime_ + elapsed * options_.timeScale, script_.length());
    if (const PeerPtr peer = peer_) {
        for (auto it = peer->requests.begin(); it != peer->requests.end();) {
            it = serve(peer, it->second, now) ? peer->requests.erase(it) : std::next(it);
        }
    }
    timer_.expires_at(now + kFrame);
    timer_.async_wait([this](const error_code& error) {
        if (!error) tick();
    });
}

bool FakeSimulator::Impl::serve(const PeerPtr& peer, DataRequest& data, Clock::time_point now) {
    const wire::RequestDataOnSimObjectRequest& request = data.request;
    if (request.period == ONCE) {
        sendData(peer, data);
        return true;
    }
    const Clock::duration period = request.period == SECOND ? Clock::duration(std::chrono::seconds(1)) : kFrame;
    if (now - data.nextDue > 5 * period) data.nextDue = now;  // no burst after a stall
    while (data.nextDue <= now) {
        // Every (interval + 1)th period counts, from period `origin` on.
        if (data.periods >= request.origin && (data.periods - request.origin) % (request.interval + 1ULL) == 0) {
            sendData(peer, data);
            if (request.limit != 0 && data.sent >= request.limit) return true;
        }
        ++data.periods;
        data.nextDue += period;
    }
    return false;
}

void FakeSimulator::Impl::sendData(const PeerPtr& peer, DataRequest& data) {
    const auto definition = peer->definitions.find(data.request.defineId);
    if (definition == peer->definitions.end()) return;
    const flight::State& state = script_.at(scriptTime_);
    const double touchdownTime = script_.phaseStart(flight::Phase::ROLLOUT);
    const flight::State* touchdown = scriptTime_ >= touchdownTime ? &script_.at(touchdownTime - 0.1) : nullptr;
    const Sample sample{state, touchdown, options_.title};
    wire::ByteWriter block;
    for (const Datum& datum : definition->second) datum.append(sample, block);
    // Definition 0 is the bridge's flight data, whose first datum is the latitude.
    const bool glitch = glitchNext_ && data.request.defineId == 0 && block.size() >= 8;
    if (glitch) {
        glitchNext_ = false;
        block.f64(0, 91.0);
        print("send Glitch request=" + std::to_string(data.request.requestId) + " latitude=91");
    }
    wire::Packet bytes = block.take();
    if (!glitch && (data.request.flags & kFlagChanged) != 0 && data.lastBlock == bytes) return;
    send(peer, wire::encodeSimObjectData({data.request.requestId, data.request.objectId, data.request.defineId,
                                          data.request.flags, 1, 1,
                                          static_cast<std::uint32_t>(definition->second.size()), bytes}));
    ++data.sent;
    if (options_.printData && data.request.defineId == 0 && bytes.size() >= 8) {
        char line[96];
        std::snprintf(line, sizeof line, "send Data latitude=%.6f at=%lld", wire::readF64(bytes.data()),
                      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 Clock::now().time_since_epoch())
                                                 .count()));
        print(line);
    }
    data.lastBlock = std::move(bytes);
}

void FakeSimulator::Impl::setPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    print(std::string("state paused=") + (paused ? "1" : "0"));
    systemEvent("Pause", paused ? 1 : 0);
}

void FakeSimulator::Impl::systemEvent(const std::string& name, std::uint32_t data) {
    if (!peer_) return;
    const auto subscription = peer_->subscriptions.find(upper(name));
    if (subscription == peer_->subscriptions.end()) return;
    send(peer_, wire::encodeEvent({kUnused, subscription->second, data}));
    print("send Event name=" + quoted(name) + " event=" + std::to_string(subscription->second) +
          " data=" + std::to_string(data));
}

bool FakeSimulator::Impl::command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    std::function<void()> action;
    const auto toClient = [this](std::function<void(const PeerPtr&)> act) {
        return [this, act] {
            if (peer_) {
                act(peer_);
            } else {
                print("error no client connected");
            }
        };
    };
    if (verb.empty()) return true;
    if (verb == "quit") {
        action = toClient([this](const PeerPtr& peer) {
            send(peer, wire::encodeQuit());
            print("send Quit");
        });
    } else if (std::uint32_t code = 0; verb == "exception" && (words >> code)) {
        action = toClient([this, code](const PeerPtr& peer) { sendException(peer, code, 0, 0); });
    } else if (verb == "bad-size") {
        action = toClient([this](const PeerPtr& peer) {
            wire::ByteWriter bad(wire::kMessageHeaderSize);
            bad.u32(0, 3);  // a size below the four bytes of the size itself
            send(peer, bad.take());
            print("send BadSize size=3");
        });
    } else if (verb == "close") {
        action = toClient([this](const PeerPtr& peer) { closePeer(peer, "by command"); });
    } else if (int paused = 0; verb == "pause" && (words >> paused)) {
        action = [this, paused] { setPaused(paused != 0); };
    } else if (verb == "crash") {
        action = [this] {
            crashed_ = true;
            print("state crashed=1");
            systemEvent("Crashed", 0);
        };
    } else if (verb == "stop") {
        action = [this] { systemEvent("SimStop", 0); };
    } else if (verb == "glitch") {
        action = [this] { glitchNext_ = true; };
    } else if (std::string mode; verb == "facilities" && (words >> mode) && (mode == "on" || mode == "off")) {
        action = [this, mode] {
            answerFacilities_ = mode == "on";
            print("state facilities=" + mode);
        };
    } else {
        return false;
    }
    asio::post(io_, action);
    return true;
}

FakeSimulator::FakeSimulator(SimulatorOptions options, Output output)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(output))) {}

FakeSimulator::~FakeSimulator() = default;

bool FakeSimulator::start(std::string& error) { return impl_->start(error); }
void FakeSimulator::stop() { impl_->stop(); }
std::uint16_t FakeSimulator::tcpPort() const { return impl_->tcpPort(); }
bool FakeSimulator::command(const std::string& line) { return impl_->command(line); }

const char* FakeSimulator::commandHelp() {
    return R"(  quit             send the quit message
  exception N      send an exception message with code N
  bad-size         send a message whose size field is 3 (the client must close)
  close            close the client's connection abruptly
  pause 1|0        pause or resume (the "Pause" system event follows)
  crash            crash: the flight stops, the "Crashed" system event follows
  stop             send the "SimStop" system event
  glitch           the next flight data block has latitude 91 (the bridge must drop it)
  facilities on|off  answer facility requests, or leave them unanswered
)";
}

}  // namespace navorel::fakesim
