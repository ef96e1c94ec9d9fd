// Expansion box server: accepts the bridge's connections on ports
// 2004-2007, drops them when the local link goes away, reads the bridge's
// commands and forwards its video bitstream to the local video decoder.
#include "box_test.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "globals.hpp"
#include "log.hpp"
#include "socket_cmd.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/fields.hpp"

namespace avhub {

BdgServer BdgServer_t;
std::array<std::unique_ptr<std::uint8_t[]>, kBdgSocketBufCount> u8BdgSocketBuf;
std::array<std::uint32_t, kBdgSocketBufCount> u32BdgSocketLen{};

namespace {

constexpr char kModule[] = "box_test.c";

// Bridge packets forwarded to the local decoder, for the 1-in-60 log.
std::uint32_t u32BdgFwdCnt = 0;

// One row per connection kind, in the order the listeners are served.
struct KindInfo {
    std::uint16_t port;
    int listen_poll;  // poll entry of the listener
    int slot_poll;    // first poll entry of the slots
    int rcvbuf;       // forced receive buffer, 0 = system default
    int sock_buf;     // first u8BdgSocketBuf entry, -1 = none
    const char* name; // in the log lines: "Too many %s Clients", "Close %s Fd[%d]"
};

enum Kind { kVdoBtsm, kVdoCmd, kAdoBtsm, kAdoCmd, kKindCount };

constexpr std::array<KindInfo, kKindCount> kKinds{{
    {kVdoBtsmPort, kPollListenVdoBtsm, kPollVdoBtsm, kVdoBtsmRcvBuf, 0, "Vdo Btsm"},
    {kVdoCmdPort, kPollListenVdoCmd, kPollVdoCmd, 0, -1, "Vdo Cmd"},
    {kAdoBtsmPort, kPollListenAdoBtsm, kPollAdoBtsm, kAdoBtsmRcvBuf, kBdgMaxClients, "Ado Btsm"},
    {kAdoCmdPort, kPollListenAdoCmd, kPollAdoCmd, 0, -1, "Ado Cmd"},
}};

std::int32_t& listen_fd(Kind k) {
    switch (k) {
        case kVdoBtsm: return BdgServer_t.s32VdoBtsmSvrFd;
        case kVdoCmd: return BdgServer_t.s32VdoCmdSvrFd;
        case kAdoBtsm: return BdgServer_t.s32AdoBtsmSvrFd;
        default: return BdgServer_t.s32AdoCmdSvrFd;
    }
}

std::array<BdgClient, kBdgMaxClients>& slots(Kind k) {
    switch (k) {
        case kVdoBtsm: return BdgServer_t.stVdoBtsm;
        case kVdoCmd: return BdgServer_t.stVdoCmd;
        case kAdoBtsm: return BdgServer_t.stAdoBtsm;
        default: return BdgServer_t.stAdoCmd;
    }
}

// Listening address index: audio bitstream, audio command, video bitstream,
// video command.
constexpr std::array<int, kKindCount> kSvrAddrIndex{2, 3, 0, 1};

int make_listener(Kind k) {
    // Close-on-exec: the shell commands avhub runs must not inherit the ports.
    // Non-blocking: a client that resets its connection between the poll and
    // the accept leaves nothing to accept, and accept must not wait for the
    // next one.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        AVHUB_LOG("socket fail errno[%d %s]\n", errno, std::strerror(errno));
        return 0;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in& addr = BdgServer_t.stSvrAddr[static_cast<std::size_t>(kSvrAddrIndex[k])];
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(kKinds[k].port);
    // A port that cannot be bound leaves its kind without connections; the
    // listener stays in the poll set and simply never reports a client.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, kListenBacklog) < 0) {
        AVHUB_LOG("Listen port %d fail errno[%d %s]\n", kKinds[k].port, errno, std::strerror(errno));
    }
    return fd;
}

// Kinds whose refusal line has been logged since the table last had room or
// the last "vcb_start" wait began: a full table is logged once per burst of
// refusals, not once per service step.
std::array<bool, kKindCount> g_refusal_logged{};

// Frees a slot: the writer forgets the descriptor before it is closed, so
// that a later connection given the same number never gets this one's
// rest; the slot's poll entry goes quiet.
void release_slot(Kind k, int i) {
    BdgClient& c = slots(k)[static_cast<std::size_t>(i)];
    stream_writer::stream_forget(c.s32Fd);
    ::close(c.s32Fd);
    c.s32Fd = 0;
    pollfd& p = BdgServer_t.stPollFd[static_cast<std::size_t>(kKinds[k].slot_poll + i)];
    p.fd = -1;
    p.events = 0;
    p.revents = 0;
    g_refusal_logged[k] = false;
}

void close_slot(Kind k, int i) {
    BdgClient& c = slots(k)[static_cast<std::size_t>(i)];
    if (c.s32Fd == 0) return;
    AVHUB_LOG("Close %s Fd[%d]\n", kKinds[k].name, i);
    release_slot(k, i);
}

// A connection whose peer has gone, found by a service step or by a failed
// write: its slot, descriptor and count are given back at once, so that the
// bridge can connect again and nothing more is written into it. The slot is
// closed with the line "vcb_stop" gives it, after a line that says why.
void drop_slot(Kind k, int i, const char* why) {
    if (slots(k)[static_cast<std::size_t>(i)].s32Fd == 0) return;
    AVHUB_LOG("Lost %s Client[%d]: %s\n", kKinds[k].name, i, why);
    close_slot(k, i);
    if (k == kVdoBtsm && BdgServer_t.u32VdoBtsmCnt > 0) --BdgServer_t.u32VdoBtsmCnt;
    if (k == kAdoBtsm && BdgServer_t.u32AdoBtsmCnt > 0) --BdgServer_t.u32AdoBtsmCnt;
}

// Drops the connection of kind k holding fd after a write to it failed for
// good (reset, broken pipe, ...); a full send buffer is no failure.
void drop_after_write(Kind k, int fd, int result, int err) {
    if (result != -1 || err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return;
    auto& table = slots(k);
    for (int i = 0; i < kBdgMaxClients; ++i) {
        if (table[static_cast<std::size_t>(i)].s32Fd == fd) drop_slot(k, i, std::strerror(err));
    }
}

void set_rcvbuf(int fd, int bytes) {
    // The forcing variant passes the system limit but needs privilege; fall
    // back to the plain option so that the buffer is at least as large as
    // the system allows.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void log_accept(Kind k, int i, const sockaddr_in& peer) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    AVHUB_LOG("Accept %s Client[%d] %s:%d\n", kKinds[k].name, i, ip, ntohs(peer.sin_port));
}

// Accepts one waiting connection of kind k into its lowest free slot.
// Returns true when a connection was accepted.
bool accept_one(Kind k) {
    auto& table = slots(k);
    int i = 0;
    while (i < kBdgMaxClients && table[static_cast<std::size_t>(i)].s32Fd != 0) ++i;
    if (i == kBdgMaxClients) {
        if (!g_refusal_logged[k]) AVHUB_LOG("Too many %s Clients\n", kKinds[k].name);
        g_refusal_logged[k] = true;
        return false;
    }
    BdgClient& c = table[static_cast<std::size_t>(i)];
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listen_fd(k), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd <= 0) {
        // A connection that went away before accept leaves the slot free.
        if (fd == 0) ::close(fd);
        AVHUB_LOG("Accept %s Client fail errno[%d %s]\n", kKinds[k].name, errno, std::strerror(errno));
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (kKinds[k].rcvbuf != 0) set_rcvbuf(fd, kKinds[k].rcvbuf);
    // Linger on with 0 s: a later close resets the connection at once.
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);

    c.s32Fd = fd;
    g_refusal_logged[k] = false;
    c.stAddr = peer;
    c.u32FwdLen = 0;
    // Every connection's forwarded frames are numbered from 0.
    c.u32PktCnt = 0;
    pollfd& p = BdgServer_t.stPollFd[static_cast<std::size_t>(kKinds[k].slot_poll + i)];
    p.fd = fd;
    // A peer that closes or resets is seen by the next step even on
    // connections that are never read.
    p.events = POLLIN | POLLRDHUP;
    p.revents = 0;

    if (k == kVdoBtsm) ++BdgServer_t.u32VdoBtsmCnt;
    if (k == kAdoBtsm) ++BdgServer_t.u32AdoBtsmCnt;
    if (kKinds[k].sock_buf >= 0) {
        auto e = static_cast<std::size_t>(kKinds[k].sock_buf + i);
        if (!u8BdgSocketBuf[e]) {
            u8BdgSocketBuf[e].reset(new (std::nothrow) std::uint8_t[kBdgSocketBufSize]);
            if (!u8BdgSocketBuf[e]) AVHUB_LOG("alloc memory fail \n");
        }
        u32BdgSocketLen[e] = 0;
    }
    log_accept(k, i, peer);
    return true;
}

int bytes_waiting(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) < 0) return 0;
    return n;
}

