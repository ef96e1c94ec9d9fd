// Poll loop: descriptors first, then the timers that fell due.
#include "core/loop.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace sim::core {

long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Loop::Loop() {
    // The termination signals are blocked and read from a descriptor, so
    // that shutdown runs in the loop like any other event.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sigfd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (sigfd_) {
        watch(sigfd_.get(), POLLIN, [this](short) {
            signalfd_siginfo info{};
            while (::read(sigfd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop_ = true;
        });
    }
}

Loop::~Loop() = default;

void Loop::watch(int fd, short events, FdHandler handler) {
    watches_[fd] = Watch{events, next_gen_++, std::move(handler)};
}

void Loop::set_events(int fd, short events) {
    auto it = watches_.find(fd);
    if (it != watches_.end()) it->second.events = events;
}

void Loop::unwatch(int fd) { watches_.erase(fd); }

std::uint64_t Loop::at(long long due_us, TimerHandler handler) {
    std::uint64_t id = next_gen_++;
    timers_[id] = std::move(handler);
    due_.emplace(due_us, id);
    return id;
}

void Loop::cancel(std::uint64_t id) { timers_.erase(id); }

int Loop::poll_timeout_ms() const {
    if (due_.empty()) return 1000;
    long long wait = due_.begin()->first - now_us();
    if (wait <= 0) return 0;
    // Round up so a timer is never polled for too early and spun on.
    long long ms = (wait + 999) / 1000;
    return ms > 1000 ? 1000 : static_cast<int>(ms);
}

void Loop::run_due_timers() {
    long long now = now_us();
    while (!due_.empty() && due_.begin()->first <= now && !stop_) {
        std::uint64_t id = due_.begin()->second;
        due_.erase(due_.begin());
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // cancelled
        TimerHandler h = std::move(it->second);
        timers_.erase(it);
        h();
    }
}

void Loop::run() {
    while (!stop_) {
        pfds_.clear();
        gens_.clear();
        for (auto& [fd, w] : watches_) {
            pfds_.push_back(pollfd{fd, w.events, 0});
            gens_.push_back(w.gen);
        }
        int n = ::poll(pfds_.data(), pfds_.size(), poll_timeout_ms());
        if (n < 0 && errno != EINTR) break;
        for (std::size_t i = 0; n > 0 && i < pfds_.size() && !stop_; ++i) {
            if (pfds_[i].revents == 0) continue;
            // A handler may have removed or replaced this watch meanwhile.
            auto it = watches_.find(pfds_[i].fd);
            if (it == watches_.end() || it->second.gen != gens_[i]) continue;
            FdHandler h = it->second.handler;
            h(pfds_[i].revents);
        }
        run_due_timers();
    }
}

}  // namespace sim::core
