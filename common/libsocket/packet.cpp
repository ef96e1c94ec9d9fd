// Field-by-field packing of the codec-link records and acknowledgements.
#include "packet.h"

#include <algorithm>

#include "socket.h"
#include "wire/fields.hpp"

void pack_packet_header(PacketHeaderWire out, const wire::PacketHeader& hdr) {
    // The record's own magic is never trusted: the wire always gets the constant.
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), out.begin());
    wire::store_header_fields(out.data(), hdr);
}

void unpack_packet_header(std::span<const std::uint8_t, wire::kPacketHeaderSize> in, wire::PacketHeader& hdr) {
    std::copy_n(in.begin(), hdr.magic.size(), hdr.magic.begin());
    wire::load_header_fields(in.data(), hdr);
}

int is_packet_header(std::span<const std::uint8_t, wire::kPacketHeaderSize> in) {
    return wire::has_magic(in.data()) ? 1 : 0;
}

void pack_codec_command(CodecCmdWire out, const wire::CodecCmd& cmd) {
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), out.begin());
    wire::store_cmd_fields(out.data(), cmd);
    std::copy(cmd.reserved.begin(), cmd.reserved.end(), out.begin() + wire::kOffReserved);
}

void unpack_codec_command(std::span<const std::uint8_t, wire::kCodecCmdSize> in, wire::CodecCmd& cmd) {
    std::copy_n(in.begin(), cmd.magic.size(), cmd.magic.begin());
    wire::load_cmd_fields(in.data(), cmd);
    std::copy_n(in.begin() + wire::kOffReserved, cmd.reserved.size(), cmd.reserved.begin());
}

int is_codec_command(std::span<const std::uint8_t, wire::kCodecCmdSize> in) {
    return wire::has_magic(in.data()) ? 1 : 0;
}

void fill_ack_codec_command(wire::CodecCmd& cmd, int code, int agree, int channel) {
    cmd.magic = wire::kMagic;
    cmd.u16Cmd = static_cast<std::uint16_t>(code);
    cmd.u8AgreeFlag = static_cast<std::uint8_t>(agree);
    cmd.u8ChanIdx = static_cast<std::uint8_t>(channel);
}

int codec_command_ack_param(int fd, wire::CodecCmd& cmd, int code, int agree, int channel) {
    fill_ack_codec_command(cmd, code, agree, channel);
    std::array<std::uint8_t, wire::kCodecCmdSize> buf{};
    pack_codec_command(buf, cmd);
    return socket_writen(fd, buf.data(), buf.size());
}

int codec_command_ack(int fd, wire::CodecCmd& cmd, int code, int agree, int channel) {
    // A plain acknowledgement carries only code, agree flag and channel.
    cmd = wire::CodecCmd{};
    return codec_command_ack_param(fd, cmd, code, agree, channel);
}
