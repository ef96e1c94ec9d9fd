// Wire form of the stream packet header (18 bytes) and the codec command
// (48 bytes), the magic test, and codec-command acknowledgements.
#pragma once

#include <cstdint>
#include <span>

#include "wire/codes.hpp"
#include "wire/records.hpp"

using PacketHeaderWire = std::span<std::uint8_t, wire::kPacketHeaderSize>;
using CodecCmdWire = std::span<std::uint8_t, wire::kCodecCmdSize>;

// Packing always writes the magic 00 55 AA FF, whatever the record holds.
void pack_packet_header(PacketHeaderWire out, const wire::PacketHeader& hdr);
// Unpacking copies the wire magic as it is; check it with is_packet_header.
void unpack_packet_header(std::span<const std::uint8_t, wire::kPacketHeaderSize> in, wire::PacketHeader& hdr);
// 1 when the buffer starts with 00 55 AA FF, else 0.
int is_packet_header(std::span<const std::uint8_t, wire::kPacketHeaderSize> in);

void pack_codec_command(CodecCmdWire out, const wire::CodecCmd& cmd);
void unpack_codec_command(std::span<const std::uint8_t, wire::kCodecCmdSize> in, wire::CodecCmd& cmd);
int is_codec_command(std::span<const std::uint8_t, wire::kCodecCmdSize> in);

// Sets magic, u16Cmd (low 16 bits of code), u8AgreeFlag and u8ChanIdx (low 8
// bits each); no other field changes.
void fill_ack_codec_command(wire::CodecCmd& cmd, int code, int agree, int channel);

// Clears the record, fills it as above and writes its 48 wire bytes with
// socket_writen: 48, or -1.
int codec_command_ack(int fd, wire::CodecCmd& cmd, int code, int agree, int channel);

// As codec_command_ack but keeps every other field of the record.
int codec_command_ack_param(int fd, wire::CodecCmd& cmd, int code, int agree, int channel);
