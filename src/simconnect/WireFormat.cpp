#include "simconnect/WireFormat.h"

#include <bit>

namespace navorel::simconnect::wire {

namespace {

// Request sizes.
constexpr std::size_t kOpenSize = 296;
constexpr std::size_t kNamedRequestSize = 276;  // an id and one name
constexpr std::size_t kTransmitSize = 36;
constexpr std::size_t kDataDefinitionSize = 544;
constexpr std::size_t kDataRequestSize = 48;
constexpr std::size_t kFacilityRequestSize = 44;

// The fixed part of the open request.
constexpr std::array<std::byte, 4> kClientTag{std::byte{0x00}, std::byte{0x48}, std::byte{0x4B}, std::byte{0x00}};
constexpr std::uint32_t kClientVersionMajor = 11;
constexpr std::uint32_t kClientVersionMinor = 0;
constexpr std::uint32_t kClientBuildMajor = 62651;
constexpr std::uint32_t kClientBuildMinor = 3;

// Message sizes: the least a decoder accepts, and what the encoders write.
constexpr std::size_t kExceptionCodeEnd = 16;
constexpr std::size_t kExceptionSize = 24;
constexpr std::size_t kOpenApplicationEnd = 284;
constexpr std::size_t kOpenSimConnectEnd = 300;
constexpr std::size_t kEventSize = 24;
constexpr std::size_t kFacilityEndSize = 16;

ByteWriter request(RequestType type, std::size_t size) {
    ByteWriter writer(size);
    writer.u32s(0, {static_cast<std::uint32_t>(size), kProtocolVersion, kPacketIdBase | static_cast<std::uint32_t>(type)});
    return writer;
}

ByteWriter message(MessageId id, std::size_t size) {
    ByteWriter writer(size);
    writer.u32s(0, {static_cast<std::uint32_t>(size), kProtocolVersion, static_cast<std::uint32_t>(id)});
    return writer;
}

// A message whose body is `fields` from offset 12 on, then `data`.
Packet fieldsMessage(MessageId id, std::initializer_list<std::uint32_t> fields, Bytes data = {}) {
    const std::size_t dataOffset = kMessageHeaderSize + 4 * fields.size();
    ByteWriter writer = message(id, dataOffset + data.size());
    writer.u32s(kMessageHeaderSize, fields);
    writer.bytes(dataOffset, data);
    return writer.take();
}

std::optional<Packet> namedRequest(RequestType type, std::uint32_t id, const char* name) {
    ByteWriter writer = request(type, kNamedRequestSize);
    writer.u32(16, id);
    if (!writer.text(20, kNameWidth, name)) return std::nullopt;
    return writer.take();
}

// A request of `type` at least `size` bytes long; its header is not checked
// further, as a simulator takes whatever id it is given.
bool isRequest(Bytes packet, RequestType type, std::size_t size) {
    return packet.size() >= size && readU32(packet.data() + 8) == (kPacketIdBase | static_cast<std::uint32_t>(type));
}

std::uint32_t u32(Bytes bytes, std::size_t offset) { return readU32(bytes.data() + offset); }

// Reads consecutive fields from `offset` on.
void u32s(Bytes bytes, std::size_t offset, std::initializer_list<std::uint32_t*> fields) {
    for (std::uint32_t* field : fields) {
        *field = u32(bytes, offset);
        offset += 4;
    }
}

}  // namespace

// ---- little-endian fields ------------------------------------------------------

std::byte* ByteWriter::at(std::size_t offset, std::size_t length) {
    if (bytes_.size() < offset + length) bytes_.resize(offset + length);
    return bytes_.data() + offset;
}

void ByteWriter::u32(std::size_t offset, std::uint32_t value) { writeU32(at(offset, 4), value); }

void ByteWriter::u32s(std::size_t offset, std::initializer_list<std::uint32_t> values) {
    for (const std::uint32_t value : values) {
        u32(offset, value);
        offset += 4;
    }
}

void ByteWriter::f32(std::size_t offset, float value) { u32(offset, std::bit_cast<std::uint32_t>(value)); }

void ByteWriter::f64(std::size_t offset, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    u32(offset, static_cast<std::uint32_t>(bits));
    u32(offset + 4, static_cast<std::uint32_t>(bits >> 32));
}

void ByteWriter::bytes(std::size_t offset, Bytes data) {
    if (!data.empty()) std::memcpy(at(offset, data.size()), data.data(), data.size());
}

bool ByteWriter::text(std::size_t offset, std::size_t width, const char* value) {
    std::size_t length = 0;
    // Bounded scan: the caller's text is never read past the field's width.
    while (value != nullptr && length < width && value[length] != '\0') ++length;
    if (length >= width) return false;
    std::byte* out = at(offset, width);
    std::memset(out, 0, width);
    if (length > 0) std::memcpy(out, value, length);
    return true;
}

void writeU32(std::byte* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint32_t readU32(const std::byte* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | std::to_integer<std::uint32_t>(at[i]);
    return value;
}

float readF32(const std::byte* at) { return std::bit_cast<float>(readU32(at)); }

double readF64(const std::byte* at) {
    const std::uint64_t bits = readU32(at) | (static_cast<std::uint64_t>(readU32(at + 4)) << 32);
    return std::bit_cast<double>(bits);
}

std::string readText(const std::byte* at, std::size_t width) {
    std::size_t length = 0;
    while (length < width && at[length] != std::byte{0}) ++length;
    return std::string(reinterpret_cast<const char*>(at), length);
}

// ---- requests ---------------------------------------------------------------------

std::uint32_t nextSequence(std::uint32_t current) { return current == 0xFFFFFFFF ? 1 : current + 1; }

void setSequence(Packet& packet, std::uint32_t sequence) {
    if (packet.size() >= kRequestHeaderSize) writeU32(packet.data() + 12, sequence);
}

std::optional<Packet> buildOpen(const char* clientName) {
    ByteWriter writer = request(RequestType::OPEN, kOpenSize);
    if (!writer.text(16, kNameWidth, clientName)) return std::nullopt;
    writer.u32(272, 0);
    writer.bytes(276, kClientTag);
    writer.u32s(280, {kClientVersionMajor, kClientVersionMinor, kClientBuildMajor, kClientBuildMinor});
    return writer.take();
}

std::optional<Packet> buildMapClientEventToSimEvent(std::uint32_t eventId, const char* eventName) {
    return namedRequest(RequestType::MAP_CLIENT_EVENT_TO_SIM_EVENT, eventId, eventName);
}

Packet buildTransmitClientEvent(std::uint32_t objectId, std::uint32_t eventId, std::uint32_t data,
                                std::uint32_t groupId, std::uint32_t flags) {
    ByteWriter writer = request(RequestType::TRANSMIT_CLIENT_EVENT, kTransmitSize);
    writer.u32s(16, {objectId, eventId, data, groupId, flags});
    return writer.take();
}

std::optional<Packet> buildAddToDataDefinition(std::uint32_t defineId, const char* datumName, const char* unitsName,
                                               std::uint32_t dataType, float epsilon, std::uint32_t datumId) {
    ByteWriter writer = request(RequestType::ADD_TO_DATA_DEFINITION, kDataDefinitionSize);
    writer.u32(16, defineId);
    if (!writer.text(20, kNameWidth, datumName) || !writer.text(276, kNameWidth, unitsName)) return std::nullopt;
    writer.u32(532, dataType);
    writer.f32(536, epsilon);
    writer.u32(540, datumId);
    return writer.take();
}

Packet buildRequestDataOnSimObject(std::uint32_t requestId, std::uint32_t defineId, std::uint32_t objectId,
                                   std::uint32_t period, std::uint32_t flags, std::uint32_t origin,
                                   std::uint32_t interval, std::uint32_t limit) {
    ByteWriter writer = request(RequestType::REQUEST_DATA_ON_SIM_OBJECT, kDataRequestSize);
    writer.u32s(16, {requestId, defineId, objectId, period, flags, origin, interval, limit});
    return writer.take();
}

std::optional<Packet> buildSubscribeToSystemEvent(std::uint32_t eventId, const char* eventName) {
    return namedRequest(RequestType::SUBSCRIBE_TO_SYSTEM_EVENT, eventId, eventName);
}

std::optional<Packet> buildAddToFacilityDefinition(std::uint32_t defineId, const char* fieldName) {
    return namedRequest(RequestType::ADD_TO_FACILITY_DEFINITION, defineId, fieldName);
}

std::optional<Packet> buildRequestFacilityData(std::uint32_t defineId, std::uint32_t requestId, const char* icao,
                                               const char* region) {
    ByteWriter writer = request(RequestType::REQUEST_FACILITY_DATA, kFacilityRequestSize);
    writer.u32(16, defineId);
    writer.u32(20, requestId);
    if (!writer.text(24, kIcaoWidth, icao) || !writer.text(40, kRegionWidth, region)) return std::nullopt;
    return writer.take();
}

std::optional<RequestHeader> decodeRequestHeader(Bytes packet) {
    if (packet.size() < kRequestHeaderSize) return std::nullopt;
    return RequestHeader{u32(packet, 0), u32(packet, 4), u32(packet, 8), u32(packet, 12)};
}

std::optional<OpenRequest> decodeOpen(Bytes packet) {
    if (!isRequest(packet, RequestType::OPEN, kOpenSize)) return std::nullopt;
    OpenRequest open;
    open.clientName = readText(packet.data() + 16, kNameWidth);
    std::memcpy(open.clientTag.data(), packet.data() + 276, open.clientTag.size());
    u32s(packet, 280, {&open.versionMajor, &open.versionMinor, &open.buildMajor, &open.buildMinor});
    return open;
}

std::optional<MapClientEventRequest> decodeMapClientEventToSimEvent(Bytes packet) {
    if (!isRequest(packet, RequestType::MAP_CLIENT_EVENT_TO_SIM_EVENT, kNamedRequestSize)) return std::nullopt;
    return MapClientEventRequest{u32(packet, 16), readText(packet.data() + 20, kNameWidth)};
}

std::optional<TransmitClientEventRequest> decodeTransmitClientEvent(Bytes packet) {
    if (!isRequest(packet, RequestType::TRANSMIT_CLIENT_EVENT, kTransmitSize)) return std::nullopt;
    return TransmitClientEventRequest{u32(packet, 16), u32(packet, 20), u32(packet, 24), u32(packet, 28),
                                      u32(packet, 32)};
}

std::optional<AddToDataDefinitionRequest> decodeAddToDataDefinition(Bytes packet) {
    if (!isRequest(packet, RequestType::ADD_TO_DATA_DEFINITION, kDataDefinitionSize)) return std::nullopt;
    return AddToDataDefinitionRequest{u32(packet, 16), readText(packet.data() + 20, kNameWidth),
                                      readText(packet.data() + 276, kNameWidth), u32(packet, 532),
                                      readF32(packet.data() + 536), u32(packet, 540)};
}

std::optional<RequestDataOnSimObjectRequest> decodeRequestDataOnSimObject(Bytes packet) {
    if (!isRequest(packet, RequestType::REQUEST_DATA_ON_SIM_OBJECT, kDataRequestSize)) return std::nullopt;
    return RequestDataOnSimObjectRequest{u32(packet, 16), u32(packet, 20), u32(packet, 24), u32(packet, 28),
                                         u32(packet, 32), u32(packet, 36), u32(packet, 40), u32(packet, 44)};
}

std::optional<SubscribeToSystemEventRequest> decodeSubscribeToSystemEvent(Bytes packet) {
    if (!isRequest(packet, RequestType::SUBSCRIBE_TO_SYSTEM_EVENT, kNamedRequestSize)) return std::nullopt;
    return SubscribeToSystemEventRequest{u32(packet, 16), readText(packet.data() + 20, kNameWidth)};
}

std::optional<AddToFacilityDefinitionRequest> decodeAddToFacilityDefinition(Bytes packet) {
    if (!isRequest(packet, RequestType::ADD_TO_FACILITY_DEFINITION, kNamedRequestSize)) return std::nullopt;
    return AddToFacilityDefinitionRequest{u32(packet, 16), readText(packet.data() + 20, kNameWidth)};
}

std::optional<RequestFacilityDataRequest> decodeRequestFacilityData(Bytes packet) {
    if (!isRequest(packet, RequestType::REQUEST_FACILITY_DATA, kFacilityRequestSize)) return std::nullopt;
    return RequestFacilityDataRequest{u32(packet, 16), u32(packet, 20), readText(packet.data() + 24, kIcaoWidth),
                                      readText(packet.data() + 40, kRegionWidth)};
}

// ---- messages ---------------------------------------------------------------------

std::optional<MessageHeader> decodeMessageHeader(Bytes message) {
    if (message.size() < kMessageHeaderSize) return std::nullopt;
    return MessageHeader{u32(message, 0), u32(message, 4), u32(message, 8)};
}

std::optional<ExceptionMessage> decodeException(Bytes message) {
    if (message.size() < kExceptionCodeEnd) return std::nullopt;
    ExceptionMessage exception{u32(message, 12), 0, 0};
    if (message.size() >= kExceptionSize) {
        exception.sendId = u32(message, 16);
        exception.index = u32(message, 20);
    }
    return exception;
}

std::optional<OpenMessage> decodeOpenMessage(Bytes message) {
    if (message.size() < kOpenApplicationEnd) return std::nullopt;
    OpenMessage open;
    open.applicationName = readText(message.data() + 12, kNameWidth);
    u32s(message, 268, {&open.applicationVersionMajor, &open.applicationVersionMinor, &open.applicationBuildMajor,
                        &open.applicationBuildMinor});
    if (message.size() >= kOpenSimConnectEnd) {
        u32s(message, 284, {&open.simConnectVersionMajor, &open.simConnectVersionMinor, &open.simConnectBuildMajor,
                            &open.simConnectBuildMinor});
    }
    return open;
}

std::optional<EventMessage> decodeEvent(Bytes message) {
    if (message.size() < kEventSize) return std::nullopt;
    return EventMessage{u32(message, 12), u32(message, 16), u32(message, 20)};
}

std::optional<SimObjectDataMessage> decodeSimObjectData(Bytes message) {
    if (message.size() < kSimObjectDataOffset) return std::nullopt;
    return SimObjectDataMessage{u32(message, 12), u32(message, 16), u32(message, 20),
                                u32(message, 24), u32(message, 28), u32(message, 32),
                                u32(message, 36), message.subspan(kSimObjectDataOffset)};
}

std::optional<FacilityDataMessage> decodeFacilityData(Bytes message) {
    if (message.size() < kFacilityDataOffset) return std::nullopt;
    return FacilityDataMessage{u32(message, 12), u32(message, 16), u32(message, 20),
                               u32(message, 24), u32(message, 28), u32(message, 32),
                               u32(message, 36), message.subspan(kFacilityDataOffset)};
}

std::optional<FacilityDataEndMessage> decodeFacilityDataEnd(Bytes message) {
    if (message.size() < kFacilityEndSize) return std::nullopt;
    return FacilityDataEndMessage{u32(message, 12)};
}

Packet encodeException(const ExceptionMessage& exception) {
    return fieldsMessage(MessageId::EXCEPTION, {exception.exception, exception.sendId, exception.index});
}

Packet encodeOpenMessage(const OpenMessage& open) {
    ByteWriter writer = message(MessageId::OPEN, kOpenMessageSize);
    const std::string name = open.applicationName.substr(0, kNameWidth - 1);
    writer.text(12, kNameWidth, name.c_str());
    writer.u32s(268, {open.applicationVersionMajor, open.applicationVersionMinor, open.applicationBuildMajor,
                      open.applicationBuildMinor, open.simConnectVersionMajor, open.simConnectVersionMinor,
                      open.simConnectBuildMajor, open.simConnectBuildMinor});
    return writer.take();
}

Packet encodeQuit() { return fieldsMessage(MessageId::QUIT, {}); }

Packet encodeEvent(const EventMessage& event) {
    return fieldsMessage(MessageId::EVENT, {event.groupId, event.eventId, event.data});
}

Packet encodeSimObjectData(const SimObjectDataMessage& data) {
    return fieldsMessage(MessageId::SIM_OBJECT_DATA,
                         {data.requestId, data.objectId, data.defineId, data.flags, data.entryNumber, data.outOf,
                          data.defineCount},
                         data.data);
}

Packet encodeFacilityData(const FacilityDataMessage& data) {
    return fieldsMessage(MessageId::FACILITY_DATA,
                         {data.userRequestId, data.uniqueRequestId, data.parentUniqueRequestId, data.type,
                          data.isListItem, data.itemIndex, data.listSize},
                         data.data);
}

Packet encodeFacilityDataEnd(const FacilityDataEndMessage& end) {
    return fieldsMessage(MessageId::FACILITY_DATA_END, {end.requestId});
}

// ---- facility data blocks ---------------------------------------------------------

std::optional<AirportBlock> decodeAirportBlock(Bytes block) {
    if (block.size() < kAirportBlockSize) return std::nullopt;
    const std::byte* b = block.data();
    return AirportBlock{readF64(b),          readF64(b + 8),     readF64(b + 16),
                        readF32(b + 24),     readText(b + 28, 64), readText(b + 92, 8),
                        readText(b + 100, 8), static_cast<std::int32_t>(readU32(b + 108))};
}

std::optional<RunwayBlock> decodeRunwayBlock(Bytes block) {
    if (block.size() < kRunwayBlockSize) return std::nullopt;
    const std::byte* b = block.data();
    auto i32 = [b](std::size_t offset) { return static_cast<std::int32_t>(readU32(b + offset)); };
    return RunwayBlock{readF64(b), readF64(b + 8), readF64(b + 16), readF32(b + 24), readF32(b + 28),
                       readF32(b + 32), i32(36), i32(40), i32(44), i32(48), i32(52)};
}

std::optional<PavementBlock> decodePavementBlock(Bytes block) {
    if (block.size() < kPavementBlockSize) return std::nullopt;
    const std::byte* b = block.data();
    return PavementBlock{readF32(b), readF32(b + 4), static_cast<std::int32_t>(readU32(b + 8))};
}

}  // namespace navorel::simconnect::wire