// Connections whose peer has closed or reset. What a peer sent before it
// closed is still taken in: a bitstream connection goes once its bytes are
// read, a command connection once no whole command is left. The audio
// connections are never read and go at once.
void drop_hung_up() {
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        for (int i = 0; i < kBdgMaxClients; ++i) {
            const pollfd& p = BdgServer_t.stPollFd[static_cast<std::size_t>(kKinds[k].slot_poll + i)];
            if (p.fd < 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) continue;
            if ((p.revents & POLLERR) != 0) {
                int err = 0;
                socklen_t len = sizeof err;
                if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0) err = ECONNRESET;
                drop_slot(kind, i, std::strerror(err));
                continue;
            }
            const int waiting = bytes_waiting(p.fd);
            if (kind == kVdoBtsm && waiting > 0 && u8BdgSocketBuf[static_cast<std::size_t>(i)]) continue;
            if (kind == kVdoCmd && waiting >= static_cast<int>(wire::kCodecCmdSize)) continue;
            drop_slot(kind, i, "closed by peer");
        }
    }
}

void link_check() {
    std::int32_t now = get_msec_count();
    std::int64_t diff = static_cast<std::int64_t>(now) - static_cast<std::int32_t>(BdgServer_t.u32LinkChkTm);
    if (diff <= kLinkCheckMs && diff >= -kLinkCheckMs) return;
    if (get_local_ip_address() == -1 && BdgServer_t.u32VdoBtsmCnt != 0) {
        AVHUB_LOG("VC BDG not exist \n");
        close_expansion_box_clients();
    }
    BdgServer_t.u32LinkChkTm = static_cast<std::uint32_t>(now);
}



