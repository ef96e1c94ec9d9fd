// Owners for what the tools hold open: a socket endpoint of the common
// library, a libevent base and event, and a plain descriptor. Each releases
// its resource exactly once, on every way out of main().
#pragma once

#include <event2/event.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "libsocket/socket.h"

// libevent's configuration header must be the one of the architecture being
// built: a cross compiler also searches /usr/include, where the native
// libevent-dev keeps its own. time_t and off_t are in struct timeval and
// ev_off_t of libevent's interface, so this build's widths must match the
// library's (32-bit time_t and 64-bit off_t on Debian 12 armhf).
static_assert(EVENT__SIZEOF_LONG == sizeof(long) && EVENT__SIZEOF_SIZE_T == sizeof(std::size_t) &&
                  EVENT__SIZEOF_VOID_P == sizeof(void*),
              "event2/event-config.h is another architecture's");
static_assert(EVENT__SIZEOF_TIME_T == sizeof(std::time_t) && EVENT__SIZEOF_OFF_T == sizeof(off_t),
              "time_t or off_t differ from libevent's build");

namespace tools {

struct EventFree {
    void operator()(event* ev) const { event_free(ev); }
};
struct BaseFree {
    void operator()(event_base* b) const { event_base_free(b); }
};
struct SocketClose {
    void operator()(Socket_t* s) const { close_socket(s); }
};

using EventPtr = std::unique_ptr<event, EventFree>;
using BasePtr = std::unique_ptr<event_base, BaseFree>;
using SocketPtr = std::unique_ptr<Socket_t, SocketClose>;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

}  // namespace tools
