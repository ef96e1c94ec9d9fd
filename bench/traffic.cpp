// Synthetic encoder and decoder ends of a video bitstream. Each frame
// carries its sequence number in its first four bytes and a pattern that
// depends on it after that, so the decoder end tells a lost frame from a
// corrupted one without keeping copies.
#include "traffic.hpp"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "wire/bytes.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"
#include "wire/records.hpp"

namespace bench {
namespace {

constexpr std::size_t kHdr = wire::kPacketHeaderSize;
constexpr std::uint32_t kPatternPeriod = 251;  // prime: neighbouring frames differ everywhere

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Pattern bytes; frame seq uses pattern[seq % period + i] from payload byte 4 on.
std::vector<std::uint8_t> make_pattern(std::uint32_t frame_bytes) {
    std::vector<std::uint8_t> p(frame_bytes + kPatternPeriod);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& b : p) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return p;
}

void fill_frame(std::uint8_t* out, std::uint32_t seq, std::uint32_t n, const std::vector<std::uint8_t>& pat) {
    wire::store_be32(out, seq);
    std::memcpy(out + 4, pat.data() + seq % kPatternPeriod, n - 4);
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pf{fd, POLLOUT, 0};
            (void)::poll(&pf, 1, 100);
            continue;
        }
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// The simulated encoder and decoder stand for codec servers that serve
// their sockets at once; on a busy machine an ordinary thread may wait for
// a core for milliseconds, and that would be charged to the path measured.
// Real-time priority keeps them prompt (best effort: without the right to
// it they run as they are).
void make_prompt() {
    sched_param sp{};
    sp.sched_priority = 10;
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
}

struct Shared {
    std::unique_ptr<std::atomic<std::int64_t>[]> t_last;  // per frame: ns when its last piece was written
    std::size_t slots = 0;
    std::atomic<std::uint64_t> written{0};  // frames completely written
    std::atomic<bool> writer_done{false};
    std::atomic<std::int64_t> last_rx_ns{0};
};

// The decoder end: takes packets apart, joins pieces unless the path joins
// them already, checks each frame and times it.
void reader(int fd, const StreamPlan& plan, Shared& sh, StreamResult& res, int drain_ms) {
    make_prompt();
    const std::uint32_t fb = plan.frame_bytes;
    const auto pat = make_pattern(fb);
    std::vector<std::uint8_t> buf(4u << 20);
    std::vector<std::uint8_t> frame(fb + 64u * 1024u);
    std::vector<std::uint8_t> want(fb);
    std::size_t held = 0;
    std::size_t flen = 0;
    bool in_frame = false;
    std::int64_t drain_end = 0;
    const std::int64_t rx_start = now_ns();
    std::uint64_t rx_total = 0;

    auto finish_frame = [&](std::int64_t t) {
        if (flen != fb) {
            ++res.corrupt;
            return;
        }
        const std::uint32_t seq = wire::load_be32(frame.data());
        fill_frame(want.data(), seq, fb, pat);
        if (seq >= sh.slots || std::memcmp(frame.data(), want.data(), fb) != 0) {
            ++res.corrupt;
            return;
        }
        ++res.received;
        res.bytes += fb;
        const std::int64_t t0 = sh.t_last[seq].load(std::memory_order_acquire);
        if (t0 > 0) res.latency_us.push_back(static_cast<double>(t - t0) / 1000.0);
        sh.last_rx_ns.store(t, std::memory_order_relaxed);
    };

    for (;;) {
        if (sh.writer_done.load()) {
            if (res.received + res.corrupt >= sh.written.load()) break;
            if (drain_end == 0) drain_end = now_ns() + static_cast<std::int64_t>(drain_ms) * 1000000;
            if (now_ns() > drain_end) break;
        }
        pollfd pf{fd, POLLIN, 0};
        if (::poll(&pf, 1, 20) <= 0) continue;
        const ssize_t got = ::read(fd, buf.data() + held, buf.size() - held);
        const std::int64_t t = now_ns();
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            break;
        }
        held += static_cast<std::size_t>(got);
        rx_total += static_cast<std::uint64_t>(got);
        if (plan.sink_bytes_per_s > 0) {
            // A slow decoder: sleep until the bytes read so far are due.
            const auto due = rx_start + static_cast<std::int64_t>(static_cast<double>(rx_total) * 1e9 / plan.sink_bytes_per_s);
            const timespec ts{static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        }
        std::size_t pos = 0;
        while (held - pos >= kHdr) {
            const std::uint8_t* p = buf.data() + pos;
            if (!wire::has_magic(p)) {
                // Lost framing: count once and look for the next magic.
                ++res.corrupt;
                in_frame = false;
                ++pos;
                while (held - pos >= 4 && !wire::has_magic(buf.data() + pos)) ++pos;
                continue;
            }
            wire::PacketHeader h;
            wire::load_header_fields(p, h);
            if (h.u32PacketSize > frame.size() || h.u32PacketSize > buf.size() - kHdr) {
                ++res.corrupt;
                in_frame = false;
                pos += 4;
                continue;
            }
            if (held - pos < kHdr + h.u32PacketSize) break;
            const std::uint8_t flags = static_cast<std::uint8_t>(h.u32Gob & 3u);
            if (plan.joined || (flags & wire::kGobFirst)) {
                flen = 0;
                in_frame = true;
            }
            if (in_frame && flen + h.u32PacketSize <= frame.size()) {
                std::memcpy(frame.data() + flen, p + kHdr, h.u32PacketSize);
                flen += h.u32PacketSize;
            }
            if (in_frame && (plan.joined || (flags & wire::kGobLast))) {
                finish_frame(t);
                in_frame = false;
            }
            pos += kHdr + h.u32PacketSize;
        }
        std::memmove(buf.data(), buf.data() + pos, held - pos);
        held -= pos;
    }
}

}  // namespace

