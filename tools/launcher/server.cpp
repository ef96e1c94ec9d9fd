// Accepting clients and reading their framed launch requests. Requests are
// read with blocking whole-buffer reads, one per callback; the level-
// triggered persistent event calls back again while bytes are waiting, so
// several requests in one send are all served.
#include "server.hpp"

#include <event2/event.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "command.hpp"
#include "launch.hpp"
#include "socket.h"

namespace launcher::server {

namespace {

// One receive buffer for every connection: requests are handled one at a
// time, and the command is launched before the next read.
std::array<char, command::kRecvBufSize> recv_buf;

// Reads are blocking, so a peer that stops in the middle of a request would
// hold every other client. A read that waits this long fails instead, and
// the connection, whose framing is then lost, is closed.
constexpr timeval kStallTimeout{2, 0};

void close_connection(evutil_socket_t fd, event* ev) {
    event_del(ev);
    event_free(ev);
    close(fd);
    syslog(LOG_INFO, "skt close  %d\n", static_cast<int>(fd));
}

// Reads and discards a request body too long for the receive buffer, so the
// next header is read from the right place in the stream. False when a read
// failed (stalled peer or broken connection).
bool drop_body(evutil_socket_t fd, std::size_t length) {
    while (length > 0) {
        std::size_t chunk = std::min(length, recv_buf.size());
        int n = socket_readn(fd, recv_buf.data(), chunk);
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < chunk) return true;
        length -= chunk;
    }
    return true;
}

}  // namespace

void accept_cb(evutil_socket_t fd, short /*what*/, void* arg) {
    auto* base = static_cast<event_base*>(arg);
    int conn = accept(fd, nullptr, nullptr);
    if (conn < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, std::strerror(errno));
        return;
    }
    // Started programs must not inherit the client's connection.
    if (fcntl(conn, F_SETFD, fcntl(conn, F_GETFD) | FD_CLOEXEC) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, std::strerror(errno));
    }
    if (setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &kStallTimeout, sizeof kStallTimeout) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, std::strerror(errno));
    }
    event* ev = event_new(base, conn, EV_READ | EV_PERSIST, read_cb, event_self_cbarg());
    if (ev == nullptr || event_add(ev, nullptr) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, "cannot watch connection");
        if (ev != nullptr) event_free(ev);
        close(conn);
        return;
    }
    syslog(LOG_INFO, "skt accept %d\n", conn);
}

void read_cb(evutil_socket_t fd, short /*what*/, void* arg) {
    auto* ev = static_cast<event*>(arg);

    // Readable with nothing to read: the peer has closed its end.
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, std::strerror(errno));
        pending = 0;
    }
    if (pending == 0) {
        close_connection(fd, ev);
        return;
    }

    std::array<std::uint8_t, command::kHeaderSize> raw{};
    int n = socket_readn(fd, raw.data(), raw.size());
    if (n < 0) {
        close_connection(fd, ev);
        return;
    }
    if (static_cast<std::size_t>(n) < raw.size()) {
        // The peer closed inside a header; the next callback closes.
        syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, "short request");
        return;
    }

    command::Header hdr = command::parse_header(raw);
    if (hdr.magic != command::MAGIC_HDR) {
        // No resynchronisation: the next four bytes are read as a header.
        syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, "MAGIC_HDR error");
        return;
    }
    if (hdr.length > command::kMaxCommandLen) {
        syslog(LOG_ERR, "%s %d request length %u over %zu, dropped\n", "read_cb", __LINE__,
               static_cast<unsigned>(hdr.length), command::kMaxCommandLen);
        if (!drop_body(fd, hdr.length)) close_connection(fd, ev);
        return;
    }

    n = 0;
    if (hdr.length > 0) {
        n = socket_readn(fd, recv_buf.data(), hdr.length);
        if (n < 0) {
            close_connection(fd, ev);
            return;
        }
    }
    if (n < hdr.length) {
        // A command cut short by the peer closing is never run: its missing
        // tail could change what it does.
        syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, "short request");
        return;
    }
    recv_buf[static_cast<std::size_t>(n)] = '\0';
    launch(recv_buf.data());
}

}  // namespace launcher::server