// --- Video intake of one bitstream slot --------------------------------

// Bytes of a packet at the front of buf: header plus declared payload.
std::uint64_t front_packet_len(const std::uint8_t* buf) {
    return static_cast<std::uint64_t>(dec_packet_size(buf, wire::kOffPacketSize)) + wire::kPacketHeaderSize;
}

// True when the first min(total, 4) bytes agree with the magic: a header
// still arriving is not yet a framing error.
bool front_has_magic(const std::uint8_t* buf, std::uint32_t total) {
    for (std::uint32_t j = 0; j < wire::kMagic.size() && j < total; ++j) {
        if (buf[j] != wire::kMagic[j]) return false;
    }
    return true;
}

// First four bytes for the log lines, zero beyond what is held.
std::array<unsigned, 4> first4(const std::uint8_t* buf, std::uint32_t total) {
    std::array<unsigned, 4> b{};
    for (std::uint32_t j = 0; j < 4 && j < total; ++j) b[j] = buf[j];
    return b;
}

// Drops the bytes in front of the next magic (searched from the second byte
// on); without one, keeps only the last four bytes, which may begin a magic.
// Returns the bytes left.
std::uint32_t resynchronise(std::uint8_t* buf, std::uint32_t total) {
    auto b = first4(buf, total);
    AVHUB_LOG("Lose Decoder Bitstream (%d) !!!!!!!\n", static_cast<int>(total));
    AVHUB_LOG("%02X %02X %02X %02X \n", b[0], b[1], b[2], b[3]);
    std::uint32_t p = 1;
    while (p + wire::kMagic.size() <= total && !wire::has_magic(buf + p)) ++p;
    std::uint32_t drop = 0;
    if (p + wire::kMagic.size() <= total) {
        print_msg("Get Hdr %d\n", static_cast<int>(p));
        drop = p;
    } else if (total > wire::kMagic.size()) {
        drop = total - static_cast<std::uint32_t>(wire::kMagic.size());
    } else {
        AVHUB_LOG("Can't Move Data [%d] \n", static_cast<int>(total));
        return total;
    }
    std::memmove(buf, buf + drop, total - drop);
    AVHUB_LOG("Move Vdo Data [%d] %d\n", static_cast<int>(drop), static_cast<int>(total - drop));
    return total - drop;
}