StreamResult run_stream(int src, int dst, const StreamPlan& plan, int drain_ms) {
    StreamResult res;
    Shared sh;
    int old_sndbuf = 0;
    socklen_t optlen = sizeof old_sndbuf;
    (void)::getsockopt(src, SOL_SOCKET, SO_SNDBUF, &old_sndbuf, &optlen);
    if (plan.src_sndbuf > 0) (void)::setsockopt(src, SOL_SOCKET, SO_SNDBUFFORCE, &plan.src_sndbuf, sizeof plan.src_sndbuf);
    const bool by_time = plan.frames == 0;
    const double rate_guess = plan.fps > 0 ? plan.fps : 40000.0;
    sh.slots = by_time ? static_cast<std::size_t>(plan.seconds * rate_guess * 1.2) + 1024 : plan.frames;
    sh.t_last = std::make_unique<std::atomic<std::int64_t>[]>(sh.slots);
    res.latency_us.reserve(sh.slots);

    std::thread rx([&] { reader(dst, plan, sh, res, drain_ms); });
    // Prompt while streaming only: processes started later inherit the
    // policy of the thread that forks them.
    int old_policy = SCHED_OTHER;
    sched_param old_param{};
    (void)pthread_getschedparam(pthread_self(), &old_policy, &old_param);
    make_prompt();
    struct Restore {
        int policy;
        sched_param param;
        ~Restore() { (void)pthread_setschedparam(pthread_self(), policy, &param); }
    } restore{old_policy, old_param};

    const auto pat = make_pattern(plan.frame_bytes);
    std::vector<std::uint8_t> frame(plan.frame_bytes);
    std::vector<std::uint8_t> piece(kHdr + plan.piece_bytes);
    const std::int64_t start = now_ns();
    const std::int64_t end = start + static_cast<std::int64_t>(plan.seconds * 1e9);
    for (std::uint32_t seq = 0; seq < sh.slots; ++seq) {
        if (by_time && now_ns() >= end) break;
        if (plan.fps > 0) {
            const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(seq) * 1e9 / plan.fps);
            const timespec ts{static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        }
        ++res.offered;
        fill_frame(frame.data(), seq, plan.frame_bytes, pat);
        bool ok = true;
        for (std::uint32_t off = 0; off < plan.frame_bytes && ok; off += plan.piece_bytes) {
            const std::uint32_t n = std::min(plan.piece_bytes, plan.frame_bytes - off);
            const bool first = off == 0;
            const bool last = off + n == plan.frame_bytes;
            wire::PacketHeader h;
            h.u8StreamType = wire::kStreamVideo;
            h.u32TimeStamp = seq;
            h.u32PacketSize = n;
            h.u32Gob = (first ? wire::kGobFirst : 0u) | (last ? wire::kGobLast : 0u);
            std::copy(wire::kMagic.begin(), wire::kMagic.end(), piece.begin());
            wire::store_header_fields(piece.data(), h);
            std::memcpy(piece.data() + kHdr, frame.data() + off, n);
            if (last) sh.t_last[seq].store(now_ns(), std::memory_order_release);
            std::size_t done = 0;
            if (first && plan.drop_when_full) {
                // An encoder with no room drops the frame whole, never a part of it.
                const ssize_t w = ::send(src, piece.data(), kHdr + n, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    ++res.dropped_at_source;
                    sh.t_last[seq].store(0, std::memory_order_release);
                    ok = false;
                    break;
                }
                if (w < 0) break;  // the path is gone: write_all below reports it
                done = static_cast<std::size_t>(w);
            }
            if (!write_all(src, piece.data() + done, kHdr + n - done)) {
                sh.writer_done = true;
                rx.join();
                return res;
            }
        }
        if (ok) sh.written.fetch_add(1);
    }
    sh.writer_done = true;
    rx.join();
    if (plan.src_sndbuf > 0) {
        // The kernel reports twice the size it was given; hand back half.
        const int back = old_sndbuf / 2;
        (void)::setsockopt(src, SOL_SOCKET, SO_SNDBUFFORCE, &back, sizeof back);
    }
    const std::int64_t last = sh.last_rx_ns.load();
    res.seconds = static_cast<double>((last > start ? last : now_ns()) - start) / 1e9;
    res.lost = sh.written.load() - std::min<std::uint64_t>(sh.written.load(), res.received + res.corrupt);
    return res;
}

}  // namespace bench
