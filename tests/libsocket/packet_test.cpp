// Wire packing of the two codec-link records and the acknowledgements.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "harness/util.hpp"
#include "libsocket/packet.h"

namespace {

using Bytes18 = std::array<std::uint8_t, wire::kPacketHeaderSize>;
using Bytes48 = std::array<std::uint8_t, wire::kCodecCmdSize>;

// Hex text without separators, so expected frames read as one string.
std::string hex(const auto& bytes) {
    std::string text = harness::hex(bytes.data(), bytes.size());
    std::erase(text, ' ');
    return text;
}

// Every field distinct, so a field written to the wrong offset shows.
wire::CodecCmd sample_cmd() {
    wire::CodecCmd c{};
    c.magic = {1, 2, 3, 4};
    c.u16Cmd = 0x0203;
    c.u16Type = 0x0A0B;
    c.u16VdoWidth = 0x0160;
    c.u16VdoHeight = 0x0120;
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
    return c;
}

const char* const kSampleWire =
    "0055aaff" "0203" "0a0b" "0160" "0120" "11121314" "21222324" "31323334" "41424344" "51525354"
    "6162" "7172" "81" "82" "83" "84" "85" "91929394959697";

bool same_fields(const wire::CodecCmd& a, const wire::CodecCmd& b) {
    Bytes48 wa{}, wb{};
    pack_codec_command(wa, a);
    pack_codec_command(wb, b);
    return wa == wb;
}

TEST(PacketHeader, PacksBigEndianWithConstantMagic) {
    wire::PacketHeader h{};  // magic left zero: the wire still gets 00 55 AA FF
    h.u8StreamType = 1;
    h.u8StreamCh = 12;
    h.u32TimeStamp = 0x01020304;
    h.u32PacketSize = 0x00000140;
    h.u32Gob = 0x0A0B0C03;
    Bytes18 out{};
    pack_packet_header(out, h);
    EXPECT_EQ(hex(out), "0055aaff010c0102030400000140" "0a0b0c03");
    EXPECT_EQ(is_packet_header(out), 1);

    wire::PacketHeader back{};
    unpack_packet_header(out, back);
    EXPECT_EQ(back.magic, wire::kMagic);
    EXPECT_EQ(back.u8StreamType, 1);
    EXPECT_EQ(back.u8StreamCh, 12);
    EXPECT_EQ(back.u32TimeStamp, 0x01020304u);
    EXPECT_EQ(back.u32PacketSize, 0x140u);
    // The first of the four last wire bytes is the word's most significant byte.
    EXPECT_EQ(back.u32Gob >> 24, 0x0Au);
    EXPECT_EQ(back.u32Gob & 0xFF, 0x03u);
}

TEST(PacketHeader, ForeignMagicSurvivesUnpackingAndFailsTheTest) {
    Bytes18 in{};
    in[0] = 0x47;
    in[3] = 0xFF;
    in[4] = 7;
    wire::PacketHeader h{};
    unpack_packet_header(in, h);
    EXPECT_EQ(h.magic, (std::array<std::uint8_t, 4>{0x47, 0, 0, 0xFF}));
    EXPECT_EQ(h.u8StreamType, 7);
    EXPECT_EQ(is_packet_header(in), 0);
}

TEST(CodecCommand, PacksEveryFieldAtItsOffset) {
    Bytes48 out{};
    pack_codec_command(out, sample_cmd());
    EXPECT_EQ(hex(out), kSampleWire);
    EXPECT_EQ(is_codec_command(out), 1);
}

TEST(CodecCommand, RoundTripKeepsFieldsAndNormalisesMagic) {
    const wire::CodecCmd c = sample_cmd();
    Bytes48 wire_bytes{};
    pack_codec_command(wire_bytes, c);
    wire::CodecCmd back{};
    unpack_codec_command(wire_bytes, back);
    EXPECT_EQ(back.magic, wire::kMagic);
    EXPECT_EQ(back.reserved, c.reserved);
    EXPECT_EQ(back.u32VdoIMBInsertPeriod, c.u32VdoIMBInsertPeriod);
    EXPECT_TRUE(same_fields(back, c));
}

TEST(CodecCommand, MagicTestTable) {
    const std::array<std::array<std::uint8_t, 4>, 5> heads{{
        {0x00, 0x55, 0xAA, 0xFF},
        {0x00, 0x00, 0x00, 0x00},
        {0xFF, 0xAA, 0x55, 0x00},
        {0x00, 0x55, 0xAA, 0xFE},
        {0x01, 0x55, 0xAA, 0xFF},
    }};
    for (std::size_t i = 0; i < heads.size(); ++i) {
        Bytes48 in{};
        std::copy(heads[i].begin(), heads[i].end(), in.begin());
        wire::CodecCmd c{};
        unpack_codec_command(in, c);
        EXPECT_EQ(c.magic, heads[i]) << i;
        EXPECT_EQ(is_codec_command(in), i == 0 ? 1 : 0) << i;
    }
}

TEST(Ack, FillCutsToFieldWidthsAndKeepsTheRest) {
    wire::CodecCmd c = sample_cmd();
    fill_ack_codec_command(c, 0x10000 + 546, 0x101, 0x1FF);
    EXPECT_EQ(c.magic, wire::kMagic);
    EXPECT_EQ(c.u16Cmd, 546);
    EXPECT_EQ(c.u8AgreeFlag, 1);
    EXPECT_EQ(c.u8ChanIdx, 0xFF);
    wire::CodecCmd expect = sample_cmd();
    expect.u16Cmd = 546;
    expect.u8AgreeFlag = 1;
    expect.u8ChanIdx = 0xFF;
    EXPECT_TRUE(same_fields(c, expect));
}

class AckOverSocket : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    }
    void TearDown() override {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    Bytes48 receive() {
        Bytes48 got{};
        EXPECT_EQ(recv(fds_[1], got.data(), got.size(), MSG_WAITALL), 48);
        return got;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(AckOverSocket, PlainAckCarriesOnlyCodeAgreeAndChannel) {
    wire::CodecCmd c = sample_cmd();
    EXPECT_EQ(codec_command_ack(fds_[0], c, 530, 1, 11), 48);
    EXPECT_EQ(hex(receive()), "0055aaff0212" + std::string(62, '0') + "01" "0b" + std::string(18, '0'));
    EXPECT_EQ(c.u32VdoEncComplexity, 0u) << "the caller's record is cleared too";
    EXPECT_EQ(c.u16Cmd, 530);
}

TEST_F(AckOverSocket, ParamAckSendsTheRequestDataBack) {
    wire::CodecCmd c = sample_cmd();
    EXPECT_EQ(codec_command_ack_param(fds_[0], c, 0x0203, 0x82, 0x83), 48);
    EXPECT_EQ(hex(receive()), kSampleWire);
}

TEST_F(AckOverSocket, ClosedPeerGivesMinusOne) {
    close(fds_[1]);
    fds_[1] = -1;
    wire::CodecCmd c{};
    EXPECT_EQ(codec_command_ack(fds_[0], c, 530, 1, 0), -1);
}

}  // namespace