// Rewrites a complete bridge packet as main video of channel 0 numbered by
// the connection's packet count, and hands it to the local decoder.
void forward_packet(int i, const std::uint8_t* pkt, std::uint32_t len) {
    BdgClient& c = BdgServer_t.stVdoBtsm[static_cast<std::size_t>(i)];
    if (!c.pu8FwdBuf) {
        c.pu8FwdBuf.reset(new (std::nothrow) std::uint8_t[kFwdBufSize]);
        if (!c.pu8FwdBuf) {
            AVHUB_LOG("alloc memory fail \n");
            return;
        }
        AVHUB_LOG("alloc memory success \n");
    }
    std::memcpy(c.pu8FwdBuf.get(), pkt, len);
    c.u32FwdLen = len;
    enc_vdo_stream_packet(c.pu8FwdBuf.get(), 0, len - static_cast<std::uint32_t>(wire::kPacketHeaderSize),
                                 c.u32PktCnt, 0);
    ++c.u32PktCnt;
    ++u32BdgFwdCnt;
    if (u32BdgFwdCnt % 60 == 1) AVHUB_LOG("send video data %d\n", static_cast<int>(len));
    if (s32VdoDecSockFd != 0) {
        stream_writer::stream_write(s32VdoDecSockFd, {c.pu8FwdBuf.get(), c.u32FwdLen});
    }
    c.u32FwdLen = 0;
}

// Expected stream type of slot i (from its video command slot) against the
// packet's: 0 wants main video (0), 1 wants content video (2).
void check_stream_type(int i, std::uint8_t type) {
    std::uint32_t t = BdgServer_t.stVdoCmd[static_cast<std::size_t>(i)].u32StreamType;
    if ((t == 0 && type != 0) || (t == 1 && type != 2) || t > 1) {
        AVHUB_LOG("Brisko[%d] stream type is diff [%d %d]\n", i, static_cast<int>(t), type);
    }
}

enum class Intake { kNextSlot, kEndStep };

// Takes packets out of slot i's buffer; n bytes were just received behind
// the h held ones.
Intake take_packets(int i, int fd, std::uint8_t* buf, std::uint32_t& h, std::uint32_t n) {
    int extra = 0;
    for (;;) {
        std::uint32_t total = h + n;
        bool resync = false;
        if (!front_has_magic(buf, total)) {
            auto b = first4(buf, total);
            AVHUB_LOG(" Header Error %02X %02X %02X %02X \n", b[0], b[1], b[2], b[3]);
            resync = true;
        } else if (total < wire::kPacketHeaderSize) {
            h = total;
            return Intake::kEndStep;
        } else {
            std::uint8_t type = buf[wire::kOffStreamType];
            std::uint64_t plen = front_packet_len(buf);
            if (type != 0 && type != 1 && type != 2) {
                resync = true;
            } else if (plen > kBdgSocketBufSize) {
                // Can never be held whole: drop it and find the next packet.
                AVHUB_LOG("Brisko[%d] packet too large [%u] \n", i, static_cast<unsigned>(plen - wire::kPacketHeaderSize));
                resync = true;
            } else if (total < plen) {
                h = total;
                int wait = bytes_waiting(fd);
                std::uint32_t room = static_cast<std::uint32_t>(kBdgSocketBufSize) - h;
                if (wait < kExtraRecvMinBytes || extra >= kMaxExtraRecv || room == 0) return Intake::kEndStep;
                ++extra;
                ssize_t got = ::recv(fd, buf + h, std::min<std::uint32_t>(room, static_cast<std::uint32_t>(wait)), 0);
                if (got <= 0) return Intake::kEndStep;
                n = static_cast<std::uint32_t>(got);
                continue;
            } else {
                auto len = static_cast<std::uint32_t>(plen);
                // Audio on a video connection is skipped by its length.
                if (type != wire::kStreamAudio) {
                    forward_packet(i, buf, len);
                    check_stream_type(i, type);
                }
                std::uint32_t rest = total - len;
                if (rest == 0) {
                    h = 0;
                    return Intake::kNextSlot;
                }
                std::memmove(buf, buf + len, rest);
                h = rest;
            }
        }
        if (resync) h = resynchronise(buf, total);
        // Go on only with a complete packet of at least 48 bytes in front.
        n = 0;
        if (h < wire::kCodecCmdSize || h < front_packet_len(buf)) return Intake::kNextSlot;
    }
}

}  // namespace

