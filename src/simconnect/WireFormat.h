#pragma once

// The bytes exchanged with the simulator: request packets (client to simulator)
// and messages (simulator to client). Integers are little-endian, floats IEEE
// 754, offsets count from the start of the packet or message, and each one
// carries its total size in its first four bytes.
//
// Both directions have encoders and decoders: the client library builds
// requests and decodes messages, the fake simulator does the opposite. Every
// decoder checks the size first and rejects a message too short for the fields
// it reads, so no decoder ever reads past the end of what it was given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace navorel::simconnect::wire {

using Bytes = std::span<const std::byte>;
using Packet = std::vector<std::byte>;

inline constexpr std::uint32_t kProtocolVersion = 5;
inline constexpr std::size_t kRequestHeaderSize = 16;
inline constexpr std::size_t kMessageHeaderSize = 12;
inline constexpr std::size_t kNameWidth = 256;
inline constexpr std::size_t kIcaoWidth = 16;
inline constexpr std::size_t kRegionWidth = 4;
inline constexpr std::uint32_t kPacketIdBase = 0xF0000000;

enum class RequestType : std::uint32_t {
    OPEN = 0x01,
    MAP_CLIENT_EVENT_TO_SIM_EVENT = 0x04,
    TRANSMIT_CLIENT_EVENT = 0x05,
    ADD_TO_DATA_DEFINITION = 0x0C,
    REQUEST_DATA_ON_SIM_OBJECT = 0x0E,
    SUBSCRIBE_TO_SYSTEM_EVENT = 0x17,
    ADD_TO_FACILITY_DEFINITION = 0x45,
    REQUEST_FACILITY_DATA = 0x46,
};

enum class MessageId : std::uint32_t {
    EXCEPTION = 1,
    OPEN = 2,
    QUIT = 3,
    EVENT = 4,
    SIM_OBJECT_DATA = 8,
    FACILITY_DATA = 28,
    FACILITY_DATA_END = 29,
};

enum class FacilityDataType : std::uint32_t { AIRPORT = 0, RUNWAY = 1, PAVEMENT = 23 };

// ---- little-endian fields ------------------------------------------------------

// Writes fields at fixed offsets into a zero-filled buffer that grows to fit.
class ByteWriter {
public:
    explicit ByteWriter(std::size_t size = 0) : bytes_(size) {}

    void u32(std::size_t offset, std::uint32_t value);
    // Consecutive fields from `offset` on.
    void u32s(std::size_t offset, std::initializer_list<std::uint32_t> values);
    void i32(std::size_t offset, std::int32_t value) { u32(offset, static_cast<std::uint32_t>(value)); }
    void f32(std::size_t offset, float value);
    void f64(std::size_t offset, double value);
    void bytes(std::size_t offset, Bytes data);
    // A NUL-terminated text in a field of `width` bytes, the rest zero; a null
    // pointer is the empty text. False (and nothing written) when the text
    // needs more than width - 1 characters.
    bool text(std::size_t offset, std::size_t width, const char* value);

    std::size_t size() const { return bytes_.size(); }
    Packet take() { return std::move(bytes_); }

private:
    std::byte* at(std::size_t offset, std::size_t length);
    Packet bytes_;
};

void writeU32(std::byte* at, std::uint32_t value);
std::uint32_t readU32(const std::byte* at);
float readF32(const std::byte* at);
double readF64(const std::byte* at);
// Text of a fixed-width field, up to its first NUL or the field's end.
std::string readText(const std::byte* at, std::size_t width);

// ---- requests (client to simulator) ---------------------------------------------

// The sequence number that follows `current`: 1 after 0 and after 0xFFFFFFFF.
std::uint32_t nextSequence(std::uint32_t current);
// Stamps a built request with its sequence number.
void setSequence(Packet& packet, std::uint32_t sequence);

