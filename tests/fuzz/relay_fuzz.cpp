// The encoder relay's de-framer and frame assembly, fed through real
// sockets in reads of any size.
//
// Framed mode: the input describes encoder packets (video pieces with their
// frame flags, audio payloads on any channel); the streams are cut into
// arbitrary reads. The decoders must then get exactly the frames a plain
// model assembles (payload = the pieces from a first to a last piece of the
// relayed channel, joined) and exactly the audio bytes of channels 0-3,
// re-blocked and numbered in order.
//
// Raw mode: any bytes on either encoder socket. Nothing may be read or
// written out of bounds and whatever reaches a decoder is whole packets.
#include <sys/ioctl.h>

#include <array>
#include <deque>

#include "box_test.hpp"
#include "fuzz_util.hpp"
#include "globals.hpp"
#include "relay.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace {

using fuzz::Bytes;
constexpr std::size_t kHdr = wire::kPacketHeaderSize;
constexpr std::size_t kDrained = 4;  // audio channels re-blocked

// Audio block sizes of the standards, and 0 for "no audio standard open".
constexpr std::array<std::uint32_t, 8> kBlockSizes{0, 60, 80, 120, 160, 320, 640, 1920};

struct Buffers {
    Bytes vdo = Bytes(avhub::kVdoSockBufSize);
    Bytes ado = Bytes(avhub::kAdoSockBufSize);
    Bytes mainVdo = Bytes(avhub::kMainVdoBufSize);
    std::array<Bytes, avhub::kMainAdoBufCount> mainAdo;
    Buffers() {
        for (Bytes& b : mainAdo) b.resize(avhub::kMainAdoBufSize);
        avhub::u8VdoSockBuf = vdo;
        avhub::u8AdoSockBuf2 = ado;
        avhub::u8MainVdoBuf = mainVdo;
        for (std::size_t i = 0; i < mainAdo.size(); ++i) avhub::u8MainAdoBuf[i] = mainAdo[i];
    }
};

