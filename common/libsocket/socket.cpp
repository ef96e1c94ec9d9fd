// Stream socket endpoints from a name, and whole-buffer transfers.

// The two programming errors this module checks (a null endpoint, a client
// with descriptor 0) must stop the process in every build type.
#undef NDEBUG
#include <cassert>

#include "socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#ifndef LIBSOCKET_EARLY
#include <syslog.h>
#endif

namespace {

// One failure line, "<function> <number> <text>": to syslog at LOG_ERR in the
// current build, to standard error in the early one.
void log_line(const char* func, int number, const char* text) {
#ifdef LIBSOCKET_EARLY
    std::fprintf(stderr, "%s %d %s\n", func, number, text);
#else
    syslog(LOG_ERR, "%s %d %s\n", func, number, text);
#endif
}

#define LOG_ERRNO() log_line(__func__, __LINE__, std::strerror(errno))
#define LOG_TEXT(text) log_line(__func__, __LINE__, (text))

// Longest IPv4 address text looked at before the last colon.
constexpr std::size_t kAddrTextMax = 15;

// Bounded copy that always terminates: at most cap - 1 bytes of src.
void copy_bounded(char* dst, std::size_t cap, std::string_view src) {
    const std::size_t len = std::min(src.size(), cap - 1);
    std::memcpy(dst, src.data(), len);
    dst[len] = '\0';
}

// "a.b.c.d:port" (inet_aton forms) is TCP/IPv4; anything else is a UNIX path.
void parse_socket(Socket_t* sock, const char* name) {
    const char* colon = std::strrchr(name, ':');
    if (colon != nullptr) {
        char host[kAddrTextMax + 1];
        copy_bounded(host, sizeof host, std::string_view(name, static_cast<std::size_t>(colon - name)));
        struct in_addr in {};
        if (inet_aton(host, &in) != 0) {
            sock->addr.in.sin_family = AF_INET;
            sock->addr.in.sin_addr = in;
            // Non-numeric text gives port 0; larger numbers keep their low 16
            // bits. Read in 64 bits: a 32-bit long (the box's) would saturate
            // numbers past 2^31 to LONG_MAX, giving another port than here.
            const long long port = std::strtoll(colon + 1, nullptr, 10);
            sock->addr.in.sin_port = htons(static_cast<std::uint16_t>(port));
            return;
        }
    }
    sock->addr.un.sun_family = AF_UNIX;
    // sun_path need not be terminated: addrlen covers the whole array.
    const std::size_t len = std::min(std::strlen(name), sizeof sock->addr.un.sun_path);
    std::memcpy(sock->addr.un.sun_path, name, len);
}

void setup_server(Socket_t* sock, int backlog) {
    const int fd = sock->fd;
    if (sock->is_inet) {
        const int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) LOG_ERRNO();
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) LOG_ERRNO();
    } else if (unlink(sock->name) < 0 && errno != ENOENT) {
        // A stale socket file from an earlier run would make bind fail.
        LOG_ERRNO();
    }
    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&sock->addr), sock->addrlen) < 0) LOG_ERRNO();
    // Any user on the box may connect to a UNIX endpoint.
    if (!sock->is_inet && chmod(sock->name, 0777) < 0) LOG_ERRNO();
    if (listen(fd, backlog) < 0) LOG_ERRNO();
}

}  // namespace

Socket_t* create_socket(const char* name, int backlog) {
    auto* sock = static_cast<Socket_t*>(std::calloc(1, sizeof(Socket_t)));
    assert(sock != ((void *)0));
    parse_socket(sock, name);
    sock->is_inet = sock->addr.in.sin_family == AF_INET ? 1 : 0;
    sock->is_server = backlog > 0 ? 1 : 0;

    int domain = AF_UNIX;
    if (sock->is_inet) {
        copy_bounded(sock->name, sizeof sock->name, inet_ntoa(sock->addr.in.sin_addr));
        sock->addrlen = sizeof(struct sockaddr_in);
        domain = AF_INET;
    } else {
        copy_bounded(sock->name, sizeof sock->name, name);
        sock->addrlen = sizeof(struct sockaddr_un);
    }

    // Close-on-exec: programs the tools start never inherit a connection.
    sock->fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock->fd < 0) LOG_ERRNO();
    if (sock->is_server) setup_server(sock, backlog);
    return sock;
}

