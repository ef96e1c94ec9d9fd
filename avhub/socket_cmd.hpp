// Builders, packers and readers of the two codec-link records: the 18-byte
// PacketHeader and the 48-byte CodecCmd. Records and buffers belong to the
// caller; nothing here checks or fails.
#pragma once

#include <cstdint>
#include <span>

#include "wire/codes.hpp"
#include "wire/records.hpp"

namespace avhub {

using wire::CodecCmd;
using CmdBytes = std::span<std::uint8_t, wire::kCodecCmdSize>;
using ConstCmdBytes = std::span<const std::uint8_t, wire::kCodecCmdSize>;

// Writes a video header into pu8Buf[0..17]: the frame flags go to byte 14 and
// bytes 15..17 are zero (readers take the flags from byte 17, so a header
// built here reads back as flags 0). Returns u32Len + 18.
std::uint32_t enc_vdo_stream_packet(std::uint8_t* pu8Buf, std::uint8_t u8Chan, std::uint32_t u32Len,
                                    std::uint32_t u32TimeStamp, std::uint8_t u8Gob);
// Writes an audio header (bytes 14..17 zero). Returns u32Len + 18.
std::uint32_t enc_ado_stream_packet(std::uint8_t* pu8Buf, std::uint8_t u8Chan, std::uint32_t u32Len,
                                    std::uint32_t u32SeqNum);

std::uint8_t dec_stream_ch(const std::uint8_t* pu8Buf);
// Frame-piece flags as the encoders send them: the two low bits of byte 17.
std::uint8_t dec_stream_gob(const std::uint8_t* pu8Buf);
// Big-endian 32-bit value at the offset (10: payload length, 6: time stamp).
std::uint32_t dec_packet_size(const std::uint8_t* pu8Buf, std::uint32_t u32Off);
std::uint32_t dec_timestamp(const std::uint8_t* pu8Buf, std::uint32_t u32Off);

// Packs bytes 0..46 of the record; byte 47 goes out as zero.
void enc_socket_codec_cmd(CmdBytes out, const CodecCmd& cmd);
// Unpacks bytes 4..46; the magic is neither copied nor checked, byte 47 is
// not looked at.
void dec_socket_codec_cmd(ConstCmdBytes in, CodecCmd& cmd);

// Builders: each zeroes the record, writes the magic, the code and its
// arguments.
void fill_codec_enc_vdo_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16Width,
                                   std::uint16_t u16Height, std::uint8_t u8FrRate, std::uint16_t u16BitRate,
                                   std::uint8_t u8Chan);
void fill_codec_enc_ado_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16BlkBytes,
                                   std::uint16_t u16BitRate, std::uint8_t u8Chan);
void fill_codec_dec_vdo_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint8_t u8Chan);
void fill_codec_dec_ado_cmd_struct(CodecCmd& cmd, std::uint16_t u16Type, std::uint16_t u16BlkBytes,
                                   std::uint16_t u16BitRate, std::uint8_t u8Chan);
void fill_close_chan_cmd_struct(CodecCmd& cmd, std::uint16_t u16Code, std::uint8_t u8Chan);
void fill_codec_set_mcu_mode_cmd(CodecCmd& cmd, std::uint8_t u8Mode, std::uint16_t u16Width,
                                 std::uint16_t u16Height, std::uint8_t u8Sections);
// An acknowledgement: code, agree flag and channel.
void fill_codec_ack_cmd_struct(CodecCmd& cmd, std::uint16_t u16Code, std::uint8_t u8Agree, std::uint8_t u8Chan);

}  // namespace avhub