void init_expansion_box_thread_socket() {
    // The listeners live for the whole process: a second set-up would lose
    // the connections and fail to bind again.
    static bool done = false;
    if (done) return;
    done = true;
    AVHUB_LOG("init_expansion_box_thread_socket\n");
    for (auto& k : {&BdgServer_t.stVdoCmd, &BdgServer_t.stVdoBtsm, &BdgServer_t.stAdoCmd, &BdgServer_t.stAdoBtsm}) {
        for (BdgClient& c : *k) {
            c.s32Fd = 0;
            c.u32StreamType = 0;
            c.stAddr = {};
            c.u32FwdLen = 0;
            c.u32PktCnt = 0;
        }
    }
    BdgServer_t.u32VdoBtsmCnt = 0;
    BdgServer_t.u32AdoBtsmCnt = 0;
    BdgServer_t.stSvrAddr = {};
    BdgServer_t.u32LinkChkTm = 0;
    // Free slots poll nothing (-1 is skipped by poll).
    for (pollfd& p : BdgServer_t.stPollFd) p = pollfd{-1, 0, 0};
    for (int k = 0; k < kKindCount; ++k) {
        Kind kind = static_cast<Kind>(k);
        listen_fd(kind) = make_listener(kind);
        BdgServer_t.stPollFd[static_cast<std::size_t>(kKinds[k].listen_poll)] =
            pollfd{listen_fd(kind) > 0 ? listen_fd(kind) : -1, POLLIN, 0};
    }
    u32BdgSocketLen.fill(0);
}

void expansion_box_thread_socket_data_proc() {
    link_check();
    if (::poll(BdgServer_t.stPollFd.data(), BdgServer_t.stPollFd.size(), 0) > 0) {
        drop_hung_up();
        for (int k = 0; k < kKindCount; ++k) {
            const pollfd& p = BdgServer_t.stPollFd[static_cast<std::size_t>(kKinds[k].listen_poll)];
            if ((p.revents & POLLIN) == 0) continue;
            // A step that accepted a connection reads nothing.
            if (accept_one(static_cast<Kind>(k))) return;
        }
    }
    expansion_box_cmd_proc(kKindVideo);
    expansion_box_stream_proc(kKindVideo);
}

void expansion_box_cmd_proc(int kind) {
    if (kind != kKindVideo && kind != kKindAudio) {
        for (int i = 0; i < kBdgMaxClients; ++i) AVHUB_LOG("Unknown Stream Type %d\n", kind);
        return;
    }
    auto& table = kind == kKindVideo ? BdgServer_t.stVdoCmd : BdgServer_t.stAdoCmd;
    for (int i = 0; i < kBdgMaxClients; ++i) {
        int fd = table[static_cast<std::size_t>(i)].s32Fd;
        if (fd == 0 || bytes_waiting(fd) < static_cast<int>(wire::kCodecCmdSize)) continue;
        std::array<std::uint8_t, wire::kCodecCmdSize> raw{};
        ssize_t n = ::recv(fd, raw.data(), raw.size(), MSG_WAITALL);
        if (n != static_cast<ssize_t>(raw.size())) continue;
        wire::CodecCmd cmd;
        dec_socket_codec_cmd(raw, cmd);
        handle_bridge_cmd_proc(cmd, kind, fd, i);
    }
}

void expansion_box_stream_proc(int kind) {
    if (kind != kKindVideo && kind != kKindAudio) {
        for (int i = 0; i < kBdgMaxClients; ++i) AVHUB_LOG("Unknown Stream Type %d\n", kind);
        return;
    }
    // Audio bitstream connections are accepted and held, never read.
    if (kind == kKindAudio) return;
    for (int i = 0; i < kBdgMaxClients; ++i) {
        int fd = BdgServer_t.stVdoBtsm[static_cast<std::size_t>(i)].s32Fd;
        std::uint8_t* buf = u8BdgSocketBuf[static_cast<std::size_t>(i)].get();
        if (fd == 0 || buf == nullptr) continue;
        std::uint32_t& h = u32BdgSocketLen[static_cast<std::size_t>(i)];
        int w = bytes_waiting(fd);
        if (w <= 0) continue;
        std::uint32_t want = static_cast<std::uint32_t>(w);
        if (static_cast<std::uint64_t>(h) + want >= kBdgSocketBufSize) {
            AVHUB_LOG("Data too large [%d %d]\n", static_cast<int>(h), w);
            want = static_cast<std::uint32_t>(kBdgSocketBufSize) - h;
        }
        if (want == 0) continue;
        ssize_t n = ::recv(fd, buf + h, want, 0);
        if (n <= 0) continue;
        if (take_packets(i, fd, buf, h, static_cast<std::uint32_t>(n)) == Intake::kEndStep) return;
    }
}