int open_socket(Socket_t* sock) {
    assert(sock != ((void *)0));
    if (sock->is_server) {
        const int conn = accept(sock->fd, nullptr, nullptr);
        if (conn < 0) LOG_ERRNO();
        return conn;
    }
    assert(sock->fd != 0);
    if (connect(sock->fd, reinterpret_cast<const struct sockaddr*>(&sock->addr), sock->addrlen) == 0) {
        return sock->fd;
    }
    const int err = errno;
    LOG_ERRNO();
    switch (err) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EACCES:
    case ENOENT:
        // The peer is not listening (yet), or its socket file is missing or
        // closed to us: the caller treats 0 as "absent".
        return 0;
    default:
        break;
    }
    char text[sizeof sock->name + 48];
    std::snprintf(text, sizeof text, sock->is_inet ? "connect() IP %s failed:\n" : "connect() socket file %s failed:\n",
                  sock->name);
    LOG_TEXT(text);
    return sock->fd;
}

void close_socket(Socket_t* sock) {
    if (sock == nullptr) return;
    // Descriptor 0 is never ours to close.
    if (sock->fd > 0) close(sock->fd);
    std::free(sock);
}

int socket_readn(int fd, void* buf, std::size_t n) {
    auto* p = static_cast<char*>(buf);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            LOG_ERRNO();
            return -1;
        }
        if (r == 0) break;  // end of stream: a short count, not an error
        got += static_cast<std::size_t>(r);
    }
    return static_cast<int>(got);
}

namespace {

// Writes all n bytes, repeating interrupted calls; a write of 0 is a failure.
// func names the public call in the failure line.
int write_all(const char* func, int fd, const void* buf, std::size_t n) {
    const auto* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            log_line(func, __LINE__, std::strerror(errno));
            return -1;
        }
        done += static_cast<std::size_t>(w);
    }
    return static_cast<int>(n);
}

}  // namespace

#ifdef LIBSOCKET_EARLY

int socket_writen(int fd, const void* buf, std::size_t n) {
    return write_all(__func__, fd, buf, n);
}

#else

int is_socket_writable(int fd) {
    struct pollfd pfd {};
    pfd.fd = fd;
    pfd.events = POLLOUT;
    const int r = poll(&pfd, 1, 0);
    if (r < 0) {
        log_line(__func__, fd, std::strerror(errno));
        return 0;
    }
    if (r == 0) {
        log_line(__func__, fd, "timeout.");
        return 0;
    }
    if ((pfd.revents & POLLOUT) == 0) {
        // POLLNVAL or POLLERR without room to write.
        log_line(__func__, fd, std::strerror((pfd.revents & POLLNVAL) != 0 ? EBADF : EPIPE));
        return 0;
    }
    return 1;
}

int socket_writen(int fd, const void* buf, std::size_t n) {
    // A full send buffer is reported, then the write blocks until the peer drains.
    if (!is_socket_writable(fd)) LOG_TEXT("do nothing.");
    return write_all(__func__, fd, buf, n);
}

int socket_detect_writen(int fd, const void* buf, std::size_t n) {
    if (!is_socket_writable(fd)) return -1;
    return write_all(__func__, fd, buf, n);
}

#endif

int socket_peek(int fd, void* buf, std::size_t size) {
    ssize_t r;
    do {
        r = recv(fd, buf, size, MSG_PEEK);
    } while (r < 0 && errno == EINTR);
    if (r < 0) LOG_ERRNO();
    return static_cast<int>(r);
}

int socket_read(int fd, void* buf, std::size_t size) {
    ssize_t r;
    do {
        r = read(fd, buf, size);
    } while (r < 0 && errno == EINTR);
    if (r < 0) LOG_ERRNO();
    return static_cast<int>(r);
}

int socket_write(int fd, const void* buf, std::size_t size) {
    ssize_t r;
    do {
        r = write(fd, buf, size);
    } while (r < 0 && errno == EINTR);
    if (r < 0) LOG_ERRNO();
    return static_cast<int>(r);
}
