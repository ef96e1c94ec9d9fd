// Packers of the stream header and the codec command: any wire bytes
// unpack and pack back to themselves (with the constant magic), the magic
// tests agree with the bytes, and acknowledgements change only their fields.
#include <array>
#include <cstring>

#include "fuzz_util.hpp"
#include "libsocket/packet.h"

namespace {

using wire::kCodecCmdSize;
using wire::kPacketHeaderSize;

bool starts_with_magic(const std::uint8_t* p) { return std::memcmp(p, wire::kMagic.data(), 4) == 0; }

std::uint32_t be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

void check_header(const std::array<std::uint8_t, kPacketHeaderSize>& in) {
    wire::PacketHeader hdr;
    unpack_packet_header(in, hdr);
    FUZZ_CHECK(std::memcmp(hdr.magic.data(), in.data(), 4) == 0);
    FUZZ_CHECK(hdr.u8StreamType == in[4] && hdr.u8StreamCh == in[5]);
    FUZZ_CHECK(hdr.u32TimeStamp == be32(&in[6]));
    FUZZ_CHECK(hdr.u32PacketSize == be32(&in[10]));
    FUZZ_CHECK(hdr.u32Gob == be32(&in[14]));
    FUZZ_CHECK(is_packet_header(in) == (starts_with_magic(in.data()) ? 1 : 0));

    std::array<std::uint8_t, kPacketHeaderSize> out{};
    pack_packet_header(out, hdr);
    FUZZ_CHECK(starts_with_magic(out.data()));
    FUZZ_CHECK(std::memcmp(out.data() + 4, in.data() + 4, kPacketHeaderSize - 4) == 0);
}

void check_command(const std::array<std::uint8_t, kCodecCmdSize>& in, int code, int agree, int channel) {
    wire::CodecCmd cmd;
    unpack_codec_command(in, cmd);
    FUZZ_CHECK(std::memcmp(cmd.magic.data(), in.data(), 4) == 0);
    FUZZ_CHECK(cmd.u16Cmd == ((in[4] << 8) | in[5]));
    FUZZ_CHECK(cmd.u8ChanIdx == in[wire::kOffChanIdx] && cmd.u8AgreeFlag == in[wire::kOffAgreeFlag]);
    FUZZ_CHECK(is_codec_command(in) == (starts_with_magic(in.data()) ? 1 : 0));

    std::array<std::uint8_t, kCodecCmdSize> out{};
    pack_codec_command(out, cmd);
    FUZZ_CHECK(starts_with_magic(out.data()));
    FUZZ_CHECK(std::memcmp(out.data() + 4, in.data() + 4, kCodecCmdSize - 4) == 0);

    // An acknowledgement keeps every field but magic, code, agree and channel.
    wire::CodecCmd acked = cmd;
    fill_ack_codec_command(acked, code, agree, channel);
    FUZZ_CHECK(acked.u16Cmd == static_cast<std::uint16_t>(code));
    FUZZ_CHECK(acked.u8AgreeFlag == static_cast<std::uint8_t>(agree));
    FUZZ_CHECK(acked.u8ChanIdx == static_cast<std::uint8_t>(channel));
    FUZZ_CHECK(acked.magic == wire::kMagic);
    std::array<std::uint8_t, kCodecCmdSize> ackOut{};
    pack_codec_command(ackOut, acked);
    for (std::size_t i = 4; i < kCodecCmdSize; ++i) {
        const bool ackField = i == wire::kOffCmd || i == wire::kOffCmd + 1 || i == wire::kOffAgreeFlag ||
                              i == wire::kOffChanIdx;
        if (!ackField) FUZZ_CHECK(ackOut[i] == in[i]);
    }

    // On the wire, a plain acknowledgement is the cleared record plus those
    // three fields; the parameter form keeps the rest.
    fuzz::Pair pair;
    wire::CodecCmd rec = cmd;
    FUZZ_CHECK(codec_command_ack(pair.fd[0], rec, code, agree, channel) == static_cast<int>(kCodecCmdSize));
    rec = cmd;
    FUZZ_CHECK(codec_command_ack_param(pair.fd[0], rec, code, agree, channel) == static_cast<int>(kCodecCmdSize));
    fuzz::Bytes wire_bytes;
    fuzz::drain(pair.fd[1], wire_bytes);
    FUZZ_CHECK(wire_bytes.size() == 2 * kCodecCmdSize);
    wire::CodecCmd plain{};
    fill_ack_codec_command(plain, code, agree, channel);
    std::array<std::uint8_t, kCodecCmdSize> plainOut{};
    pack_codec_command(plainOut, plain);
    FUZZ_CHECK(std::memcmp(wire_bytes.data(), plainOut.data(), kCodecCmdSize) == 0);
    FUZZ_CHECK(std::memcmp(wire_bytes.data() + kCodecCmdSize, ackOut.data(), kCodecCmdSize) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    std::array<std::uint8_t, kPacketHeaderSize> hdr{};
    std::array<std::uint8_t, kCodecCmdSize> cmd{};
    auto h = in.take(hdr.size());
    std::copy(h.begin(), h.end(), hdr.begin());
    auto c = in.take(cmd.size());
    std::copy(c.begin(), c.end(), cmd.begin());
    check_header(hdr);
    const int code = static_cast<int>(in.u32());
    const int agree = static_cast<std::int16_t>(in.u16());
    const int channel = static_cast<std::int16_t>(in.u16());
    check_command(cmd, code, agree, channel);
    return 0;
}