Bytes packet(std::uint8_t type, std::uint8_t ch, std::uint8_t gob, std::span<const std::uint8_t> payload) {
    Bytes b(kHdr);
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    b[4] = type;
    b[5] = ch;
    wire::store_be32(&b[10], static_cast<std::uint32_t>(payload.size()));
    b[17] = gob;
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// What the decoders should get from a framed input.
struct Model {
    std::uint32_t relayChan = 0;
    std::uint32_t block = 0;
    std::uint32_t threshold = 0;
    bool inFrame = false;
    Bytes frame;
    std::vector<Bytes> frames;
    std::array<Bytes, avhub::kMainAdoBufCount> held;
    std::array<Bytes, kDrained> blocks;  // per channel, joined

    void video(std::uint8_t ch, std::uint8_t gob, std::span<const std::uint8_t> p) {
        // Empty pieces, and pieces of another channel, change nothing.
        if (p.empty() || ch != relayChan) return;
        if (gob & wire::kGobFirst) {
            inFrame = true;
            frame.clear();
        }
        if (!inFrame) return;
        frame.insert(frame.end(), p.begin(), p.end());
        if (gob & wire::kGobLast) {
            frames.push_back(frame);
            inFrame = false;
        }
    }
    void audio(std::uint8_t ch, std::span<const std::uint8_t> p) {
        if (ch >= held.size() || held[ch].size() + p.size() > avhub::kMainAdoBufSize) return;
        held[ch].insert(held[ch].end(), p.begin(), p.end());
        if (block == 0) return;
        for (std::size_t i = 0; i < kDrained; ++i) {
            while (held[i].size() >= threshold) {
                blocks[i].insert(blocks[i].end(), held[i].begin(), held[i].begin() + block);
                held[i].erase(held[i].begin(), held[i].begin() + block);
            }
        }
    }
};

// Splits what a decoder got into packets; every one must be whole.
std::vector<std::pair<std::array<std::uint8_t, kHdr>, Bytes>> packets_of(const Bytes& s) {
    std::vector<std::pair<std::array<std::uint8_t, kHdr>, Bytes>> out;
    std::size_t off = 0;
    while (off < s.size()) {
        FUZZ_CHECK(s.size() - off >= kHdr);
        std::array<std::uint8_t, kHdr> h{};
        std::copy_n(s.begin() + static_cast<long>(off), kHdr, h.begin());
        FUZZ_CHECK(wire::has_magic(h.data()));
        const std::uint32_t len = wire::load_be32(&h[10]);
        FUZZ_CHECK(s.size() - off - kHdr >= len);
        const auto from = s.begin() + static_cast<long>(off + kHdr);
        out.emplace_back(h, Bytes(from, from + len));
        off += kHdr + len;
    }
    return out;
}

struct Rig {
    fuzz::Pair venc, aenc, vdec, adec;
    std::uint32_t vLen = 0, aLen = 0;
    std::uint8_t vSt = 0, aSt = 0;
    Bytes vOut, aOut;

    Rig() {
        static Buffers buffers;
        avhub::s32VdoEncSockFd = venc.fd[0];
        avhub::s32AdoEncSockFd = aenc.fd[0];
        avhub::s32VdoDecSockFd = vdec.fd[0];
        avhub::s32AdoDecSockFd = adec.fd[0];
        avhub::s32H239EncSockFd = 0;
        avhub::u32MainVdoBufLen = 0;
        avhub::u32MainAdoBufLen.fill(0);
        avhub::SktParam_t[0].u32Len = 0;
        avhub::SktParam_t[0].bInFrame = false;
        avhub::u32AdoSeqNum = 0;
        avhub::u32VcbMode = 0;
        avhub::Recording = 0;
        avhub::pRecFile = nullptr;
        avhub::BdgServer_t.u32VdoBtsmCnt = 0;
    }
    ~Rig() {
        // The writer must not keep a rest for a descriptor number reused later.
        stream_writer::stream_forget(vdec.fd[0]);
        stream_writer::stream_forget(adec.fd[0]);
        avhub::s32VdoEncSockFd = avhub::s32AdoEncSockFd = avhub::s32VdoDecSockFd = avhub::s32AdoDecSockFd = 0;
    }

    // One chunk into an encoder socket, then read steps until it is taken.
    void feed(bool video, std::span<const std::uint8_t> chunk) {
        const int fd = video ? venc.fd[0] : aenc.fd[0];
        FUZZ_CHECK(fuzz::send_some(video ? venc.fd[1] : aenc.fd[1], chunk) == chunk.size());
        std::span<std::uint8_t> buf = video ? avhub::u8VdoSockBuf : avhub::u8AdoSockBuf2;
        for (int step = 0; step < 64; ++step) {
            int waiting = 0;
            if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0) break;
            avhub::main_thread_read_sock_buf(fd, buf, video ? vLen : aLen, video ? vSt : aSt);
            FUZZ_CHECK((video ? vLen : aLen) <= buf.size());
        }
        stream_writer::stream_flush_pending();
        fuzz::drain(vdec.fd[1], vOut);
        fuzz::drain(adec.fd[1], aOut);
    }
};

// Read sizes from a small generator: from single bytes to whole buffers.
struct Cuts {
    std::uint32_t state;
    std::size_t next() {
        state = state * 1103515245u + 12345u;
        const unsigned shift = (state >> 16) % 18;
        return 1 + ((state >> 8) & ((1u << shift) - 1));
    }
};

void deliver(Rig& rig, const Bytes& v, const Bytes& a, Cuts cuts) {
    std::size_t vo = 0, ao = 0;
    while (vo < v.size() || ao < a.size()) {
        const bool video = ao >= a.size() || (vo < v.size() && (cuts.state & 0x100000) != 0);
        const Bytes& s = video ? v : a;
        std::size_t& o = video ? vo : ao;
        const std::size_t n = std::min(cuts.next(), s.size() - o);
        rig.feed(video, {s.data() + o, n});
        o += n;
    }
}

