// Wire formats built by avhub's codec-link module, checked byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>

#include "socket_cmd.hpp"

namespace {

using avhub::CodecCmd;
using Bytes48 = std::array<std::uint8_t, 48>;

// Every byte not listed must be zero.
void expect_bytes(const std::uint8_t* got, std::size_t n, const std::map<std::size_t, std::uint8_t>& want) {
    for (std::size_t i = 0; i < n; ++i) {
        auto it = want.find(i);
        std::uint8_t expected = it == want.end() ? 0 : it->second;
        EXPECT_EQ(got[i], expected) << "byte " << i;
    }
}

Bytes48 pack(const CodecCmd& c) {
    Bytes48 out;
    out.fill(0xEE);
    avhub::enc_socket_codec_cmd(out, c);
    return out;
}

TEST(PacketHeader, VideoFlagsGoToByte14AndReadBackFromByte17) {
    std::array<std::uint8_t, 18> h{};
    EXPECT_EQ(avhub::enc_vdo_stream_packet(h.data(), 2, 0x01020304, 0xA0B0C0D0, 3), 0x01020304u + 18);
    expect_bytes(h.data(), h.size(),
                 {{1, 0x55}, {2, 0xAA}, {3, 0xFF}, {4, 0}, {5, 2}, {6, 0xA0}, {7, 0xB0}, {8, 0xC0}, {9, 0xD0},
                  {10, 1}, {11, 2}, {12, 3}, {13, 4}, {14, 3}});
    // The encoders' flags live in byte 17, so avhub's own header reads as 0.
    EXPECT_EQ(avhub::dec_stream_gob(h.data()), 0);
    EXPECT_EQ(avhub::dec_stream_ch(h.data()), 2);
    EXPECT_EQ(avhub::dec_packet_size(h.data(), 10), 0x01020304u);
    EXPECT_EQ(avhub::dec_timestamp(h.data(), 6), 0xA0B0C0D0u);
}

TEST(PacketHeader, AudioHeaderAndZeroPayload) {
    std::array<std::uint8_t, 18> h;
    h.fill(0xEE);
    EXPECT_EQ(avhub::enc_ado_stream_packet(h.data(), 12, 0, 65536), 18u);
    expect_bytes(h.data(), h.size(), {{1, 0x55}, {2, 0xAA}, {3, 0xFF}, {4, 1}, {5, 12}, {7, 1}});
}

TEST(PacketHeader, FlagsAreTheTwoLowBitsOfByte17) {
    std::array<std::uint8_t, 18> h{};
    for (auto [byte17, flags] : std::array<std::pair<std::uint8_t, std::uint8_t>, 4>{
             {{0x07, 3}, {0x01, 1}, {0xFE, 2}, {0x04, 0}}}) {
        h[17] = byte17;
        h[14] = 0xFF;  // ignored
        EXPECT_EQ(avhub::dec_stream_gob(h.data()), flags) << int(byte17);
    }
}

TEST(CodecCmdPacking, EveryFieldBigEndianReservedCarriedByte47Zero) {
    CodecCmd c;
    c.magic = {0x00, 0x55, 0xAA, 0xFF};
    c.u16Cmd = 0x0201;
    c.u16Type = 0x0336;
    c.u16VdoWidth = 0x0500;
    c.u16VdoHeight = 0x02D0;
    c.u32VdoEncComplexity = 0x11121314;
    c.u32VdoEncIFrameInterval = 0x21222324;
    c.u32VdoEncIFrame = 0x31323334;
    c.u32VdoEncIMBInsert = 0x41424344;
    c.u32VdoIMBInsertPeriod = 0x51525354;
    c.u16BitRate = 0x6162;
    c.u16ByteNumPerBlk = 0x7172;
    c.u8VdoFrRate = 0x81;
    c.u8AgreeFlag = 0x82;
    c.u8ChanIdx = 0x83;
    c.u8McuMode = 0x84;
    c.u8DisSectionNum = 0x85;
    c.reserved = {0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97};
    Bytes48 b = pack(c);
    const Bytes48 want{0x00, 0x55, 0xAA, 0xFF, 0x02, 0x01, 0x03, 0x36, 0x05, 0x00, 0x02, 0xD0,
                       0x11, 0x12, 0x13, 0x14, 0x21, 0x22, 0x23, 0x24, 0x31, 0x32, 0x33, 0x34,
                       0x41, 0x42, 0x43, 0x44, 0x51, 0x52, 0x53, 0x54, 0x61, 0x62, 0x71, 0x72,
                       0x81, 0x82, 0x83, 0x84, 0x85, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x00};
    EXPECT_EQ(b, want);

    // Unpacking restores bytes 4..46; the magic is neither copied nor checked.
    Bytes48 wire_in = b;
    wire_in[0] = 0x12;
    wire_in[47] = 0x77;
    CodecCmd d;
    d.magic = {9, 9, 9, 9};
    avhub::dec_socket_codec_cmd(wire_in, d);
    EXPECT_EQ(d.magic, (std::array<std::uint8_t, 4>{9, 9, 9, 9}));
    d.magic = c.magic;
    d.reserved[6] = c.reserved[6];
    EXPECT_EQ(pack(d), want);
    EXPECT_EQ(d.u16Cmd, c.u16Cmd);
    EXPECT_EQ(d.u32VdoIMBInsertPeriod, c.u32VdoIMBInsertPeriod);
    EXPECT_EQ(d.u8DisSectionNum, c.u8DisSectionNum);
}

struct EncVdoCase {
    std::uint16_t type, width, height;
    std::uint8_t fr, chan;
    std::uint32_t complexity, imb_insert;
};

TEST(CodecCmdBuilders, VideoEncoderComplexityAndMacroblockInsertion) {
    const EncVdoCase cases[] = {
        {54, 1280, 720, 30, 0, 2, 0},  // HD at a real frame rate
        {54, 1280, 720, 14, 0, 4, 0},  // frame rate too low
        {54, 1280, 700, 30, 0, 4, 0},  // height not above 700
        {52, 700, 720, 30, 0, 2, 1},   // the height decides, not the width
        {54, 352, 288, 30, 2, 2, 0},   // H.264 content channel forced to 2
        {54, 352, 288, 30, 0, 4, 0},
        {52, 352, 288, 30, 0, 4, 1},
        {52, 352, 288, 30, 2, 4, 1},   // forcing is for H.264 only
    };
    for (const auto& k : cases) {
        CodecCmd c;
        c.reserved.fill(0xEE);
        testing::internal::CaptureStdout();
        avhub::fill_codec_enc_vdo_cmd_struct(c, k.type, k.width, k.height, k.fr, 1024, k.chan);
        std::string out = testing::internal::GetCapturedStdout();
        SCOPED_TRACE(testing::Message() << k.type << " " << k.width << "x" << k.height << "@" << int(k.fr) << " ch"
                                        << int(k.chan));
        EXPECT_EQ(c.u32VdoEncComplexity, k.complexity);
        EXPECT_EQ(c.u32VdoEncIMBInsert, k.imb_insert);
        EXPECT_EQ(out, k.type == 54 && k.chan == 2 ? "u32VdoEncComplexity = 2\n" : "");
        Bytes48 b = pack(c);
        expect_bytes(b.data(), b.size(),
                     {{1, 0x55}, {2, 0xAA}, {3, 0xFF}, {4, 0x02}, {5, 0x01}, {7, static_cast<std::uint8_t>(k.type)},
                      {8, static_cast<std::uint8_t>(k.width >> 8)}, {9, static_cast<std::uint8_t>(k.width)},
                      {10, static_cast<std::uint8_t>(k.height >> 8)}, {11, static_cast<std::uint8_t>(k.height)},
                      {15, static_cast<std::uint8_t>(k.complexity)}, {27, static_cast<std::uint8_t>(k.imb_insert)},
                      {32, 0x04}, {36, k.fr}, {38, k.chan}});
    }
}

TEST(CodecCmdBuilders, OtherRequestsSetOnlyTheirFields) {
    struct Case {
        const char* name;
        void (*build)(CodecCmd&);
        std::map<std::size_t, std::uint8_t> nonzero;  // besides the magic
    };
    const Case cases[] = {
        {"enc ado", [](CodecCmd& c) { avhub::fill_codec_enc_ado_cmd_struct(c, 10, 640, 64, 0); },
         {{4, 0x02}, {5, 0x02}, {7, 10}, {32, 0}, {33, 64}, {34, 0x02}, {35, 0x80}}},
        {"dec vdo", [](CodecCmd& c) { avhub::fill_codec_dec_vdo_cmd_struct(c, 54, 3); },
         {{4, 0x02}, {5, 0x03}, {7, 54}, {38, 3}}},
        {"dec ado", [](CodecCmd& c) { avhub::fill_codec_dec_ado_cmd_struct(c, 1, 160, 8, 12); },
         {{4, 0x02}, {5, 0x04}, {7, 1}, {33, 8}, {35, 160}, {38, 12}}},
        {"close vdo", [](CodecCmd& c) { avhub::fill_close_chan_cmd_struct(c, 517, 1); },
         {{4, 0x02}, {5, 0x05}, {38, 1}}},
        {"close ado", [](CodecCmd& c) { avhub::fill_close_chan_cmd_struct(c, 518, 0); }, {{4, 0x02}, {5, 0x06}}},
        {"mcu mode", [](CodecCmd& c) { avhub::fill_codec_set_mcu_mode_cmd(c, 0, 352, 288, 1); },
         {{4, 0x02}, {5, 0x0A}, {8, 0x01}, {9, 0x60}, {10, 0x01}, {11, 0x20}, {40, 1}}},
        {"ack", [](CodecCmd& c) { avhub::fill_codec_ack_cmd_struct(c, 560, 1, 12); },
         {{4, 0x02}, {5, 0x30}, {37, 1}, {38, 12}}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        CodecCmd c;
        // Builders start from a zeroed record whatever it held before.
        c.u32VdoEncIFrame = 0xFFFFFFFF;
        c.reserved.fill(0xEE);
        k.build(c);
        auto want = k.nonzero;
        want.insert({{1, 0x55}, {2, 0xAA}, {3, 0xFF}});
        Bytes48 b = pack(c);
        expect_bytes(b.data(), b.size(), want);
    }
}

}  // namespace