std::int32_t get_local_ip_address() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    ifr.ifr_addr.sa_family = AF_INET;
    int rc = ::ioctl(fd, SIOCGIFADDR, &ifr);
    ::close(fd);
    if (rc < 0) return -1;
    sockaddr_in sin{};
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    return static_cast<std::int32_t>(sin.sin_addr.s_addr);
}

std::uint32_t get_box_vdo_btsm_cnt() {
    return BdgServer_t.u32VdoBtsmCnt;
}

void close_expansion_box_clients() {
    for (int i = 0; i < kBdgMaxClients; ++i) {
        close_slot(kAdoCmd, i);
        close_slot(kVdoCmd, i);
        close_slot(kAdoBtsm, i);
        close_slot(kVdoBtsm, i);
    }
    BdgServer_t.u32VdoBtsmCnt = 0;
}

void begin_expansion_box_wait() { g_refusal_logged.fill(false); }

void send_video_to_box(std::span<const std::uint8_t> packet) {
    for (const BdgClient& c : BdgServer_t.stVdoBtsm) {
        if (c.s32Fd == 0) continue;
        const int fd = c.s32Fd;
        const int rc = stream_writer::stream_write(fd, packet);
        drop_after_write(kVdoBtsm, fd, rc, errno);
    }
}

// --- Bridge command dialogue --------------------------------------------