void run_framed(fuzz::Reader& in, std::uint8_t cfg) {
    Model m;
    m.relayChan = (cfg >> 1) & 1;
    m.block = kBlockSizes[(cfg >> 2) & 7];
    const std::uint32_t delay = in.u16() % 4000;
    m.threshold = std::max(m.block, delay);
    avhub::u32RelayVdoChan = m.relayChan;
    avhub::u32AdoBlkSize = m.block;
    avhub::DelayBuf = static_cast<std::int32_t>(delay);
    Cuts cuts{in.u32()};

    Bytes v, a;
    while (!in.empty()) {
        const std::uint8_t kind = in.byte();
        const std::uint8_t ch = (kind >> 1) & 0x0F;
        const std::uint8_t gob = (kind >> 5) & 3;
        auto payload = in.take(in.u16() % 3000);
        if (kind & 1) {
            const Bytes p = packet(wire::kStreamAudio, ch, 0, payload);
            a.insert(a.end(), p.begin(), p.end());
            m.audio(ch, payload);
        } else {
            const Bytes p = packet(wire::kStreamVideo, ch % 2, gob, payload);
            v.insert(v.end(), p.begin(), p.end());
            m.video(ch % 2, gob, payload);
        }
    }
    Rig rig;
    deliver(rig, v, a, cuts);

    // All is taken, but for an empty packet that arrived last alone: the
    // relay goes on only while more than a header is held.
    FUZZ_CHECK(rig.vLen == 0 || rig.vLen == kHdr);
    FUZZ_CHECK(rig.aLen == 0 || rig.aLen == kHdr);
    if (stream_writer::stream_dropped_count(rig.vdec.fd[0]) == 0) {
        const auto frames = packets_of(rig.vOut);
        FUZZ_CHECK(frames.size() == m.frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto& h = frames[i].first;
            FUZZ_CHECK(h[4] == wire::kStreamVideo && h[5] == 0);
            FUZZ_CHECK(frames[i].second == m.frames[i]);
        }
    }
    if (stream_writer::stream_dropped_count(rig.adec.fd[0]) == 0) {
        std::array<Bytes, kDrained> got;
        std::uint32_t seq = 0;
        for (const auto& [h, p] : packets_of(rig.aOut)) {
            FUZZ_CHECK(h[4] == wire::kStreamAudio && h[5] < kDrained);
            FUZZ_CHECK(p.size() == m.block);
            FUZZ_CHECK(wire::load_be32(&h[6]) == seq++);
            got[h[5]].insert(got[h[5]].end(), p.begin(), p.end());
        }
        for (std::size_t i = 0; i < kDrained; ++i) FUZZ_CHECK(got[i] == m.blocks[i]);
    }
}

void run_raw(fuzz::Reader& in, std::uint8_t cfg) {
    avhub::u32RelayVdoChan = (cfg >> 1) & 1;
    avhub::u32AdoBlkSize = kBlockSizes[(cfg >> 2) & 7];
    avhub::DelayBuf = static_cast<std::int32_t>(in.u16() % 4000) - 100;
    Rig rig;
    while (!in.empty()) {
        const std::uint8_t how = in.byte();
        rig.feed(how & 1, in.take(1 + in.u16() % (how & 2 ? 65536 : 64)));
    }
    for (const auto& [h, p] : packets_of(rig.vOut)) {
        FUZZ_CHECK(h[4] == wire::kStreamVideo && p.size() <= avhub::kFrameBufSize - kHdr);
    }
    for (const auto& [h, p] : packets_of(rig.aOut)) {
        FUZZ_CHECK(h[4] == wire::kStreamAudio && p.size() == avhub::u32AdoBlkSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Everything written at once fits a socket's buffer.
    if (size > 150000) return 0;
    fuzz::Reader in(data, size);
    const std::uint8_t cfg = in.byte();
    if (cfg & 1) {
        run_raw(in, cfg);
    } else {
        run_framed(in, cfg);
    }
    return 0;
}
