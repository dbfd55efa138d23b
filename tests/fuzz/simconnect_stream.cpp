// What the simulator sends over SimConnect: a byte stream cut into messages by
// the framer, in chunks whose sizes come from the input, then every message
// through each body decoder and record reader, and through the handler's
// dispatch to receivers that build the outbound messages (runway answers
// included). Input: a setup byte (receive limit; whether and when delivery
// refuses or throws), a count of chunk-size bytes, those bytes, then the
// stream.

#include <array>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "OutboundChecks.h"
#include "app/RunwayRequests.h"
#include "core/JsonMessagePool.h"
#include "msfs/SimConnectData.h"
#include "msfs/SimConnectHandler.h"
#include "simconnect/MessageFramer.h"
#include "simconnect/Settings.h"
#include "simconnect/WireFormat.h"

namespace {

namespace sc = navorel::simconnect;
namespace wire = sc::wire;
using wire::Bytes;

// The library's side, reduced to handing the framed messages to dispatch.
struct Inbox {
    std::deque<wire::Packet> messages;
};

class FramedConnection final : public sc::Connection {
public:
    explicit FramedConnection(Inbox& inbox) : inbox_(inbox) {}
    sc::Result mapClientEventToSimEvent(std::uint32_t, const char*) override { return sc::result::OK; }
    sc::Result transmitClientEvent(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override {
        return sc::result::OK;
    }
    sc::Result addToDataDefinition(std::uint32_t, const char*, const char*, sc::DataType, float,
                                   std::uint32_t) override {
        return sc::result::OK;
    }
    sc::Result requestDataOnSimObject(std::uint32_t, std::uint32_t, std::uint32_t, sc::Period, std::uint32_t,
                                      std::uint32_t, std::uint32_t, std::uint32_t) override {
        return sc::result::OK;
    }
    sc::Result subscribeToSystemEvent(std::uint32_t, const char*) override { return sc::result::OK; }
    sc::Result addToFacilityDefinition(std::uint32_t, const char*) override { return sc::result::OK; }
    sc::Result requestFacilityData(std::uint32_t, std::uint32_t, const char*, const char*) override {
        return sc::result::OK;
    }
    sc::Result callDispatch(const sc::DispatchProcedure& procedure) override {
        std::deque<wire::Packet> messages;
        messages.swap(inbox_.messages);
        for (const wire::Packet& m : messages) procedure(m.data(), static_cast<std::uint32_t>(m.size()));
        return sc::result::OK;
    }
    sc::Result close() override { return sc::result::OK; }

private:
    Inbox& inbox_;
};

class FramedConnector final : public sc::Connector {
public:
    explicit FramedConnector(Inbox& inbox) : inbox_(inbox) {}
    sc::Result open(std::unique_ptr<sc::Connection>& connection, const char*, std::function<void()>,
                    std::uint32_t) override {
        connection = std::make_unique<FramedConnection>(inbox_);
        return sc::result::OK;
    }

private:
    Inbox& inbox_;
};

// A part of a message lies inside it and runs to its end.
void checkTail(Bytes message, Bytes part) {
    FUZZ_CHECK(part.data() >= message.data());
    FUZZ_CHECK(part.data() + part.size() == message.data() + message.size());
}

template <typename Decoded>
void checkFixedSize(const std::optional<Decoded>& decoded, Bytes bytes, std::size_t least) {
    FUZZ_CHECK(decoded.has_value() == (bytes.size() >= least));
}

// Every decoder of the wire format on one message, with what each promises.
void decodeEverything(Bytes m) {
    FUZZ_CHECK(wire::decodeMessageHeader(m).has_value() == (m.size() >= wire::kMessageHeaderSize));
    checkFixedSize(wire::decodeException(m), m, 16);
    checkFixedSize(wire::decodeEvent(m), m, 24);
    checkFixedSize(wire::decodeFacilityDataEnd(m), m, 16);
    if (const auto open = wire::decodeOpenMessage(m)) {
        FUZZ_CHECK(open->applicationName.size() <= wire::kNameWidth);
        FUZZ_CHECK(open->applicationName.find('\0') == std::string::npos);
        // Encoding what was decoded gives the same fields back (a name that
        // fills the whole field loses its last byte to the terminator).
        const wire::Packet again = wire::encodeOpenMessage(*open);
        const auto reopened = wire::decodeOpenMessage(again);
        FUZZ_CHECK(reopened && reopened->applicationName == open->applicationName.substr(0, wire::kNameWidth - 1) &&
                   reopened->applicationBuildMinor == open->applicationBuildMinor);
    }
    if (const auto data = wire::decodeSimObjectData(m)) {
        checkTail(m, data->data);
        FUZZ_CHECK(data->data.size() == m.size() - wire::kSimObjectDataOffset);
        const wire::Packet again = wire::encodeSimObjectData(*data);
        FUZZ_CHECK(again.size() == m.size() && std::memcmp(again.data() + 12, m.data() + 12, m.size() - 12) == 0);
        namespace msfs = navorel::msfs;
        const Bytes b = data->data;
        FUZZ_CHECK(msfs::readFlightData(b).has_value() == (b.size() >= 14 * 8));
        FUZZ_CHECK(msfs::readSystemsData(b).has_value() == (b.size() >= 13 * 8 + 4));
        FUZZ_CHECK(msfs::readEquipmentData(b).has_value() == (b.size() >= 11 * 8));
        FUZZ_CHECK(msfs::readLandingData(b).has_value() == (b.size() >= 6 * 8));
        FUZZ_CHECK(msfs::readAlertData(b).has_value() == (b.size() >= 3 * 8));
        FUZZ_CHECK(msfs::readEnvironmentData(b).has_value() == (b.size() >= 2 * 4 + 5 * 8));
        if (const auto info = msfs::readAircraftInfo(b)) {
            FUZZ_CHECK(std::memchr(info->title, '\0', sizeof info->title) != nullptr);
            FUZZ_CHECK(std::memcmp(info->title, b.data(), std::strlen(info->title)) == 0);
        } else {
            FUZZ_CHECK(b.size() < 256);
        }
        if (const auto block = wire::copyBlock<navorel::FlightData>(b)) FUZZ_CHECK(b.size() >= sizeof *block);
    }
    if (const auto facility = wire::decodeFacilityData(m)) {
        checkTail(m, facility->data);
        const Bytes b = facility->data;
        namespace msfs = navorel::msfs;
        checkFixedSize(wire::decodeAirportBlock(b), b, wire::kAirportBlockSize);
        checkFixedSize(wire::decodeRunwayBlock(b), b, wire::kRunwayBlockSize);
        checkFixedSize(wire::decodePavementBlock(b), b, wire::kPavementBlockSize);
        checkFixedSize(msfs::readAirport(b), b, wire::kAirportBlockSize);
        checkFixedSize(msfs::readRunway(b), b, wire::kRunwayBlockSize);
        checkFixedSize(msfs::readPavement(b), b, wire::kPavementBlockSize);
        if (const auto airport = wire::decodeAirportBlock(b)) {
            FUZZ_CHECK(airport->name.size() <= 64 && airport->icao.size() <= 8 && airport->region.size() <= 8);
        }
    }
    // The simulator's end reads the client's requests with the same care.
    if (const auto header = wire::decodeRequestHeader(m)) FUZZ_CHECK(m.size() >= wire::kRequestHeaderSize);
    if (const auto open = wire::decodeOpen(m)) FUZZ_CHECK(open->clientName.size() <= wire::kNameWidth);
    if (const auto map = wire::decodeMapClientEventToSimEvent(m)) FUZZ_CHECK(map->eventName.size() <= wire::kNameWidth);
    (void)wire::decodeTransmitClientEvent(m);
    if (const auto add = wire::decodeAddToDataDefinition(m)) {
        FUZZ_CHECK(add->datumName.size() <= wire::kNameWidth && add->unitsName.size() <= wire::kNameWidth);
    }
    (void)wire::decodeRequestDataOnSimObject(m);
    (void)wire::decodeSubscribeToSystemEvent(m);
    (void)wire::decodeAddToFacilityDefinition(m);
    if (const auto facility = wire::decodeRequestFacilityData(m)) {
        FUZZ_CHECK(facility->icao.size() <= wire::kIcaoWidth && facility->region.size() <= wire::kRegionWidth);
    }
}

struct DeliveryRule {
    bool refuse = false;
    bool throwOnce = false;
    std::size_t at = 0;  // index of the delivery that refuses or throws
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    navorel::fuzz::silenceGlobalLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static constexpr std::array<std::uint32_t, 4> kLimits{sc::kDefaultMaxReceiveSize, 64, 300,
                                                          sc::MessageFramer::kCapacityCeiling + 5};
    const std::uint32_t limit = kLimits[data[0] & 3];
    DeliveryRule rule{(data[0] & 4) != 0, (data[0] & 8) != 0, static_cast<std::size_t>(data[0] >> 4)};
    const std::size_t chunkCount = std::min<std::size_t>(data[1] % 8, size - 2);
    const std::uint8_t* chunks = data + 2;
    const auto* stream = reinterpret_cast<const std::byte*>(data + 2 + chunkCount);
    const std::size_t total = size - 2 - chunkCount;

