#include "simconnect/WireFormat.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <vector>

namespace navorel::simconnect::wire {
namespace {

struct Text {
    std::size_t offset;
    std::size_t width;
    std::string value;
};

struct RequestCase {
    const char* name;
    std::optional<Packet> packet;
    std::uint32_t size;
    std::uint32_t id;
    std::vector<std::pair<std::size_t, std::uint32_t>> fields;
    std::vector<Text> texts;
};

TEST(WireFormatTest, EveryRequestHasItsBytesAtTheirOffsets) {
    const std::uint32_t clientTag = 0x004B4800;  // bytes 00 48 4B 00
    const RequestCase cases[] = {
        {"open", buildOpen("Navorel Bridge"), 296, 0xF0000001,
         {{272, 0}, {276, clientTag}, {280, 11}, {284, 0}, {288, 62651}, {292, 3}}, {{16, 256, "Navorel Bridge"}}},
        {"map", buildMapClientEventToSimEvent(1000, "PAUSE_SET"), 276, 0xF0000004, {{16, 1000}},
         {{20, 256, "PAUSE_SET"}}},
        {"transmit", buildTransmitClientEvent(0, 1000, 1, 1, 0x10), 36, 0xF0000005,
         {{16, 0}, {20, 1000}, {24, 1}, {28, 1}, {32, 0x10}}, {}},
        {"definition", buildAddToDataDefinition(3, "TITLE", nullptr, 9, 0.5F, 0xFFFFFFFF), 544, 0xF000000C,
         {{16, 3}, {532, 9}, {536, std::bit_cast<std::uint32_t>(0.5F)}, {540, 0xFFFFFFFF}},
         {{20, 256, "TITLE"}, {276, 256, ""}}},
        {"data request", buildRequestDataOnSimObject(6, 5, 0, 4, 1, 2, 60, 7), 48, 0xF000000E,
         {{16, 6}, {20, 5}, {24, 0}, {28, 4}, {32, 1}, {36, 2}, {40, 60}, {44, 7}}, {}},
        {"subscribe", buildSubscribeToSystemEvent(2, "SimStop"), 276, 0xF0000017, {{16, 2}}, {{20, 256, "SimStop"}}},
        {"facility definition", buildAddToFacilityDefinition(7, "OPEN AIRPORT"), 276, 0xF0000045, {{16, 7}},
         {{20, 256, "OPEN AIRPORT"}}},
        {"facility request", buildRequestFacilityData(7, 10000, "KSFO", nullptr), 44, 0xF0000046,
         {{16, 7}, {20, 10000}}, {{24, 16, "KSFO"}, {40, 4, ""}}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.packet);
        const Packet& p = *c.packet;
        ASSERT_EQ(p.size(), c.size);
        EXPECT_EQ(readU32(&p[0]), c.size);
        EXPECT_EQ(readU32(&p[4]), 5u);
        EXPECT_EQ(readU32(&p[8]), c.id);
        EXPECT_EQ(readU32(&p[12]), 0u);  // stamped when queued
        for (const auto& [offset, value] : c.fields) EXPECT_EQ(readU32(&p[offset]), value) << "offset " << offset;
        for (const Text& text : c.texts) {
            std::string expected = text.value;
            expected.resize(text.width, '\0');  // NUL-padded to the field's width
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[text.offset]), text.width), expected)
                << "offset " << text.offset;
        }
    }
}

