// Owners for what the tools hold open: a socket endpoint of the common
// library, a libevent base and event, and a plain descriptor. Each releases
// its resource exactly once, on every way out of main().
#pragma once

#include <event2/event.h>
#include <unistd.h>

#include <memory>

#include "libsocket/socket.h"

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
