#include <gtest/gtest.h>

#include <array>

#include "wire/fields.hpp"

namespace {

TEST(WireBytes, BigEndianRoundTripAndLayout) {
    std::array<std::uint8_t, 4> b{};
    wire::store_be32(b.data(), 0x01020304u);
    EXPECT_EQ(b, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(wire::load_be32(b.data()), 0x01020304u);
    wire::store_be16(b.data(), 0xA1B2);
    EXPECT_EQ(b[0], 0xA1);
    EXPECT_EQ(b[1], 0xB2);
    EXPECT_EQ(wire::load_be16(b.data()), 0xA1B2);
    wire::store_le16(b.data(), 0x5070);
    EXPECT_EQ(b[0], 0x70);
    EXPECT_EQ(b[1], 0x50);
    EXPECT_EQ(wire::load_le16(b.data()), 0x5070);
}

TEST(WireFields, CodecCmdFieldsLandAtTheirOffsets) {
    wire::CodecCmd c;
    c.u16Cmd = 513;
    c.u16Type = 54;
    c.u16VdoWidth = 1280;
    c.u16VdoHeight = 720;
    c.u32VdoEncComplexity = 2;
    c.u16BitRate = 1024;
    c.u8VdoFrRate = 30;
    c.u8ChanIdx = 1;
    c.u8DisSectionNum = 4;
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    wire::store_cmd_fields(out.data(), c);
    EXPECT_EQ(out[4], 0x02);
    EXPECT_EQ(out[5], 0x01);
    EXPECT_EQ(out[7], 54);
    EXPECT_EQ(out[8], 0x05);
    EXPECT_EQ(out[9], 0x00);
    EXPECT_EQ(out[15], 2);
    EXPECT_EQ(out[32], 0x04);
    EXPECT_EQ(out[36], 30);
    EXPECT_EQ(out[38], 1);
    EXPECT_EQ(out[40], 4);
    wire::CodecCmd back;
    wire::load_cmd_fields(out.data(), back);
    EXPECT_EQ(back.u16Cmd, 513);
    EXPECT_EQ(back.u16VdoWidth, 1280);
    EXPECT_EQ(back.u32VdoEncComplexity, 2u);
    EXPECT_EQ(back.u8DisSectionNum, 4);
}

}  // namespace
