// Codec-link record builders and packers (see socket_cmd.hpp).
#include "socket_cmd.hpp"

#include <algorithm>

#include "log.hpp"
#include "wire/bytes.hpp"
#include "wire/fields.hpp"

namespace avhub {

namespace {

// avhub's packer carries the reserved bytes 41..46; byte 47 stays zero.
constexpr std::size_t kPackedReserved = 6;

void write_header(std::uint8_t* pu8Buf, std::uint8_t u8Type, std::uint8_t u8Chan, std::uint32_t u32Len,
                  std::uint32_t u32TimeStamp) {
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), pu8Buf);
    pu8Buf[wire::kOffStreamType] = u8Type;
    pu8Buf[wire::kOffStreamCh] = u8Chan;
    wire::store_be32(pu8Buf + wire::kOffTimeStamp, u32TimeStamp);
    wire::store_be32(pu8Buf + wire::kOffPacketSize, u32Len);
    wire::store_be32(pu8Buf + wire::kOffGob, 0);
}

void reset(CodecCmd& cmd, std::uint16_t u16Code) {
    cmd = CodecCmd{};
    cmd.magic = wire::kMagic;
    cmd.u16Cmd = u16Code;
}

}  // namespace

std::uint32_t enc_vdo_stream_packet(std::uint8_t* pu8Buf, std::uint8_t u8Chan, std::uint32_t u32Len,
                                    std::uint32_t u32TimeStamp, std::uint8_t u8Gob) {
    write_header(pu8Buf, wire::kStreamVideo, u8Chan, u32Len, u32TimeStamp);
    // The decoders read the flags from the first byte of the field.
    pu8Buf[wire::kOffGob] = u8Gob;
    return u32Len + static_cast<std::uint32_t>(wire::kPacketHeaderSize);
}

std::uint32_t enc_ado_stream_packet(std::uint8_t* pu8Buf, std::uint8_t u8Chan, std::uint32_t u32Len,
                                    std::uint32_t u32SeqNum) {
    write_header(pu8Buf, wire::kStreamAudio, u8Chan, u32Len, u32SeqNum);
    return u32Len + static_cast<std::uint32_t>(wire::kPacketHeaderSize);
}

std::uint8_t dec_stream_ch(const std::uint8_t* pu8Buf) {
    return pu8Buf[wire::kOffStreamCh];
}

std::uint8_t dec_stream_gob(const std::uint8_t* pu8Buf) {
    return pu8Buf[wire::kOffGob + 3] & 3u;
}

std::uint32_t dec_packet_size(const std::uint8_t* pu8Buf, std::uint32_t u32Off) {
    return wire::load_be32(pu8Buf + u32Off);
}

std::uint32_t dec_timestamp(const std::uint8_t* pu8Buf, std::uint32_t u32Off) {
    return wire::load_be32(pu8Buf + u32Off);
}

void enc_socket_codec_cmd(CmdBytes out, const CodecCmd& cmd) {
    std::copy(cmd.magic.begin(), cmd.magic.end(), out.begin());
    wire::store_cmd_fields(out.data(), cmd);
    std::copy_n(cmd.reserved.begin(), kPackedReserved, out.begin() + wire::kOffReserved);
    out[wire::kCodecCmdSize - 1] = 0;
}

void dec_socket_codec_cmd(ConstCmdBytes in, CodecCmd& cmd) {
    wire::load_cmd_fields(in.data(), cmd);
    std::copy_n(in.begin() + wire::kOffReserved, kPackedReserved, cmd.reserved.begin());
}

void fill_codec_enc_vdo_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16Width,
                                   std::uint16_t u16Height, std::uint8_t u8FrRate, std::uint16_t u16BitRate,
                                   std::uint8_t u8Chan) {
    reset(cmd, wire::REQ_VDO_ENC);
    cmd.u16Type = u16Type;
    cmd.u16VdoWidth = u16Width;
    cmd.u16VdoHeight = u16Height;
    cmd.u8VdoFrRate = u8FrRate;
    cmd.u16BitRate = u16BitRate;
    cmd.u8ChanIdx = u8Chan;
    // HD pictures at a real frame rate need the cheaper encoder mode; the
    // test is on the height only.
    cmd.u32VdoEncComplexity = (u16Height > 700 && u8FrRate > 14) ? 2 : 4;
    cmd.u32VdoEncIFrameInterval = 0;
    cmd.u32VdoEncIMBInsert = (u16Type == wire::STD_H264) ? 0 : 1;
    // The H.264 content channel always runs in the cheaper mode.
    if (u16Type == wire::STD_H264 && u8Chan == 2) {
        cmd.u32VdoEncComplexity = 2;
        print_msg("u32VdoEncComplexity = 2\n");
    }
}

void fill_codec_enc_ado_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16BlkBytes,
                                   std::uint16_t u16BitRate, std::uint8_t u8Chan) {
    reset(cmd, wire::REQ_ADO_ENC);
    cmd.u16Type = u16Type;
    cmd.u16ByteNumPerBlk = u16BlkBytes;
    cmd.u16BitRate = u16BitRate;
    cmd.u8ChanIdx = u8Chan;
}

void fill_codec_dec_vdo_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint8_t u8Chan) {
    reset(cmd, wire::REQ_VDO_DEC);
    cmd.u16Type = u16Type;
    cmd.u8ChanIdx = u8Chan;
}

void fill_codec_dec_ado_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16BlkBytes,
                                   std::uint16_t u16BitRate, std::uint8_t u8Chan) {
    reset(cmd, wire::REQ_ADO_DEC);
    cmd.u16Type = u16Type;
    cmd.u16ByteNumPerBlk = u16BlkBytes;
    cmd.u16BitRate = u16BitRate;
    cmd.u8ChanIdx = u8Chan;
}

void fill_close_chan_cmd_struct(CodecCmd& cmd, std::uint16_t u16Code, std::uint8_t u8Chan) {
    reset(cmd, u16Code);
    cmd.u8ChanIdx = u8Chan;
}

void fill_codec_set_mcu_mode_cmd(CodecCmd& cmd, std::uint8_t u8Mode, std::uint16_t u16Width,
                                 std::uint16_t u16Height, std::uint8_t u8Sections) {
    reset(cmd, wire::REQ_VDO_SET_MCU_MODE);
    cmd.u8McuMode = u8Mode;
    cmd.u16VdoWidth = u16Width;
    cmd.u16VdoHeight = u16Height;
    cmd.u8DisSectionNum = u8Sections;
}

void fill_codec_ack_cmd_struct(CodecCmd& cmd, std::uint16_t u16Code, std::uint8_t u8Agree, std::uint8_t u8Chan) {
    reset(cmd, u16Code);
    cmd.u8AgreeFlag = u8Agree;
    cmd.u8ChanIdx = u8Chan;
}

}  // namespace avhub
