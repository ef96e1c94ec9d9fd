// Whole-or-nothing packet writer: one slot per bitstream socket, each with a
// buffer made once that holds the unwritten rest of a packet.
#include "stream_writer.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "log.hpp"

namespace stream_writer {
namespace {

constexpr char kModule[] = "stream_writer.c";

// Every 60th dropped packet of a socket is logged, starting with the first.
constexpr std::uint32_t kDropLogEvery = 60;

struct Slot {
    int fd = 0;  // 0 = free
    // Made the first time the slot is used and kept for later sockets.
    std::unique_ptr<std::uint8_t[]> rest;
    std::size_t restOff = 0;
    std::size_t restLen = 0;  // pending bytes are rest[restOff, restLen)
    std::uint32_t dropped = 0;
};

std::array<Slot, kMaxSockets> g_slots;

Slot* find_slot(int fd) {
    for (Slot& s : g_slots) {
        if (s.fd == fd) return &s;
    }
    return nullptr;
}

Slot* claim_slot(int fd) {
    if (Slot* s = find_slot(fd)) return s;
    for (Slot& s : g_slots) {
        if (s.fd != 0) continue;
        if (!s.rest) {
            s.rest.reset(new (std::nothrow) std::uint8_t[kMaxPacket]);
            if (!s.rest) {
                AVHUB_LOG("Stream fd %d: no memory for its buffer\n", fd);
                return nullptr;
            }
        }
        s.fd = fd;
        s.restOff = s.restLen = 0;
        s.dropped = 0;
        stream_size_send_buffer(fd);
        return &s;
    }
    return nullptr;
}

// One non-blocking write that never raises SIGPIPE; plain write() for
// descriptors that are not sockets (pipes in tests).
ssize_t write_some(int fd, const std::uint8_t* p, std::size_t n) {
    for (;;) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == ENOTSOCK) r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

void note_drop(int fd, std::uint32_t& dropped, std::size_t len, const char* why) {
    ++dropped;
    if ((dropped - 1) % kDropLogEvery == 0) {
        AVHUB_LOG("Stream fd %d %s, drop packet %zu bytes (dropped %u)\n", fd, why, len, dropped);
    }
}

std::size_t flush_slot(Slot& s) {
    while (s.restOff < s.restLen) {
        ssize_t r = write_some(s.fd, s.rest.get() + s.restOff, s.restLen - s.restOff);
        if (r > 0) {
            s.restOff += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && would_block(errno)) break;
        int err = r < 0 ? errno : EPIPE;
        AVHUB_LOG("Stream fd %d lost %zu pending bytes errno[%d %s]\n", s.fd, s.restLen - s.restOff, err,
                  std::strerror(err));
        s.restOff = s.restLen = 0;
        return 0;
    }
    if (s.restOff >= s.restLen) s.restOff = s.restLen = 0;
    return s.restLen - s.restOff;
}

}  // namespace

int stream_write(int fd, std::span<const std::uint8_t> packet) {
    if (fd <= 0) {
        errno = EBADF;
        return -1;
    }
    Slot* s = claim_slot(fd);
    if (s == nullptr) {
        static std::uint32_t noSlotDrops = 0;
        note_drop(fd, noSlotDrops, packet.size(), "has no writer slot");
        return kDropped;
    }
    // Finish an earlier rest first; only a clear socket takes a new packet.
    if (s->restLen != 0 && flush_slot(*s) != 0) {
        note_drop(fd, s->dropped, packet.size(), "busy");
        return kDropped;
    }
    if (packet.size() > kMaxPacket) {
        // Its rest could never be kept, so it is never started.
        note_drop(fd, s->dropped, packet.size(), "packet too large");
        return kDropped;
    }
    ssize_t r = write_some(fd, packet.data(), packet.size());
    if (r >= 0 && static_cast<std::size_t>(r) == packet.size()) return static_cast<int>(r);
    if (r >= 0 || would_block(errno)) {
        int saved = errno;
        std::size_t done = r > 0 ? static_cast<std::size_t>(r) : 0;
        std::memcpy(s->rest.get(), packet.data() + done, packet.size() - done);
        s->restOff = 0;
        s->restLen = packet.size() - done;
        errno = saved;
    }
    return static_cast<int>(r);
}

void stream_flush_pending() {
    for (Slot& s : g_slots) {
        if (s.fd != 0 && s.restLen != 0) flush_slot(s);
    }
}

std::size_t stream_flush_fd(int fd) {
    Slot* s = fd > 0 ? find_slot(fd) : nullptr;
    if (s == nullptr || s->restLen == 0) return 0;
    return flush_slot(*s);
}

bool stream_has_pending(int fd) {
    const Slot* s = fd > 0 ? find_slot(fd) : nullptr;
    return s != nullptr && s->restLen != 0;
}

void stream_forget(int fd) {
    Slot* s = fd > 0 ? find_slot(fd) : nullptr;
    if (s == nullptr) return;
    s->fd = 0;
    s->restOff = s->restLen = 0;
    s->dropped = 0;
}

std::uint32_t stream_dropped_count(int fd) {
    const Slot* s = fd > 0 ? find_slot(fd) : nullptr;
    return s != nullptr ? s->dropped : 0;
}

int stream_size_send_buffer(int fd) {
    int have = 0;
    socklen_t len = sizeof(have);
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &have, &len) != 0) return -1;
    if (have >= kSendBufferBytes) return have;
    int want = kSendBufferBytes;
    // The forced form passes the system-wide cap when the process may; the
    // plain form is capped but still far above the default.
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof(want)) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof(want));
    }
    len = sizeof(have);
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &have, &len) != 0) return -1;
    return have;
}

}  // namespace stream_writer
