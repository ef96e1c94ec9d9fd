// The intake of a bridge video bitstream connection, fed through a real
// socket in reads of any size.
//
// Framed mode: the input describes bridge packets (main video, audio,
// content video) cut into arbitrary reads. The decoder must get exactly the
// video packets, in order, with their payloads unchanged, rewritten as main
// video of channel 0 numbered by the connection; audio is skipped by its
// length. Only a tail shorter than a command record may stay held.
//
// Raw mode: any bytes. Nothing may be read or written out of bounds, the
// held count stays within the buffer, and the decoder gets whole packets.
#include <sys/ioctl.h>

#include <array>

#include "box_test.hpp"
#include "fuzz_util.hpp"
#include "globals.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace {

using fuzz::Bytes;
constexpr std::size_t kHdr = wire::kPacketHeaderSize;

Bytes packet(std::uint8_t type, std::uint8_t ch, std::uint32_t ts, std::span<const std::uint8_t> payload) {
    Bytes b(kHdr);
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    b[4] = type;
    b[5] = ch;
    wire::store_be32(&b[6], ts);
    wire::store_be32(&b[10], static_cast<std::uint32_t>(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

struct Forwarded {
    std::array<std::uint8_t, kHdr> hdr{};
    Bytes payload;
};

std::vector<Forwarded> packets_of(const Bytes& s) {
    std::vector<Forwarded> out;
    std::size_t off = 0;
    while (off < s.size()) {
        FUZZ_CHECK(s.size() - off >= kHdr);
        Forwarded f;
        std::copy_n(s.begin() + static_cast<long>(off), kHdr, f.hdr.begin());
        const std::uint32_t len = wire::load_be32(&f.hdr[10]);
        FUZZ_CHECK(s.size() - off - kHdr >= len);
        f.payload.assign(s.begin() + static_cast<long>(off + kHdr), s.begin() + static_cast<long>(off + kHdr + len));
        out.push_back(std::move(f));
        off += kHdr + len;
    }
    return out;
}

struct Slot {
    int index;
    fuzz::Pair bridge, dec;
    Bytes decoded;
    std::uint32_t firstCount;

    Slot(int i, std::uint32_t streamType, std::uint32_t count) : index(i), firstCount(count) {
        auto& c = avhub::BdgServer_t.stVdoBtsm[static_cast<std::size_t>(i)];
        c.s32Fd = bridge.fd[0];
        c.u32PktCnt = count;
        avhub::BdgServer_t.stVdoCmd[static_cast<std::size_t>(i)].u32StreamType = streamType;
        auto& buf = avhub::u8BdgSocketBuf[static_cast<std::size_t>(i)];
        if (!buf) buf.reset(new std::uint8_t[avhub::kBdgSocketBufSize]);
        avhub::u32BdgSocketLen[static_cast<std::size_t>(i)] = 0;
        avhub::s32VdoDecSockFd = dec.fd[0];
    }
    ~Slot() {
        stream_writer::stream_forget(dec.fd[0]);
        avhub::BdgServer_t.stVdoBtsm[static_cast<std::size_t>(index)].s32Fd = 0;
        avhub::s32VdoDecSockFd = 0;
    }
    std::uint32_t held() const { return avhub::u32BdgSocketLen[static_cast<std::size_t>(index)]; }

    // One chunk from the bridge, then service steps until it is read.
    void feed(std::span<const std::uint8_t> chunk) {
        FUZZ_CHECK(fuzz::send_some(bridge.fd[1], chunk) == chunk.size());
        for (int step = 0; step < 64; ++step) {
            int waiting = 0;
            if (::ioctl(bridge.fd[0], FIONREAD, &waiting) != 0 || waiting == 0) break;
            avhub::expansion_box_stream_proc(avhub::kKindVideo);
            FUZZ_CHECK(held() <= avhub::kBdgSocketBufSize);
        }
        stream_writer::stream_flush_pending();
        fuzz::drain(dec.fd[1], decoded);
    }

    // Whatever was forwarded is whole, rewritten and numbered in order.
    std::vector<Forwarded> forwarded() const {
        auto out = packets_of(decoded);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto& h = out[i].hdr;
            FUZZ_CHECK(wire::has_magic(h.data()) && h[4] == 0 && h[5] == 0);
            FUZZ_CHECK(wire::load_be32(&h[6]) == static_cast<std::uint32_t>(firstCount + i));
            FUZZ_CHECK(wire::load_be32(&h[14]) == 0);
        }
        return out;
    }
};

struct Cuts {
    std::uint32_t state;
    std::size_t next() {
        state = state * 1103515245u + 12345u;
        const unsigned shift = (state >> 16) % 18;
        return 1 + ((state >> 8) & ((1u << shift) - 1));
    }
};

void run_framed(fuzz::Reader& in, Slot& slot) {
    Cuts cuts{in.u32()};
    Bytes stream;
    std::vector<Bytes> sent;           // every packet, as sent
    std::vector<std::size_t> video;   // indexes of the video packets
    while (!in.empty()) {
        const std::uint8_t kind = in.byte();
        static constexpr std::uint8_t kTypes[] = {0, 1, 2};
        const std::uint8_t type = kTypes[kind % 3];
        auto payload = in.take(in.u16() % 4000);
        sent.push_back(packet(type, kind >> 2, in.u32(), payload));
        if (type != wire::kStreamAudio) video.push_back(sent.size() - 1);
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    for (std::size_t o = 0; o < stream.size();) {
        const std::size_t n = std::min(cuts.next(), stream.size() - o);
        slot.feed({stream.data() + o, n});
        o += n;
    }
    if (stream_writer::stream_dropped_count(slot.dec.fd[0]) != 0) return;

    // Only a tail shorter than a command record may stay held: whole
    // packets at the end of the stream, taken when more bytes come.
    FUZZ_CHECK(slot.held() < wire::kCodecCmdSize);
    std::size_t taken = sent.size();
    for (std::size_t tail = 0; tail < slot.held();) {
        FUZZ_CHECK(taken > 0);
        tail += sent[--taken].size();
        FUZZ_CHECK(tail <= slot.held());
    }
    std::size_t videoTaken = 0;
    while (videoTaken < video.size() && video[videoTaken] < taken) ++videoTaken;

    const auto got = slot.forwarded();
    FUZZ_CHECK(got.size() == videoTaken);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Bytes& p = sent[video[i]];
        FUZZ_CHECK(got[i].payload == Bytes(p.begin() + kHdr, p.end()));
    }
}

void run_raw(fuzz::Reader& in, Slot& slot) {
    while (!in.empty()) {
        const std::uint8_t how = in.byte();
        slot.feed(in.take(1 + in.u16() % (how & 1 ? 65536 : 64)));
    }
    slot.forwarded();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Everything written at once fits a socket's buffer.
    if (size > 150000) return 0;
    fuzz::Reader in(data, size);
    const std::uint8_t cfg = in.byte();
    Slot slot(cfg % avhub::kBdgMaxClients, (cfg >> 4) & 3, in.u32());
    if (cfg & 0x40) {
        run_raw(in, slot);
    } else {
        run_framed(in, slot);
    }
    return 0;
}