// Builders. Each returns the whole packet with sequence number 0; nullopt when
// a text does not fit its field (nothing is to be sent then).
std::optional<Packet> buildOpen(const char* clientName);
std::optional<Packet> buildMapClientEventToSimEvent(std::uint32_t eventId, const char* eventName);
Packet buildTransmitClientEvent(std::uint32_t objectId, std::uint32_t eventId, std::uint32_t data,
                                std::uint32_t groupId, std::uint32_t flags);
std::optional<Packet> buildAddToDataDefinition(std::uint32_t defineId, const char* datumName, const char* unitsName,
                                               std::uint32_t dataType, float epsilon, std::uint32_t datumId);
Packet buildRequestDataOnSimObject(std::uint32_t requestId, std::uint32_t defineId, std::uint32_t objectId,
                                   std::uint32_t period, std::uint32_t flags, std::uint32_t origin,
                                   std::uint32_t interval, std::uint32_t limit);
std::optional<Packet> buildSubscribeToSystemEvent(std::uint32_t eventId, const char* eventName);
std::optional<Packet> buildAddToFacilityDefinition(std::uint32_t defineId, const char* fieldName);
std::optional<Packet> buildRequestFacilityData(std::uint32_t defineId, std::uint32_t requestId, const char* icao,
                                               const char* region);

struct RequestHeader {
    std::uint32_t size = 0;
    std::uint32_t version = 0;
    std::uint32_t packetId = 0;  // kPacketIdBase plus the RequestType
    std::uint32_t sequence = 0;
};
struct OpenRequest {
    std::string clientName;
    std::array<std::byte, 4> clientTag{};
    std::uint32_t versionMajor = 0, versionMinor = 0, buildMajor = 0, buildMinor = 0;
};
struct MapClientEventRequest {
    std::uint32_t eventId = 0;
    std::string eventName;
};
struct TransmitClientEventRequest {
    std::uint32_t objectId = 0, eventId = 0, data = 0, groupId = 0, flags = 0;
};
struct AddToDataDefinitionRequest {
    std::uint32_t defineId = 0;
    std::string datumName;
    std::string unitsName;
    std::uint32_t dataType = 0;
    float epsilon = 0.0F;
    std::uint32_t datumId = 0;
};
struct RequestDataOnSimObjectRequest {
    std::uint32_t requestId = 0, defineId = 0, objectId = 0, period = 0, flags = 0, origin = 0, interval = 0,
                  limit = 0;
};
struct SubscribeToSystemEventRequest {
    std::uint32_t eventId = 0;
    std::string eventName;
};
struct AddToFacilityDefinitionRequest {
    std::uint32_t defineId = 0;
    std::string fieldName;
};
struct RequestFacilityDataRequest {
    std::uint32_t defineId = 0, requestId = 0;
    std::string icao;
    std::string region;
};

std::optional<RequestHeader> decodeRequestHeader(Bytes packet);
std::optional<OpenRequest> decodeOpen(Bytes packet);
std::optional<MapClientEventRequest> decodeMapClientEventToSimEvent(Bytes packet);
std::optional<TransmitClientEventRequest> decodeTransmitClientEvent(Bytes packet);
std::optional<AddToDataDefinitionRequest> decodeAddToDataDefinition(Bytes packet);
std::optional<RequestDataOnSimObjectRequest> decodeRequestDataOnSimObject(Bytes packet);
std::optional<SubscribeToSystemEventRequest> decodeSubscribeToSystemEvent(Bytes packet);
std::optional<AddToFacilityDefinitionRequest> decodeAddToFacilityDefinition(Bytes packet);
std::optional<RequestFacilityDataRequest> decodeRequestFacilityData(Bytes packet);

// ---- messages (simulator to client) ---------------------------------------------