namespace {

// How a request is logged; every format is a literal below.
enum class ReqLog : std::uint8_t {
    kNone,       // no line
    kName,       // "NAME"
    kVdoEnc,     // "[NAME[WxH@FR BR]"
    kType,       // "NAME TYPE"
    kChanFr,     // "NAME CHAN FR"
    kChanSpace,  // "[CHAN] NAME"
    kChan,       // "[CHAN]NAME"
    kSlot,       // "[SLOT]NAME"
};

struct BridgeRequest {
    std::uint16_t code;
    std::uint16_t ack;
    ReqLog log;
    const char* name;
};

// Requests the bridge may send, each answered with its acknowledgement
// (agree 1, channel copied). Nothing else follows from them.
constexpr std::array<BridgeRequest, 18> kBridgeRequests{{
    {wire::REQ_VDO_ENC, wire::ACK_VDO_ENC, ReqLog::kVdoEnc, "REQ_VDO_ENC"},
    {wire::REQ_ADO_ENC, wire::ACK_ADO_ENC, ReqLog::kType, "REQ_ADO_ENC"},
    {wire::REQ_VDO_DEC, wire::ACK_VDO_DEC, ReqLog::kChanFr, "REQ_VDO_DEC"},
    {wire::REQ_ADO_DEC, wire::ACK_ADO_DEC, ReqLog::kType, "REQ_ADO_DEC type"},
    {wire::REQ_VDO_CLOSE, wire::ACK_VDO_CLOSE, ReqLog::kChanSpace, "REQ_VDO_CLOSE"},
    {wire::REQ_ADO_CLOSE, wire::ACK_ADO_CLOSE, ReqLog::kChanSpace, "REQ_ADO_CLOSE"},
    {wire::REQ_VDO_ENC_CHANGE_BIT_RATE, wire::ACK_VDO_ENC_CHANGE_BIT_RATE, ReqLog::kChan, "REQ_VDO_ENC_CHANGE_BIT_RATE"},
    {wire::REQ_VDO_ENC_CHANGE_FRAME_RATE, wire::ACK_VDO_ENC_CHANGE_FRAME_RATE, ReqLog::kChan,
     "REQ_VDO_ENC_CHANGE_FRAME_RATE"},
    {wire::REQ_VDO_ENC_UPDATE_PIC, wire::ACK_VDO_ENC_UPDATE_PIC, ReqLog::kChan, "REQ_VDO_ENC_UPDATE_PIC"},
    {wire::REQ_RECV_VDO_CAPABILITY, wire::ACK_RECV_VDO_CAPABILITY, ReqLog::kName, "REQ_RECV_VDO_CAPABILITY"},
    {wire::REQ_RECV_CNT_CAPABILITY, wire::ACK_RECV_CNT_CAPABILITY, ReqLog::kName, "REQ_RECV_CNT_CAPABILITY"},
    {wire::REQ_REMOTE_CHANGE_VDO_SRC, wire::ACK_REMOTE_CHANGE_VDO_SRC, ReqLog::kSlot, "REQ_REMOTE_CHANGE_VDO_SRC"},
    {wire::REQ_CHANGE_BRISKO_VDO_MODE, wire::ACK_CHANGE_VDO_MODE, ReqLog::kName, "REQ_CHANGE_BRISKO_VDO_MODE"},
    {wire::REQ_VDO_DEC_CLOSE, wire::ACK_VDO_DEC_CLOSE, ReqLog::kChan, "REQ_VDO_DEC_CLOSE"},
    {wire::REQ_ADO_DEC_CLOSE, wire::ACK_ADO_DEC_CLOSE, ReqLog::kChan, "REQ_ADO_DEC_CLOSE"},
    {wire::REQ_START_TEST_CALL, wire::ACK_START_TEST_CALL, ReqLog::kNone, "REQ_START_TEST_CALL"},
    {wire::REQ_STOP_TEST_CALL, wire::ACK_STOP_TEST_CALL, ReqLog::kName, "REQ_STOP_TEST_CALL"},
    {wire::REQ_SET_SID, wire::ACK_SET_SID, ReqLog::kNone, "REQ_SET_SID"},
}};

struct BridgeAck {
    std::uint16_t code;
    bool values;  // logged with the agree flag and the channel
    const char* name;
};

// Acknowledgements the bridge may send: logged, never answered.
constexpr std::array<BridgeAck, 26> kBridgeAcks{{
    {wire::ACK_VDO_ENC, true, "ACK_VDO_ENC"},
    {wire::ACK_ADO_ENC, true, "ACK_ADO_ENC"},
    {wire::ACK_VDO_DEC, true, "ACK_VDO_DEC"},
    {wire::ACK_ADO_DEC, true, "ACK_ADO_DEC"},
    {wire::ACK_VDO_CLOSE, true, "ACK_VDO_CLOSE"},
    {wire::ACK_ADO_CLOSE, true, "ACK_ADO_CLOSE"},
    {wire::ACK_VDO_ENC_CHANGE_BIT_RATE, true, "ACK_VDO_ENC_CHANGE_BIT_RATE"},
    {wire::ACK_VDO_ENC_CHANGE_FRAME_RATE, true, "ACK_VDO_ENC_CHANGE_FRAME_RATE"},
    {wire::ACK_VDO_ENC_UPDATE_PIC, true, "ACK_VDO_ENC_UPDATE_PIC"},
    {wire::ACK_VDO_SET_MCU_MODE, true, "ACK_VDO_SET_MCU_MODE"},
    {wire::ACK_VDO_SET_SECTION_NUM, true, "ACK_VDO_SET_SECTION_NUM"},
    {wire::ACK_VDO_GET_RES, true, "ACK_VDO_GET_RES"},
    {wire::ACK_VDO_GET_FR_ERR, true, "ACK_VDO_GET_FR_ERR"},
    {wire::ACK_VDO_ENC_PAUSE, true, "ACK_VDO_ENC_PAUSE"},
    {wire::ACK_VDO_ENC_RESUME, true, "ACK_VDO_ENC_RESUME"},
    {wire::ACK_ADO_DEC_BUF_POINT, true, "ACK_ADO_DEC_BUF_POINT"},
    {wire::ACK_RECV_VDO_CAPABILITY, true, "ACK_RECV_VDO_CAPABILITY"},
    {wire::ACK_RECV_CNT_CAPABILITY, true, "ACK_RECV_CNT_CAPABILITY"},
    {wire::ACK_REMOTE_CHANGE_VDO_SRC, true, "ACK_REMOTE_CHANGE_VDO_SRC"},
    {wire::ACK_CHANGE_VDO_MODE, true, "ACK_CHANGE_VDO_MODE"},
    {wire::ACK_VDO_DEC_CLOSE, true, "ACK_VDO_DEC_CLOSE"},
    {wire::ACK_ADO_DEC_CLOSE, true, "ACK_ADO_DEC_CLOSE"},
    {wire::ACK_START_TEST_CALL, true, "ACK_START_TEST_CALL"},
    {wire::ACK_STOP_TEST_CALL, true, "ACK_STOP_TEST_CALL"},
    {wire::ACK_SET_SID, false, "ACK_SET_SID"},
    {wire::ACK_CHANGE_KVX_VDO_MODE, true, "ACK_CHANGE_KVX_VDO_MODE"},
}};

// The fixed encoder parameters avhub asks the bridge for at a call start;
// they do not follow the call settings.
constexpr std::uint16_t kBoxEncType = wire::STD_H264;
constexpr std::uint16_t kBoxEncWidth = 704;
constexpr std::uint16_t kBoxEncHeight = 480;
constexpr std::uint16_t kBoxEncBitRate = 1024;
constexpr std::uint8_t kBoxEncFrRate = 30;

void log_request(const BridgeRequest& r, const wire::CodecCmd& cmd, int slot) {
    switch (r.log) {
        case ReqLog::kNone: break;
        case ReqLog::kName: AVHUB_LOG("%s\n", r.name); break;
        case ReqLog::kVdoEnc:
            AVHUB_LOG("[%s[%dx%d@%d %d]\n", r.name, cmd.u16VdoWidth, cmd.u16VdoHeight, cmd.u8VdoFrRate, cmd.u16BitRate);
            break;
        case ReqLog::kType: AVHUB_LOG("%s %d\n", r.name, cmd.u16Type); break;
        case ReqLog::kChanFr: AVHUB_LOG("%s %d %d\n", r.name, cmd.u8ChanIdx, cmd.u8VdoFrRate); break;
        case ReqLog::kChanSpace: AVHUB_LOG("[%d] %s\n", cmd.u8ChanIdx, r.name); break;
        case ReqLog::kChan: AVHUB_LOG("[%d]%s\n", cmd.u8ChanIdx, r.name); break;
        case ReqLog::kSlot: AVHUB_LOG("[%d]%s\n", slot, r.name); break;
    }
}

// Packs a record (its magic left zero: avhub's messages on this link carry
// 00 00 00 00 in front) and writes the 48 bytes whole or not at all.
void write_cmd_to_box(int fd, const wire::CodecCmd& cmd) {
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    enc_socket_codec_cmd(out, cmd);
    const int rc = stream_writer::stream_write(fd, out);
    drop_after_write(kVdoCmd, fd, rc, errno);
}

}  // namespace

