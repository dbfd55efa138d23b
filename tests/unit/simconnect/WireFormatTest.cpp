#include "simconnect/WireFormat.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace navorel::simconnect::wire {
namespace {

using Fields = std::vector<std::pair<std::size_t, std::uint32_t>>;

void expectFields(Bytes bytes, const Fields& fields) {
    for (const auto& [offset, value] : fields) EXPECT_EQ(readU32(&bytes[offset]), value) << "offset " << offset;
}

TEST(WireFormatTest, EveryRequestHasItsBytesAtTheirOffsets) {
    using Texts = std::vector<std::tuple<std::size_t, std::size_t, std::string>>;  // offset, width, text
    // The packet, its size and id, its other fields, its texts. The open request's
    // client tag at 276 is the bytes 00 48 4B 00.
    const std::tuple<std::optional<Packet>, std::uint32_t, std::uint32_t, Fields, Texts> cases[] = {
        {buildOpen("Navorel Bridge"), 296, 0xF0000001,
         {{272, 0}, {276, 0x004B4800}, {280, 11}, {284, 0}, {288, 62651}, {292, 3}}, {{16, 256, "Navorel Bridge"}}},
        {buildMapClientEventToSimEvent(1000, "PAUSE_SET"), 276, 0xF0000004, {{16, 1000}}, {{20, 256, "PAUSE_SET"}}},
        {buildTransmitClientEvent(0, 1000, 1, 2, 0x10), 36, 0xF0000005,
         {{16, 0}, {20, 1000}, {24, 1}, {28, 2}, {32, 0x10}}, {}},
        {buildAddToDataDefinition(3, "TITLE", nullptr, 9, 0.5F, 0xFFFFFFFF), 544, 0xF000000C,
         {{16, 3}, {532, 9}, {536, std::bit_cast<std::uint32_t>(0.5F)}, {540, 0xFFFFFFFF}},
         {{20, 256, "TITLE"}, {276, 256, ""}}},
        {buildRequestDataOnSimObject(6, 5, 0, 4, 1, 2, 60, 7), 48, 0xF000000E,
         {{16, 6}, {20, 5}, {24, 0}, {28, 4}, {32, 1}, {36, 2}, {40, 60}, {44, 7}}, {}},
        {buildSubscribeToSystemEvent(2, "SimStop"), 276, 0xF0000017, {{16, 2}}, {{20, 256, "SimStop"}}},
        {buildAddToFacilityDefinition(7, "OPEN AIRPORT"), 276, 0xF0000045, {{16, 7}}, {{20, 256, "OPEN AIRPORT"}}},
        {buildRequestFacilityData(7, 10000, "KSFO", nullptr), 44, 0xF0000046, {{16, 7}, {20, 10000}},
         {{24, 16, "KSFO"}, {40, 4, ""}}},
    };
    for (const auto& [packet, size, id, fields, texts] : cases) {
        SCOPED_TRACE(id);
        ASSERT_TRUE(packet);
        ASSERT_EQ(packet->size(), size);
        expectFields(*packet, {{0, size}, {4, 5}, {8, id}, {12, 0}});  // sequence 0 until queued
        expectFields(*packet, fields);
        for (auto [offset, width, text] : texts) {
            text.resize(width, '\0');  // NUL-padded to the field's width
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*packet)[offset]), width), text);
        }
    }
}

TEST(WireFormatTest, TextsLongerThanTheirFieldAreRefused) {
    const std::tuple<const char*, std::function<std::optional<Packet>(const char*)>, std::size_t> cases[] = {
        {"client name", [](const char* t) { return buildOpen(t); }, 255},
        {"event name", [](const char* t) { return buildMapClientEventToSimEvent(1, t); }, 255},
        {"datum name", [](const char* t) { return buildAddToDataDefinition(0, t, "feet", 4, 0, 0); }, 255},
        {"units name", [](const char* t) { return buildAddToDataDefinition(0, "X", t, 4, 0, 0); }, 255},
        {"system event", [](const char* t) { return buildSubscribeToSystemEvent(0, t); }, 255},
        {"facility field", [](const char* t) { return buildAddToFacilityDefinition(7, t); }, 255},
        {"icao", [](const char* t) { return buildRequestFacilityData(7, 1, t, ""); }, 15},
        {"region", [](const char* t) { return buildRequestFacilityData(7, 1, "KSFO", t); }, 3},
    };
    for (const auto& [what, build, widest] : cases) {
        SCOPED_TRACE(what);
        EXPECT_TRUE(build(std::string(widest, 'A').c_str()));
        EXPECT_FALSE(build(std::string(widest + 1, 'A').c_str()));
        EXPECT_TRUE(build(nullptr));
    }
}

