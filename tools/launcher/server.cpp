// Accepting clients and reading their framed launch requests. Connections
// are non-blocking; each keeps the request it is receiving in its own buffer
// and every readable event takes only what has arrived, so one client can
// hold only itself. A request must arrive whole within a deadline counted
// from its first byte.
#include "server.hpp"

#include <event2/event.h>
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

namespace launcher::server {

namespace {

// Time from the first byte of a request to its last one.
constexpr timeval kRequestDeadline{2, 0};
// Time from accept to the first byte of a first request: a client sends as
// soon as it has connected. Once a request has been served the connection
// may stay quiet between requests for as long as it likes.
constexpr timeval kIdleDeadline{5, 0};
// Pause of the listener when accept finds no descriptor: long enough not to
// spin on a listener that stays readable, short enough to serve again soon.
constexpr timeval kAcceptBackoff{0, 150000};

enum class Phase { Header, Body, Drop };

}  // namespace

struct Connection {
    Listener* listener = nullptr;
    Connection* older = nullptr;  // the listener's connections, in order of accept
    Connection* newer = nullptr;
    evutil_socket_t fd = -1;
    event* read_ev = nullptr;
    event* deadline_ev = nullptr;
    Phase phase = Phase::Header;
    bool in_request = false;  // a first byte has come and the request deadline runs
    bool served = false;      // a request has been taken whole
    std::size_t have = 0;     // bytes of the header or body gathered so far
    std::size_t length = 0;   // body length (Body) or bytes still to drop (Drop)
    std::array<std::uint8_t, command::kHeaderSize> head{};
    // The body and its terminating zero; also the sink of dropped bodies.
    std::array<char, command::kRecvBufSize> body{};
};

namespace {

void log_errno(const char* func, int line) { syslog(LOG_ERR, "%s %d %s\n", func, line, std::strerror(errno)); }

void resume(Listener& l) {
    if (!l.paused) return;
    l.paused = false;
    event_del(l.resume_ev);
    if (l.accept_ev != nullptr && event_add(l.accept_ev, nullptr) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, "cannot watch listening socket");
    }
}

void resume_cb(evutil_socket_t, short, void* arg) { resume(*static_cast<Listener*>(arg)); }

// Stops watching a listener that stays readable while no descriptor is
// left to accept with; the timer, or a client leaving, watches it again.
void pause(Listener& l) {
    if (l.paused || l.accept_ev == nullptr) return;
    l.paused = true;
    event_del(l.accept_ev);
    event_add(l.resume_ev, &kAcceptBackoff);
}

void unlink_connection(Connection* c) {
    Listener& l = *c->listener;
    (c->older != nullptr ? c->older->newer : l.oldest) = c->newer;
    (c->newer != nullptr ? c->newer->older : l.newest) = c->older;
}

void close_connection(Connection* c) {
    event_free(c->read_ev);
    event_free(c->deadline_ev);
    close(c->fd);
    syslog(LOG_INFO, "skt close  %d\n", static_cast<int>(c->fd));
    unlink_connection(c);
    // A descriptor is free again.
    resume(*c->listener);
    delete c;
}

void deadline_cb(evutil_socket_t, short, void* arg) {
    auto* c = static_cast<Connection*>(arg);
    syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, c->in_request ? "request timed out" : "idle connection timed out");
    close_connection(c);
}

// Out of descriptors: closes the connection that has waited longest
// without being in the middle of a request, preferring one that never
// sent any. False when every connection is inside a request (each of those
// ends by its own deadline).
bool evict_idle(Listener& l) {
    Connection* victim = nullptr;
    for (Connection* c = l.oldest; c != nullptr; c = c->newer) {
        if (c->in_request) continue;
        if (!c->served) {
            victim = c;
            break;
        }
        if (victim == nullptr) victim = c;
    }
    if (victim == nullptr) return false;
    syslog(LOG_ERR, "%s %d %s %d\n", "accept_cb", __LINE__, "no descriptor left, closing idle connection",
           static_cast<int>(victim->fd));
    close_connection(victim);
    return true;
}

// The request is over (run, refused or dropped): the next byte starts a new
// one with a new deadline.
void end_request(Connection& c) {
    c.phase = Phase::Header;
    c.have = 0;
    c.in_request = false;
    c.served = true;
    event_del(c.deadline_ev);
}