TEST(WireFormatTest, TextsLongerThanTheirFieldAreRefused) {
    const std::string name255(255, 'N'), name256(256, 'N');
    const auto fits = [](const std::optional<Packet>& packet) { return packet.has_value(); };
    struct Case {
        const char* what;
        std::function<std::optional<Packet>(const char*)> build;
        std::size_t widest;
    };
    const Case cases[] = {
        {"client name", [](const char* t) { return buildOpen(t); }, 255},
        {"event name", [](const char* t) { return buildMapClientEventToSimEvent(1, t); }, 255},
        {"datum name", [](const char* t) { return buildAddToDataDefinition(0, t, "feet", 4, 0, 0); }, 255},
        {"units name", [](const char* t) { return buildAddToDataDefinition(0, "X", t, 4, 0, 0); }, 255},
        {"system event", [](const char* t) { return buildSubscribeToSystemEvent(0, t); }, 255},
        {"facility field", [](const char* t) { return buildAddToFacilityDefinition(7, t); }, 255},
        {"icao", [](const char* t) { return buildRequestFacilityData(7, 1, t, ""); }, 15},
        {"region", [](const char* t) { return buildRequestFacilityData(7, 1, "KSFO", t); }, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(fits(c.build(std::string(c.widest, 'A').c_str())));
        EXPECT_FALSE(fits(c.build(std::string(c.widest + 1, 'A').c_str())));
        EXPECT_TRUE(fits(c.build(nullptr)));
    }
}

TEST(WireFormatTest, SequenceNumbersSkipZeroWhenTheyWrap) {
    EXPECT_EQ(nextSequence(0), 1u);
    EXPECT_EQ(nextSequence(41), 42u);
    EXPECT_EQ(nextSequence(0xFFFFFFFE), 0xFFFFFFFFu);
    EXPECT_EQ(nextSequence(0xFFFFFFFF), 1u);
    Packet packet = buildTransmitClientEvent(0, 1, 2, 3, 4);
    setSequence(packet, 0xA1B2C3D4);
    EXPECT_EQ(readU32(&packet[12]), 0xA1B2C3D4u);
}

// Every decoder refuses a message one byte shorter than the fields it reads.
TEST(WireFormatTest, DecodersRefuseShortMessages) {
    struct Case {
        const char* what;
        Packet whole;
        std::size_t needed;
        std::function<bool(Bytes)> decodes;
    };
    const Packet big(400, std::byte{0});
    const Case cases[] = {
        {"message header", big, 12, [](Bytes b) { return decodeMessageHeader(b).has_value(); }},
        {"exception", big, 16, [](Bytes b) { return decodeException(b).has_value(); }},
        {"open", big, 284, [](Bytes b) { return decodeOpenMessage(b).has_value(); }},
        {"event", big, 24, [](Bytes b) { return decodeEvent(b).has_value(); }},
        {"sim-object data", big, 40, [](Bytes b) { return decodeSimObjectData(b).has_value(); }},
        {"facility data", big, 40, [](Bytes b) { return decodeFacilityData(b).has_value(); }},
        {"facility data end", big, 16, [](Bytes b) { return decodeFacilityDataEnd(b).has_value(); }},
        {"airport block", big, 112, [](Bytes b) { return decodeAirportBlock(b).has_value(); }},
        {"runway block", big, 56, [](Bytes b) { return decodeRunwayBlock(b).has_value(); }},
        {"pavement block", big, 12, [](Bytes b) { return decodePavementBlock(b).has_value(); }},
        {"request header", big, 16, [](Bytes b) { return decodeRequestHeader(b).has_value(); }},
        {"open request", *buildOpen("x"), 296, [](Bytes b) { return decodeOpen(b).has_value(); }},
        {"definition request", *buildAddToDataDefinition(1, "A", "B", 4, 0, 0), 544,
         [](Bytes b) { return decodeAddToDataDefinition(b).has_value(); }},
        {"facility request", *buildRequestFacilityData(7, 1, "KSFO", ""), 44,
         [](Bytes b) { return decodeRequestFacilityData(b).has_value(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A copy of exactly the bytes given, so a read past them is caught by the sanitizers.
        const std::vector<std::byte> exact(c.whole.begin(), c.whole.begin() + static_cast<std::ptrdiff_t>(c.needed));
        const std::vector<std::byte> shorter(exact.begin(), exact.end() - 1);
        EXPECT_TRUE(c.decodes(exact));
        EXPECT_FALSE(c.decodes(shorter));
    }
}

TEST(WireFormatTest, MessagesDecodeWhatTheSimulatorEncodes) {
    OpenMessage open;
    open.applicationName = "Microsoft Flight Simulator 2024";
    open.applicationVersionMajor = 12;
    open.applicationBuildMajor = 1077;
    open.simConnectBuildMinor = 3;
    const Packet openBytes = encodeOpenMessage(open);
    ASSERT_EQ(openBytes.size(), 308u);
    const auto decoded = decodeOpenMessage(openBytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->applicationName, open.applicationName);
    EXPECT_EQ(readU32(&openBytes[268]), 12u);  // the documented offsets, not just a round trip
    EXPECT_EQ(readU32(&openBytes[276]), 1077u);
    EXPECT_EQ(decoded->simConnectBuildMinor, 3u);

    const std::vector<std::byte> block{std::byte{1}, std::byte{2}, std::byte{3}};
    const Packet dataBytes = encodeSimObjectData({6, 0, 6, 1, 1, 1, 7, block});  // the decoded span points into it
    const auto data = decodeSimObjectData(dataBytes);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->requestId, 6u);
    EXPECT_EQ(data->defineCount, 7u);
    EXPECT_EQ(std::vector<std::byte>(data->data.begin(), data->data.end()), block);

    const Packet facilityBytes = encodeFacilityData({10000, 5, 2, 23, 0, 0, 0, block});
    const auto facility = decodeFacilityData(facilityBytes);
    ASSERT_TRUE(facility);
    EXPECT_EQ(readU32(&facilityBytes[8]), 28u);
    EXPECT_EQ(facility->parentUniqueRequestId, 2u);
    EXPECT_EQ(facility->type, 23u);
    EXPECT_EQ(facility->data.size(), 3u);
    EXPECT_EQ(decodeEvent(encodeEvent({0xFFFFFFFF, 0, 1}))->data, 1u);
    EXPECT_EQ(decodeException(encodeException({7, 12, 2}))->exception, 7u);
    EXPECT_EQ(decodeFacilityDataEnd(encodeFacilityDataEnd({10000}))->requestId, 10000u);
    EXPECT_EQ(encodeQuit().size(), 12u);
}

TEST(WireFormatTest, FacilityBlocksAreReadAtTheirOffsets) {
    ByteWriter airport(112);
    airport.f64(0, 37.5);
    airport.f64(16, 4.0);
    airport.f32(24, 13.0F);
    airport.text(28, 64, "San Francisco Intl");
    airport.text(92, 8, "KSFO");
    airport.text(100, 8, "K2");
    airport.i32(108, 4);
    const auto a = decodeAirportBlock(airport.take());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->latitude, 37.5);
    EXPECT_EQ(a->altitudeMeters, 4.0);
    EXPECT_EQ(a->magneticVariation, 13.0F);
    EXPECT_EQ(a->name, "San Francisco Intl");
    EXPECT_EQ(a->icao, "KSFO");
    EXPECT_EQ(a->region, "K2");
    EXPECT_EQ(a->runwayCount, 4);

    ByteWriter runway(56);
    runway.f32(24, 117.9F);
    runway.i32(36, 4);
    runway.i32(40, 10);
    runway.i32(44, 1);
    runway.i32(48, 28);
    runway.i32(52, 2);
    const auto r = decodeRunwayBlock(runway.take());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->headingDegrees, 117.9F);
    EXPECT_EQ(std::vector<int>({r->surfaceCode, r->primaryNumber, r->primaryDesignatorCode, r->secondaryNumber,
                                r->secondaryDesignatorCode}),
              std::vector<int>({4, 10, 1, 28, 2}));

    ByteWriter pavement(13);  // one spare byte after the block: a block need not end the message
    pavement.f32(0, 150.0F);
    pavement.i32(8, 1);
    const Packet pavementBytes = pavement.take();
    EXPECT_EQ(decodePavementBlock(pavementBytes)->lengthMeters, 150.0F);

#pragma pack(push, 1)
    struct Packed {
        float length;
        float width;
        std::int32_t enabled;
    };
#pragma pack(pop)
    // Copied from an odd address into an aligned record.
    const auto copied = copyBlock<Packed>(Bytes(pavementBytes).subspan(1));
    ASSERT_TRUE(copied);
    EXPECT_FALSE(copyBlock<Packed>(Bytes(pavementBytes).subspan(2)));
}

}  // namespace
}  // namespace navorel::simconnect::wire
