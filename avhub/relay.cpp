// Encoder bitstream relay: de-framing of the encoder sockets, video frame
// assembly, audio blocking with the delay buffer, and the hand-on to the
// bridge peers or the local decoders.
#include "relay.hpp"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "box_test.hpp"
#include "globals.hpp"
#include "log.hpp"
#include "socket_cmd.hpp"
#include "stream_writer.hpp"
#include "wire/fields.hpp"
#include "wire/codes.hpp"

namespace avhub {

std::array<SktParam, kSktParamCount> SktParam_t;

namespace {

constexpr char kModule[] = "main.c";
constexpr std::size_t kHdr = wire::kPacketHeaderSize;

// Throttling of per-frame lines: one in 300 frames begun, one in 60 frames
// handed on or dropped (and of the relay's own drop lines), first included.
constexpr std::uint32_t kBegunLogEvery = 300;
constexpr std::uint32_t kSentLogEvery = 60;
// Only accumulators 0 to 3 are drained into audio blocks.
constexpr std::size_t kDrainedAdoBufs = 4;

std::uint32_t u32VdoSendCnt = 0;   // frames handed to the decoder or dropped in VCB mode
std::uint32_t u32StrayPieceCnt = 0;
std::uint32_t u32AdoDropCnt = 0;

bool throttle_hit(std::uint32_t count, std::uint32_t every) { return count % every == 1 % every; }

// Looks for the magic from the second byte on; returns how many of the
// avail held bytes to discard: those before it, or all but the last four
// when there is none (they may be the start of a magic still arriving).
std::uint32_t resync_skip(const std::uint8_t* p, std::uint32_t avail) {
    for (std::uint32_t q = 1; q + 4 <= avail; ++q) {
        if (wire::has_magic(p + q)) return q;
    }
    return avail - 4;
}

void take_audio_payload(const std::uint8_t* payload, std::uint32_t L, std::uint8_t ch) {
    if (ch >= kMainAdoBufCount || u8MainAdoBuf[ch].size() < u32MainAdoBufLen[ch] ||
        u8MainAdoBuf[ch].size() - u32MainAdoBufLen[ch] < L) {
        ++u32AdoDropCnt;
        if (throttle_hit(u32AdoDropCnt, kSentLogEvery)) {
            AVHUB_LOG("Drop audio ch %d len %u held %u (dropped %u)\n", ch, L,
                      ch < kMainAdoBufCount ? u32MainAdoBufLen[ch] : 0u, u32AdoDropCnt);
        }
        return;
    }
    std::memcpy(u8MainAdoBuf[ch].data() + u32MainAdoBufLen[ch], payload, L);
    u32MainAdoBufLen[ch] += L;
}

void frame_step(std::uint8_t ch, std::uint8_t gob) {
    if (u32MainVdoBufLen >= kLargeFrameBytes) {
        print_msg("Frame Size too Large %d [%d] \n", static_cast<int>(u32MainVdoBufLen), get_msec_count());
    }
    if (pRecFile != nullptr && Recording == 1) {
        std::fwrite(u8MainVdoBuf.data(), 1, u32MainVdoBufLen, pRecFile);
        // Kept current so the file can be read while a call runs.
        std::fflush(pRecFile);
    }
    if (ch == u32RelayVdoChan) {
        main_thread_vdo_proc(0, gob);
    } else {
        u32MainVdoBufLen = 0;
    }
}

void audio_step() {
    const std::uint32_t B = u32AdoBlkSize;
    if (B == 0) return;
    const std::uint32_t T = std::max(B, static_cast<std::uint32_t>(std::max(DelayBuf, 0)));
    for (std::size_t i = 0; i < kDrainedAdoBufs; ++i) {
        while (u32MainAdoBufLen[i] >= T) {
            main_thread_ado_proc(static_cast<int>(i), B);
            std::memmove(u8MainAdoBuf[i].data(), u8MainAdoBuf[i].data() + B, u32MainAdoBufLen[i] - B);
            u32MainAdoBufLen[i] -= B;
        }
    }
}

void report_recv_error(int fd, std::span<std::uint8_t> buf, std::uint32_t held, int waiting, long result) {
    if (fd == s32VdoEncSockFd) {
        print_msg("%s %d =>s32VdoEncSockFd (%d) %d %d\n", kModule, __LINE__, fd, waiting, static_cast<int>(result));
    } else if (fd == s32AdoEncSockFd) {
        print_msg("%s %d =>s32AdoEncSockFd (%d) %d %d\n", kModule, __LINE__, fd, waiting, static_cast<int>(result));
        // Buffer addresses, printed as numbers for diagnosis.
        print_msg("[%d %d] %d\n", static_cast<int>(reinterpret_cast<std::uintptr_t>(buf.data())),
                  static_cast<int>(held), static_cast<int>(reinterpret_cast<std::uintptr_t>(u8AdoSockBuf.data())));
    }
}

}  // namespace

void main_thread_read_sock_buf(int s32SockFd, std::span<std::uint8_t> buf, std::uint32_t& u32BufLen,
                               std::uint8_t& u8Status) {
    if (s32SockFd <= 0 || buf.size() < kHdr) return;
    int waiting = 0;
    if (::ioctl(s32SockFd, FIONREAD, &waiting) != 0 || waiting <= 0) return;

    // A held count beyond the buffer would be a broken invariant; never
    // trust it for the free-space arithmetic.
    std::uint32_t held = std::min<std::uint32_t>(u32BufLen, static_cast<std::uint32_t>(buf.size()));
    const std::size_t room = buf.size() - held;
    const std::size_t want = std::min(static_cast<std::size_t>(waiting), room);
    const ssize_t got = ::recv(s32SockFd, buf.data() + held, want, MSG_WAITALL | MSG_DONTWAIT);
    if (got < 0) {
        report_recv_error(s32SockFd, buf, held, waiting, static_cast<long>(got));
        return;
    }
    held += static_cast<std::uint32_t>(got);

    // Packets are taken from a moving offset and the rest is moved to the
    // front once at the end: moving it after every packet made a pass cost
    // the square of the bytes waiting.
    std::uint32_t pos = 0;
    for (;;) {
        if (held - pos < kHdr) break;
        std::uint8_t* p = buf.data() + pos;
        const std::uint8_t type = p[wire::kOffStreamType];
        const std::uint32_t L = dec_packet_size(p, wire::kOffPacketSize);
        const std::uint8_t ch = dec_stream_ch(p);
        bool tookVideo = false;
        std::uint8_t gob = 0;

        if (type == wire::kStreamVideo || type == wire::kStreamAudio) {
            if (type == wire::kStreamVideo && s32SockFd != s32VdoEncSockFd && s32SockFd != s32H239EncSockFd) {
                print_msg("Wrong Video Fd (%d != %d)\n", s32SockFd, s32VdoEncSockFd);
            }
            if (type == wire::kStreamAudio && s32SockFd != s32AdoEncSockFd) {
                print_msg("Wrong Audio Fd (%d != %d)\n", s32SockFd, s32AdoEncSockFd);
            }
            // Header and payload must fit the receive buffer (and a video
            // payload the frame buffer), or the packet can never be taken.
            const std::size_t limit =
                type == wire::kStreamVideo ? std::min(buf.size(), u8MainVdoBuf.size() + kHdr) : buf.size();
            if (L > limit - kHdr) {
                AVHUB_LOG("Packet too large %u (type %d), resync\n", L, type);
                pos += resync_skip(p, held - pos);
                u8Status = 0;
            } else if (held - pos < L + kHdr) {
                u8Status = type == wire::kStreamVideo ? 1 : 2;
                break;
            } else {
                if (type == wire::kStreamVideo) {
                    if (u32MainVdoBufLen > u8MainVdoBuf.size() || u8MainVdoBuf.size() - u32MainVdoBufLen < L) {
                        u32MainVdoBufLen = 0;  // a leftover that cannot be joined is dropped
                    }
                    std::memcpy(u8MainVdoBuf.data() + u32MainVdoBufLen, p + kHdr, L);
                    u32MainVdoBufLen += L;
                    gob = dec_stream_gob(p);
                    tookVideo = true;
                } else {
                    take_audio_payload(p + kHdr, L, ch);
                }
                u8Status = 0;
                pos += L + static_cast<std::uint32_t>(kHdr);
            }
        } else {
            print_msg("Lose Encoder Bitstream !!!!!!!\n");
            print_msg("? %02X %02X %02X %02X\n", p[0], p[1], p[2], p[3]);
            pos += resync_skip(p, held - pos);
        }

        if (tookVideo && u32MainVdoBufLen != 0) frame_step(ch, gob);
        audio_step();

        if (held - pos <= kHdr || u8Status != 0) break;
        const std::uint32_t nextL = dec_packet_size(buf.data() + pos, wire::kOffPacketSize);
        if (static_cast<std::uint64_t>(held - pos) < static_cast<std::uint64_t>(nextL) + kHdr) break;
    }
    if (pos > 0) std::memmove(buf.data(), buf.data() + pos, held - pos);
    u32BufLen = held - pos;
}

void main_thread_vdo_proc(int r, std::uint8_t u8Gob) {
    if (r < 0 || static_cast<std::size_t>(r) >= kSktParamCount) {
        u32MainVdoBufLen = 0;
        return;
    }
    SktParam& sp = SktParam_t[static_cast<std::size_t>(r)];
    if (u8Gob & wire::kGobFirst) {
        sp.u32Len = static_cast<std::uint32_t>(kHdr);
        ++sp.u32FrmCnt;
        sp.u32FrmTm = static_cast<std::uint32_t>(get_msec_count());
        sp.bInFrame = true;
        if (sp.u32FrmCnt % kBegunLogEvery == 0) AVHUB_LOG("Recv Enc Fr %d\n", static_cast<int>(sp.u32FrmCnt));
    }
    if (!sp.bInFrame) {
        ++u32StrayPieceCnt;
        if (throttle_hit(u32StrayPieceCnt, kSentLogEvery)) {
            AVHUB_LOG("Piece outside a frame dropped, len %u (dropped %u)\n", u32MainVdoBufLen, u32StrayPieceCnt);
        }
        u32MainVdoBufLen = 0;
        return;
    }
    if (sp.u8Buf.size() - sp.u32Len < u32MainVdoBufLen) {
        // The rest of this frame is ignored until the next first piece.
        AVHUB_LOG("Frame too large, drop frame %u at %u + %u bytes\n", sp.u32FrmCnt, sp.u32Len - 18u,
                  u32MainVdoBufLen);
        sp.bInFrame = false;
        u32MainVdoBufLen = 0;
        return;
    }
    std::memcpy(sp.u8Buf.data() + sp.u32Len, u8MainVdoBuf.data(), u32MainVdoBufLen);
    sp.u32Len += u32MainVdoBufLen;
    u32MainVdoBufLen = 0;
    if (!(u8Gob & wire::kGobLast)) return;

    sp.bInFrame = false;
    enc_vdo_stream_packet(sp.u8Buf.data(), static_cast<std::uint8_t>(r), sp.u32Len - static_cast<std::uint32_t>(kHdr),
                          sp.u32FrmTm, 0);
    const std::span<const std::uint8_t> pkt(sp.u8Buf.data(), sp.u32Len);
    const int len = static_cast<int>(sp.u32Len);
    if (get_box_vdo_btsm_cnt() != 0) {
        send_video_to_box(pkt);
    } else if (s32VdoDecSockFd != 0) {
        ++u32VdoSendCnt;
        const bool logIt = throttle_hit(u32VdoSendCnt, kSentLogEvery);
        if (u32VcbMode == 0) {
            if (logIt) AVHUB_LOG("send dec-video data %d\n", len);
            const int w = stream_writer::stream_write(s32VdoDecSockFd, pkt);
            // A drop is logged by the writer itself, throttled.
            if (w != len && w != stream_writer::kDropped) {
                const int err = errno;
                AVHUB_LOG("s32VdoDecSockFd Write Error %d errno[%d %s]\n", w, err, std::strerror(err));
            }
        } else if (logIt) {
            AVHUB_LOG("In Vcb test Mode, Drop data%d\n", len);
        }
    }
}

void main_thread_ado_proc(int i, std::uint32_t u32BlkLen) {
    // Made once: one block is built here at a time.
    static std::array<std::uint8_t, kAdoPktBufSize> pkt{};
    if (i < 0 || static_cast<std::size_t>(i) >= kMainAdoBufCount || u32BlkLen > kAdoPktBufSize - kHdr ||
        u32BlkLen > u32MainAdoBufLen[static_cast<std::size_t>(i)]) {
        return;
    }
    enc_ado_stream_packet(pkt.data(), static_cast<std::uint8_t>(i), u32BlkLen, u32AdoSeqNum);
    std::memcpy(pkt.data() + kHdr, u8MainAdoBuf[static_cast<std::size_t>(i)].data(), u32BlkLen);
    ++u32AdoSeqNum;
    if (s32AdoDecSockFd != 0) {
        stream_writer::stream_write(s32AdoDecSockFd, std::span<const std::uint8_t>(pkt.data(), u32BlkLen + kHdr));
    }
}

}  // namespace avhub