TEST(WireFormatTest, SequenceNumbersSkipZeroWhenTheyWrap) {
    EXPECT_EQ(nextSequence(0), 1u);
    EXPECT_EQ(nextSequence(0xFFFFFFFE), 0xFFFFFFFFu);
    EXPECT_EQ(nextSequence(0xFFFFFFFF), 1u);
    Packet packet = buildTransmitClientEvent(0, 1, 2, 3, 4);
    setSequence(packet, 0xA1B2C3D4);
    EXPECT_EQ(readU32(&packet[12]), 0xA1B2C3D4u);
}

template <auto decode>
bool decodes(Bytes bytes) {
    return decode(bytes).has_value();
}

// Every decoder refuses a message one byte shorter than the fields it reads.
TEST(WireFormatTest, DecodersRefuseShortMessages) {
    const Packet zeros(400, std::byte{0});
    const struct {
        Packet whole;
        std::size_t needed;
        bool (*decodes)(Bytes);
    } cases[] = {
        {zeros, 12, decodes<decodeMessageHeader>},  {zeros, 16, decodes<decodeException>},
        {zeros, 284, decodes<decodeOpenMessage>},   {zeros, 24, decodes<decodeEvent>},
        {zeros, 40, decodes<decodeSimObjectData>},  {zeros, 40, decodes<decodeFacilityData>},
        {zeros, 16, decodes<decodeFacilityDataEnd>}, {zeros, 112, decodes<decodeAirportBlock>},
        {zeros, 56, decodes<decodeRunwayBlock>},    {zeros, 12, decodes<decodePavementBlock>},
        {zeros, 16, decodes<decodeRequestHeader>},  {*buildOpen("x"), 296, decodes<decodeOpen>},
        {*buildRequestFacilityData(7, 1, "KSFO", ""), 44, decodes<decodeRequestFacilityData>},
    };
    for (const auto& c : cases) {
        // Copies of exactly the bytes given, so the sanitizers catch a read past them.
        const Packet exact(c.whole.begin(), c.whole.begin() + static_cast<std::ptrdiff_t>(c.needed));
        EXPECT_TRUE(c.decodes(exact)) << c.needed;
        EXPECT_FALSE(c.decodes(Packet(exact.begin(), exact.end() - 1))) << c.needed;
    }
}

// The simulator's encoders put each field where the client's decoders read it.
TEST(WireFormatTest, MessageFieldsAtTheirOffsets) {
    const Packet block(3, std::byte{7});
    const Packet open = encodeOpenMessage({"MSFS 2024", 12, 1, 1077, 5, 11, 0, 62651, 3});
    const Packet facility = encodeFacilityData({10000, 5, 2, 23, 0, 0, 0, block});
    expectFields(open, {{0, 308}, {8, 2}, {268, 12}, {272, 1}, {276, 1077}, {280, 5}, {288, 0}, {292, 62651}});
    expectFields(encodeSimObjectData({6, 0, 5, 1, 1, 1, 7, block}), {{0, 43}, {8, 8}, {12, 6}, {20, 5}, {36, 7}});
    expectFields(facility, {{0, 43}, {8, 28}, {12, 10000}, {16, 5}, {20, 2}, {24, 23}});
    expectFields(encodeEvent({0xFFFFFFFF, 2, 1}), {{0, 24}, {8, 4}, {16, 2}, {20, 1}});
    expectFields(encodeException({7, 12, 2}), {{8, 1}, {12, 7}, {16, 12}, {20, 2}});
    expectFields(encodeFacilityDataEnd({10000}), {{0, 16}, {8, 29}, {12, 10000}});
    expectFields(encodeQuit(), {{0, 12}, {8, 3}});
    EXPECT_EQ(decodeOpenMessage(open)->applicationName, "MSFS 2024");
    const auto data = decodeFacilityData(facility)->data;
    EXPECT_EQ(Packet(data.begin(), data.end()), block);  // the block runs to the end
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
    runway.u32s(36, {1, 2, 3, 4, 5});
    const auto r = decodeRunwayBlock(runway.take());
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tie(r->altitudeMeters, r->headingDegrees, r->surfaceCode, r->primaryNumber, r->primaryDesignatorCode,
                       r->secondaryNumber, r->secondaryDesignatorCode),
              std::make_tuple(4.0, 117.9F, 1, 2, 3, 4, 5));

    ByteWriter pavement(13);  // a spare byte in front: blocks need not be aligned
    pavement.f32(1, 150.0F);
    pavement.i32(9, 1);
    const auto p = decodePavementBlock(Bytes(pavement.take()).subspan(1));
    EXPECT_EQ(std::tie(p->lengthMeters, p->enabled), std::make_tuple(150.0F, 1));
}

}  // namespace
}  // namespace navorel::simconnect::wire