struct MessageHeader {
    std::uint32_t size = 0;
    std::uint32_t version = 0;
    std::uint32_t id = 0;  // a MessageId, or one this library does not know
};
struct ExceptionMessage {
    std::uint32_t exception = 0;
    std::uint32_t sendId = 0;  // sequence number of the offending request
    std::uint32_t index = 0;   // its parameter, 1-based
};
struct OpenMessage {
    std::string applicationName;
    std::uint32_t applicationVersionMajor = 0, applicationVersionMinor = 0;
    std::uint32_t applicationBuildMajor = 0, applicationBuildMinor = 0;
    std::uint32_t simConnectVersionMajor = 0, simConnectVersionMinor = 0;
    std::uint32_t simConnectBuildMajor = 0, simConnectBuildMinor = 0;
};
struct EventMessage {
    std::uint32_t groupId = 0;
    std::uint32_t eventId = 0;
    std::uint32_t data = 0;
};
// The data blocks of the two data messages point into the message they were
// decoded from and end where it ends.
struct SimObjectDataMessage {
    std::uint32_t requestId = 0, objectId = 0, defineId = 0, flags = 0, entryNumber = 0, outOf = 0,
                  defineCount = 0;
    Bytes data;
};
struct FacilityDataMessage {
    std::uint32_t userRequestId = 0, uniqueRequestId = 0, parentUniqueRequestId = 0, type = 0;
    std::uint32_t isListItem = 0, itemIndex = 0, listSize = 0;
    Bytes data;
};
struct FacilityDataEndMessage {
    std::uint32_t requestId = 0;
};

inline constexpr std::size_t kOpenMessageSize = 308;
inline constexpr std::size_t kSimObjectDataOffset = 40;
inline constexpr std::size_t kFacilityDataOffset = 40;

std::optional<MessageHeader> decodeMessageHeader(Bytes message);
std::optional<ExceptionMessage> decodeException(Bytes message);
std::optional<OpenMessage> decodeOpenMessage(Bytes message);
std::optional<EventMessage> decodeEvent(Bytes message);
std::optional<SimObjectDataMessage> decodeSimObjectData(Bytes message);
std::optional<FacilityDataMessage> decodeFacilityData(Bytes message);
std::optional<FacilityDataEndMessage> decodeFacilityDataEnd(Bytes message);

// Encoders of the simulator's end. An open message's name longer than 255
// characters is cut.
Packet encodeException(const ExceptionMessage& message);
Packet encodeOpenMessage(const OpenMessage& message);
Packet encodeQuit();
Packet encodeEvent(const EventMessage& message);
Packet encodeSimObjectData(const SimObjectDataMessage& message);
Packet encodeFacilityData(const FacilityDataMessage& message);
Packet encodeFacilityDataEnd(const FacilityDataEndMessage& message);

// ---- facility data blocks of the bridge's facility definition ------------------

inline constexpr std::size_t kAirportBlockSize = 112;
inline constexpr std::size_t kRunwayBlockSize = 56;
inline constexpr std::size_t kPavementBlockSize = 12;

struct AirportBlock {
    double latitude = 0, longitude = 0, altitudeMeters = 0;
    float magneticVariation = 0;
    std::string name, icao, region;
    std::int32_t runwayCount = 0;
};
struct RunwayBlock {
    double latitude = 0, longitude = 0, altitudeMeters = 0;
    float headingDegrees = 0, lengthMeters = 0, widthMeters = 0;
    std::int32_t surfaceCode = 0, primaryNumber = 0, primaryDesignatorCode = 0, secondaryNumber = 0,
                 secondaryDesignatorCode = 0;
};
struct PavementBlock {
    float lengthMeters = 0, widthMeters = 0;
    std::int32_t enabled = 0;
};

std::optional<AirportBlock> decodeAirportBlock(Bytes block);
std::optional<RunwayBlock> decodeRunwayBlock(Bytes block);
std::optional<PavementBlock> decodePavementBlock(Bytes block);

// Copies the start of a data block into a record laid out like it (a
// byte-packed telemetry record, for example), which the block's own bytes need
// not be aligned for. Nullopt when the block is shorter than the record.
template <typename Record>
std::optional<Record> copyBlock(Bytes block) {
    static_assert(std::is_trivially_copyable_v<Record> && std::is_default_constructible_v<Record>);
    if (block.size() < sizeof(Record)) return std::nullopt;
    Record record;
    std::memcpy(&record, block.data(), sizeof(Record));
    return record;
}

}  // namespace navorel::simconnect::wire