    // The messages the stream holds and how it ends, read the plain way.
    std::vector<std::pair<std::size_t, std::size_t>> expected;  // offset, size
    sc::CloseReason expectedEnd = sc::CloseReason::NONE;
    for (std::size_t at = 0; total - at >= 4;) {
        const std::uint32_t messageSize = wire::readU32(stream + at);
        if (messageSize < 4) {
            expectedEnd = sc::CloseReason::MESSAGE_TOO_SMALL;
            break;
        }
        if (messageSize > limit || messageSize >= sc::MessageFramer::kCapacityCeiling) {
            expectedEnd = sc::CloseReason::MESSAGE_TOO_LARGE;
            break;
        }
        if (total - at < messageSize) break;
        expected.emplace_back(at, messageSize);
        at += messageSize;
    }
    if (rule.refuse && rule.at < expected.size()) {
        expected.resize(rule.at);
        expectedEnd = sc::CloseReason::OUT_OF_MEMORY;
    }

    navorel::fuzz::ManualClock clock;
    Inbox inbox;
    navorel::SimConnectHandler handler(std::make_unique<FramedConnector>(inbox), navorel::fuzz::silentLogger());
    navorel::fuzz::OutboundChecks outbound(clock, false);
    outbound.attachTo(handler);
    navorel::JsonMessagePool pool;
    navorel::RunwayRequestManager runways(
        pool,
        {[&]() -> navorel::SimulatorProvider& { return handler; }, [] { return std::size_t{1}; },
         [](const nlohmann::json& message) { (void)navorel::fuzz::serializeStrictly(message); }, [] {}},
        clock);
    runways.installFacilityCallbacks(handler);
    FUZZ_CHECK(handler.connect());
    handler.setActiveMode();
    FUZZ_CHECK(runways.handleRunwayRequest("KSFO").success);  // request 10000

