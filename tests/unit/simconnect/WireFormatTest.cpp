#include "simconnect/WireFormat.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <tuple>
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

// The simulator's encoders put each field where the client's decoders read it.
TEST(WireFormatTest, MessageFieldsAtTheirOffsets) {
    const std::vector<std::byte> block(3, std::byte{7});
    struct Case {
        const char* what;
        Packet bytes;
        std::vector<std::pair<std::size_t, std::uint32_t>> fields;
    };
    const Case cases[] = {
        {"open", encodeOpenMessage({"MSFS 2024", 12, 1, 1077, 5, 11, 0, 62651, 3}),
         {{0, 308}, {8, 2}, {268, 12}, {272, 1}, {276, 1077}, {280, 5}, {288, 0}, {292, 62651}}},
        {"sim-object data", encodeSimObjectData({6, 0, 5, 1, 1, 1, 7, block}),
         {{0, 43}, {8, 8}, {12, 6}, {20, 5}, {36, 7}}},
        {"facility data", encodeFacilityData({10000, 5, 2, 23, 0, 0, 0, block}),
         {{0, 43}, {8, 28}, {12, 10000}, {16, 5}, {20, 2}, {24, 23}}},
        {"event", encodeEvent({0xFFFFFFFF, 2, 1}), {{0, 24}, {8, 4}, {16, 2}, {20, 1}}},
        {"exception", encodeException({7, 12, 2}), {{8, 1}, {12, 7}, {16, 12}, {20, 2}}},
        {"facility end", encodeFacilityDataEnd({10000}), {{0, 16}, {8, 29}, {12, 10000}}},
        {"quit", encodeQuit(), {{0, 12}, {8, 3}}},
    };
    for (const Case& c : cases) {
        for (const auto& [offset, value] : c.fields) EXPECT_EQ(readU32(&c.bytes[offset]), value) << c.what << " @" << offset;
    }
    EXPECT_EQ(decodeOpenMessage(cases[0].bytes)->applicationName, "MSFS 2024");
    const auto data = decodeFacilityData(cases[2].bytes);
    EXPECT_EQ(std::vector<std::byte>(data->data.begin(), data->data.end()), block);  // the block runs to the end
}

TEST(WireFormatTest, FacilityBlocksAreReadAtTheirOffsets) {
    ByteWriter airport(112);
    airport.f64(8, -122.375);
    airport.f32(24, 13.0F);
    airport.text(28, 64, "San Francisco Intl");
    airport.text(92, 8, "KSFO");
    airport.text(100, 8, "K2");
    airport.i32(108, 4);
    const auto a = decodeAirportBlock(airport.take());
    ASSERT_TRUE(a);
    EXPECT_EQ(std::tie(a->longitude, a->magneticVariation, a->name, a->icao, a->region, a->runwayCount),
              std::make_tuple(-122.375, 13.0F, std::string("San Francisco Intl"), std::string("KSFO"),
                              std::string("K2"), 4));

    ByteWriter runway(56);
    runway.f64(16, 4.0);
    runway.f32(24, 117.9F);
    for (int field = 0; field < 5; ++field) runway.i32(36 + 4 * field, field + 1);
    const auto r = decodeRunwayBlock(runway.take());
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tie(r->altitudeMeters, r->headingDegrees, r->surfaceCode, r->primaryNumber, r->primaryDesignatorCode,
                       r->secondaryNumber, r->secondaryDesignatorCode),
              std::make_tuple(4.0, 117.9F, 1, 2, 3, 4, 5));

    ByteWriter pavement(13);  // a spare byte in front: blocks need not be aligned
    pavement.f32(1, 150.0F);
    pavement.i32(9, 1);
    const Packet bytes = pavement.take();
    const auto p = decodePavementBlock(Bytes(bytes).subspan(1));
    EXPECT_EQ(std::tie(p->lengthMeters, p->enabled), std::make_tuple(150.0F, 1));
    struct Record {
        float length, width;
        std::int32_t enabled;
    };
    EXPECT_EQ(copyBlock<Record>(Bytes(bytes).subspan(1))->length, 150.0F);
    EXPECT_FALSE(copyBlock<Record>(Bytes(bytes).subspan(2)));  // one byte short
}

}  // namespace
}  // namespace navorel::simconnect::wire