void handle_bridge_cmd_proc(const wire::CodecCmd& cmd, int kind, int fd, int slot) {
    (void)kind;
    AVHUB_LOG("Recv Client[%d] Cmd\n", slot);
    for (const BridgeRequest& r : kBridgeRequests) {
        if (r.code != cmd.u16Cmd) continue;
        log_request(r, cmd, slot);
        send_response_to_box(fd, r.ack, cmd.u8ChanIdx, 1);
        return;
    }
    for (const BridgeAck& a : kBridgeAcks) {
        if (a.code != cmd.u16Cmd) continue;
        if (a.values) {
            AVHUB_LOG("%s %d %d\n", a.name, cmd.u8AgreeFlag, cmd.u8ChanIdx);
        } else {
            AVHUB_LOG("%s\n", a.name);
        }
        return;
    }
}

void send_response_to_box(int fd, std::uint16_t code, std::uint8_t chan, std::uint8_t agree) {
    wire::CodecCmd cmd{};
    cmd.u16Cmd = code;
    cmd.u8ChanIdx = chan;
    cmd.u8AgreeFlag = agree;
    write_cmd_to_box(fd, cmd);
}

void send_request_to_box(int fd, std::uint16_t code) {
    wire::CodecCmd cmd{};
    cmd.u16Cmd = code;
    if (code == wire::REQ_VDO_ENC) {
        cmd.u16Type = kBoxEncType;
        cmd.u16VdoWidth = kBoxEncWidth;
        cmd.u16VdoHeight = kBoxEncHeight;
        cmd.u16BitRate = kBoxEncBitRate;
        cmd.u8VdoFrRate = kBoxEncFrRate;
    }
    write_cmd_to_box(fd, cmd);
}

void send_request_to_all_boxes(std::uint16_t code) {
    if (BdgServer_t.u32VdoBtsmCnt == 0) return;
    for (const BdgClient& c : BdgServer_t.stVdoCmd) {
        if (c.s32Fd != 0) send_request_to_box(c.s32Fd, code);
    }
}

}  // namespace avhub