    sc::MessageFramer framer(limit);
    std::size_t delivered = 0;  // messages taken
    std::size_t calls = 0;
    bool thrown = false;
    const sc::MessageFramer::Deliver deliver = [&](std::span<const std::byte> message) {
        const std::size_t call = calls++;
        FUZZ_CHECK(delivered < expected.size() || (rule.refuse && call == rule.at));
        if (rule.refuse && call == rule.at) return false;
        if (rule.throwOnce && !thrown && call == rule.at) {
            thrown = true;
            throw std::runtime_error("delivery failed");
        }
        // Exactly the next message of the stream: no byte from elsewhere.
        const auto [offset, messageSize] = expected[delivered];
        FUZZ_CHECK(message.size() == messageSize);
        FUZZ_CHECK(message.size() >= 4 && message.size() <= limit && message.size() < sc::MessageFramer::kCapacityCeiling);
        FUZZ_CHECK(std::memcmp(message.data(), stream + offset, messageSize) == 0);
        ++delivered;
        decodeEverything(message);
        // The library dispatches messages that carry a whole header.
        if (message.size() >= wire::kMessageHeaderSize) inbox.messages.emplace_back(message.begin(), message.end());
        return true;
    };

    sc::CloseReason end = sc::CloseReason::NONE;
    std::size_t fed = 0;
    std::size_t chunk = 0;
    while (fed < total && end == sc::CloseReason::NONE) {
        const std::span<std::byte> space = framer.freeSpace();
        FUZZ_CHECK(!space.empty());
        std::size_t count = std::min(space.size(), total - fed);
        if (chunkCount > 0 && chunks[chunk % chunkCount] != 0) count = std::min<std::size_t>(count, chunks[chunk % chunkCount]);
        ++chunk;
        std::memcpy(space.data(), stream + fed, count);
        fed += count;
        try {
            end = framer.commit(count, deliver);
        } catch (const std::runtime_error&) {
            // Consistent after a throw: the message comes again.
            end = framer.commit(0, deliver);
        }
        FUZZ_CHECK(framer.capacity() < sc::MessageFramer::kCapacityCeiling + sc::MessageFramer::kGrowthStep);
        if (inbox.messages.size() > 8) handler.processMessages();
    }
    FUZZ_CHECK(end == expectedEnd);
    FUZZ_CHECK(delivered == expected.size());
    if (end == sc::CloseReason::NONE) {
        const std::size_t used = expected.empty() ? 0 : expected.back().first + expected.back().second;
        FUZZ_CHECK(framer.pending() == total - used);
    }
    // Once failed, the framer stays failed.
    if (end != sc::CloseReason::NONE) FUZZ_CHECK(framer.commit(0, deliver) == end);

    handler.processMessages();
    runways.onFacilityDataEnd(navorel::RunwayRequestManager::kFirstRequestId);
    runways.expireRunwayRequests(clock.steadyNow() + std::chrono::seconds(10));
    handler.disconnect();
    return 0;
}
