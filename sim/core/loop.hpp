// The simulator's one event loop: poll over descriptors, one-shot timers on
// the monotonic clock, and SIGTERM/SIGINT delivered as a loop event.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace sim::core {

// CLOCK_MONOTONIC in microseconds: the time base of the records and timers.
long long now_us();

// Owns one descriptor and closes it once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

class Loop {
public:
    using FdHandler = std::function<void(short revents)>;
    using TimerHandler = std::function<void()>;

    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // False when the signal descriptor could not be made.
    bool ok() const { return static_cast<bool>(sigfd_); }

    void watch(int fd, short events, FdHandler handler);
    void set_events(int fd, short events);
    void unwatch(int fd);

    // Runs handler once at due_us (now_us() clock); returns an id for cancel.
    std::uint64_t at(long long due_us, TimerHandler handler);
    std::uint64_t after_ms(long long ms, TimerHandler handler) { return at(now_us() + ms * 1000, std::move(handler)); }
    void cancel(std::uint64_t id);

    // Runs until stop() or a termination signal.
    void run();
    void stop() { stop_ = true; }

private:
    struct Watch {
        short events;
        std::uint64_t gen;
        FdHandler handler;
    };
    void run_due_timers();
    int poll_timeout_ms() const;

    Fd sigfd_;
    bool stop_ = false;
    std::uint64_t next_gen_ = 1;
    std::map<int, Watch> watches_;
    std::multimap<long long, std::uint64_t> due_;
    std::map<std::uint64_t, TimerHandler> timers_;
    std::vector<pollfd> pfds_;
    std::vector<std::uint64_t> gens_;
};

}  // namespace sim::core
