// What the tools share about a codec server connection: telling a closed
// peer from a readable one, bounding writes so that a server that stops
// reading cannot hold the event loop, and collecting a 48-byte reply that
// the stream delivers in pieces over several readable events.
#pragma once

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "libsocket/socket.h"
#include "wire/codes.hpp"

namespace tools {

// Readable with nothing queued means the peer closed its end.
inline bool peer_closed(int fd) {
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) < 0 || pending == 0;
}

// Longest a single write to a server may wait for room. A server that keeps
// up never fills the send buffer (hundreds of kilobytes), so only one that
// has stopped reading meets this bound; the write then fails and is logged
// like any other write error. SIGTERM and the other inputs wait at most this
// long per write.
inline constexpr timeval kWriteBound{0, 100000};

// Gives fd's blocking writes the bound above; 0, or -1 when it cannot be set.
// Set before connecting, it bounds a UNIX-domain connect to a server whose
// backlog is full as well (the connect then fails with EAGAIN).
inline int bound_writes(int fd) {
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kWriteBound, sizeof kWriteBound);
}

// One reply of a codec server, gathered across readable events: each event
// reads only what is missing and never waits for the rest.
class ReplyReader {
public:
    enum class Got { Partial, Whole, Closed, Failed };

    // Called when fd is readable. Whole: bytes() holds a complete reply and
    // the next call starts a new one.
    Got read(int fd) {
        if (peer_closed(fd)) return Got::Closed;
        const int n = socket_read(fd, buf_.data() + have_, buf_.size() - have_);
        if (n <= 0) return Got::Failed;
        have_ += static_cast<std::size_t>(n);
        if (have_ < buf_.size()) return Got::Partial;
        have_ = 0;
        return Got::Whole;
    }

    std::span<const std::uint8_t, wire::kCodecCmdSize> bytes() const { return buf_; }

private:
    std::array<std::uint8_t, wire::kCodecCmdSize> buf_{};
    std::size_t have_ = 0;
};

}  // namespace tools
