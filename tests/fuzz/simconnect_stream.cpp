// What the simulator sends over SimConnect: a byte stream cut into messages by
// the framer, in chunks whose sizes come from the input, then every message
// through each decoder and record reader, and through the handler's dispatch
// to receivers that build the outbound messages (runway answers included).
// Input: a setup byte (receive limit; whether and when delivery refuses or
// throws), a count of chunk-size bytes, those bytes, then the stream.

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "../unit/msfs/ScriptedSimConnect.h"  // the library's side, handing framed messages to dispatch
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
namespace msfs = navorel::msfs;
using wire::Bytes;
constexpr std::size_t kCeiling = sc::MessageFramer::kCapacityCeiling;

// Each decoder on the same bytes: none may read outside them (ASan sees to it).
template <typename... Decode>
void decodeAll(Bytes bytes, Decode... decode) {
    ((void)decode(bytes), ...);
}

// A data block lies inside its message and runs to its end.
void checkTail(Bytes message, Bytes block) {
    FUZZ_CHECK(block.data() >= message.data() && block.data() + block.size() == message.data() + message.size());
}

void decodeEverything(Bytes m) {
    decodeAll(m, wire::decodeMessageHeader, wire::decodeException, wire::decodeOpenMessage, wire::decodeEvent,
              wire::decodeFacilityDataEnd, wire::decodeRequestHeader, wire::decodeOpen,
              wire::decodeMapClientEventToSimEvent, wire::decodeTransmitClientEvent, wire::decodeAddToDataDefinition,
              wire::decodeRequestDataOnSimObject, wire::decodeSubscribeToSystemEvent,
              wire::decodeAddToFacilityDefinition, wire::decodeRequestFacilityData);
    if (const auto data = wire::decodeSimObjectData(m)) {
        checkTail(m, data->data);
        decodeAll(data->data, msfs::readFlightData, msfs::readSystemsData, msfs::readEquipmentData,
                  msfs::readLandingData, msfs::readAlertData, msfs::readEnvironmentData,
                  wire::copyBlock<navorel::FlightData>);
        if (const auto info = msfs::readAircraftInfo(data->data)) {
            FUZZ_CHECK(std::memchr(info->title, '\0', sizeof info->title) != nullptr);
        }
    }
    if (const auto facility = wire::decodeFacilityData(m)) {
        checkTail(m, facility->data);
        decodeAll(facility->data, wire::decodeAirportBlock, wire::decodeRunwayBlock, wire::decodePavementBlock,
                  msfs::readAirport, msfs::readRunway, msfs::readPavement);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static constexpr std::array<std::uint32_t, 4> kLimits{sc::kDefaultMaxReceiveSize, 64, 300, kCeiling + 5};
    const std::uint32_t limit = kLimits[data[0] & 3];
    const bool refuse = (data[0] & 4) != 0;
    const bool throwOnce = (data[0] & 8) != 0;
    const std::size_t failAt = data[0] >> 4;  // the delivery that refuses or throws
    const std::size_t chunkCount = std::min<std::size_t>(data[1] % 8, size - 2);
    const std::uint8_t* chunks = data + 2;
    const auto* stream = reinterpret_cast<const std::byte*>(data + 2 + chunkCount);
    const std::size_t total = size - 2 - chunkCount;

    navorel::fuzz::ManualClock clock;
    navorel::test::SimConnectScript library;
    navorel::SimConnectHandler handler(std::make_unique<navorel::test::ScriptedConnector>(library),
                                       navorel::fuzz::silentLogger());
    navorel::fuzz::OutboundChecks outbound(handler, clock, false);
    navorel::JsonMessagePool pool;
    navorel::RunwayRequestManager runways(
        pool,
        {[&]() -> navorel::SimulatorProvider& { return handler; }, [] { return std::size_t{1}; },
         [](const nlohmann::json& message) { FUZZ_CHECK(navorel::fuzz::serializesStrictly(message)); }, [] {}},
        clock);
    runways.installFacilityCallbacks(handler);
    FUZZ_CHECK(handler.connect());
    handler.setActiveMode();
    FUZZ_CHECK(runways.handleRunwayRequest("KSFO").success);  // request 10000

    sc::MessageFramer framer(limit);
    std::size_t taken = 0;  // stream bytes delivered
    std::size_t calls = 0;
    const sc::MessageFramer::Deliver deliver = [&](std::span<const std::byte> message) {
        const std::size_t call = calls++;
        if (refuse && call == failAt) return false;
        if (throwOnce && call == failAt) throw std::runtime_error("delivery failed");
        // The next message of the stream, whole, no byte from elsewhere.
        FUZZ_CHECK(message.size() >= 4 && message.size() <= limit && message.size() < kCeiling);
        FUZZ_CHECK(message.size() == wire::readU32(message.data()) && message.size() <= total - taken);
        FUZZ_CHECK(std::memcmp(message.data(), stream + taken, message.size()) == 0);
        taken += message.size();
        decodeEverything(message);
        // The library dispatches messages that carry a whole header.
        if (message.size() >= wire::kMessageHeaderSize) library.inbox.emplace_back(message.begin(), message.end());
        return true;
    };
    sc::CloseReason end = sc::CloseReason::NONE;
    for (std::size_t fed = 0, chunk = 0; fed < total && end == sc::CloseReason::NONE; ++chunk) {
        const std::span<std::byte> space = framer.freeSpace();
        const std::size_t most = chunkCount == 0 || chunks[chunk % chunkCount] == 0 ? total : chunks[chunk % chunkCount];
        const std::size_t count = std::min({space.size(), total - fed, most});
        std::memcpy(space.data(), stream + fed, count);
        fed += count;
        try {
            end = framer.commit(count, deliver);
        } catch (const std::runtime_error&) {
            end = framer.commit(0, deliver);  // left consistent: the message comes again
        }
        if (library.inbox.size() > 8) handler.processMessages();
    }
    // It stops at a size out of bounds or a refused message, and only there.
    const std::size_t rest = total - taken;
    const std::uint32_t next = rest >= 4 ? wire::readU32(stream + taken) : 4;
    FUZZ_CHECK(end == (next < 4                                ? sc::CloseReason::MESSAGE_TOO_SMALL
                       : next > limit || next >= kCeiling     ? sc::CloseReason::MESSAGE_TOO_LARGE
                       : next <= rest                         ? sc::CloseReason::OUT_OF_MEMORY
                                                              : sc::CloseReason::NONE));
    FUZZ_CHECK(end == sc::CloseReason::NONE ? framer.pending() == rest : framer.commit(0, deliver) == end);

    handler.processMessages();
    runways.onFacilityDataEnd(navorel::RunwayRequestManager::kFirstRequestId);
    runways.expireRunwayRequests(clock.steadyNow() + std::chrono::seconds(10));
    handler.disconnect();
    return 0;
}