void take_header(Connection& c) {
    const command::Header hdr = command::parse_header(c.head);
    c.have = 0;
    if (hdr.magic != command::MAGIC_HDR) {
        // No resynchronisation: the next four bytes are read as a header.
        syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, "MAGIC_HDR error");
        end_request(c);
        return;
    }
    c.length = hdr.length;
    if (hdr.length > command::kMaxCommandLen) {
        // Read and dropped, so the next header is taken from the right place.
        syslog(LOG_ERR, "%s %d request length %u over %zu, dropped\n", "read_cb", __LINE__,
               static_cast<unsigned>(hdr.length), command::kMaxCommandLen);
        c.phase = Phase::Drop;
        return;
    }
    c.phase = Phase::Body;
    if (hdr.length == 0) {
        c.body[0] = '\0';
        end_request(c);
        launch(c.body.data());
    }
}

}  // namespace

bool listen_on(Listener& l, event_base* base, evutil_socket_t fd) {
    l.base = base;
    l.accept_ev = event_new(base, fd, EV_READ | EV_PERSIST, accept_cb, &l);
    l.resume_ev = evtimer_new(base, resume_cb, &l);
    return l.accept_ev != nullptr && l.resume_ev != nullptr && event_add(l.accept_ev, nullptr) == 0;
}

void release(Listener& l) {
    if (l.accept_ev != nullptr) event_free(l.accept_ev);
    if (l.resume_ev != nullptr) event_free(l.resume_ev);
    l.accept_ev = nullptr;
    l.resume_ev = nullptr;
}

void accept_cb(evutil_socket_t fd, short /*what*/, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    // Non-blocking for the per-client reads; close-on-exec so that started
    // programs never inherit a client's connection.
    int conn = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    // Silent clients must not keep a real one out: an idle connection
    // gives its descriptor to the new one.
    if (conn < 0 && (errno == EMFILE || errno == ENFILE) && evict_idle(l)) {
        conn = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
    if (conn < 0) {
        switch (errno) {
        case EAGAIN:
        case EINTR:
            return;  // the client went before we took it
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // Logged once per shortage, however long it lasts.
            if (!l.exhausted) log_errno("accept_cb", __LINE__);
            l.exhausted = true;
            pause(l);
            return;
        default:
            log_errno("accept_cb", __LINE__);
            return;
        }
    }
    l.exhausted = false;
    if (serve(l, conn) != nullptr) syslog(LOG_INFO, "skt accept %d\n", conn);
}

Connection* serve(Listener& l, evutil_socket_t fd) {
    auto* c = new Connection;
    c->listener = &l;
    c->fd = fd;
    c->read_ev = event_new(l.base, fd, EV_READ | EV_PERSIST, read_cb, c);
    c->deadline_ev = evtimer_new(l.base, deadline_cb, c);
    if (c->read_ev == nullptr || c->deadline_ev == nullptr || event_add(c->read_ev, nullptr) < 0 ||
        event_add(c->deadline_ev, &kIdleDeadline) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "accept_cb", __LINE__, "cannot watch connection");
        if (c->read_ev != nullptr) event_free(c->read_ev);
        if (c->deadline_ev != nullptr) event_free(c->deadline_ev);
        close(fd);
        delete c;
        return nullptr;
    }
    c->older = l.newest;
    (l.newest != nullptr ? l.newest->newer : l.oldest) = c;
    l.newest = c;
    return c;
}

void read_cb(evutil_socket_t fd, short /*what*/, void* arg) {
    auto* c = static_cast<Connection*>(arg);

    void* into = nullptr;
    std::size_t want = 0;
    switch (c->phase) {
    case Phase::Header:
        into = c->head.data() + c->have;
        want = c->head.size() - c->have;
        break;
    case Phase::Body:
        into = c->body.data() + c->have;
        want = c->length - c->have;
        break;
    case Phase::Drop:
        into = c->body.data();
        want = std::min(c->length, c->body.size());
        break;
    }
    ssize_t n;
    do {
        n = read(fd, into, want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        log_errno("read_cb", __LINE__);
        close_connection(c);
        return;
    }
    if (n == 0) {
        // The peer has closed. A command cut short is never run: its missing
        // tail could change what it does.
        if ((c->phase == Phase::Header && c->have > 0) || c->phase == Phase::Body) {
            syslog(LOG_ERR, "%s %d %s\n", "read_cb", __LINE__, "short request");
        }
        close_connection(c);
        return;
    }
    if (!c->in_request) {
        c->in_request = true;
        event_add(c->deadline_ev, &kRequestDeadline);
    }

    const auto got = static_cast<std::size_t>(n);
    switch (c->phase) {
    case Phase::Header:
        c->have += got;
        if (c->have == c->head.size()) take_header(*c);
        break;
    case Phase::Body:
        c->have += got;
        if (c->have == c->length) {
            c->body[c->length] = '\0';
            end_request(*c);
            launch(c->body.data());
        }
        break;
    case Phase::Drop:
        c->length -= got;
        if (c->length == 0) end_request(*c);
        break;
    }
}

}  // namespace launcher::server
