// pollfloor: the floor a 1 ms poll loop sets on this machine. Each pass
// polls one descriptor (an idle pipe) with a 1 ms timeout and asks two
// sockets for their waiting byte counts, as a relay loop does. It runs for
// the given seconds and prints, in microseconds, how much longer than the
// 1 ms asked for each pass slept, and its own CPU time and switches.
//
// With PROBES_PER_S, a second thread writes a time stamp into one of the
// sockets at random moments (PROBES_PER_S a second on average), and the
// loop times how long each stamp waited until a pass saw it: the delay a
// relay built on this loop cannot go below.
//
//   pollfloor SECONDS [PROBES_PER_S]
//   passes N p50 X p90 X p99 X max X cpu_ms X vcsw X ivcsw X [probes N p50 X p90 X p99 X max X]
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string percentiles(std::vector<long>& v) {
    std::sort(v.begin(), v.end());
    auto pct = [&](double q) {
        if (v.empty()) return 0L;
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
    };
    char buf[160];
    std::snprintf(buf, sizeof buf, "%zu p50 %ld p90 %ld p99 %ld max %ld", v.size(), pct(0.50), pct(0.90), pct(0.99),
                  v.empty() ? 0L : v.back());
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pollfloor SECONDS [PROBES_PER_S]\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const double probes_per_s = argc == 3 ? std::atof(argv[2]) : 0.0;
    int pipefd[2];
    int a[2], b[2];
    if (::pipe(pipefd) != 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, a) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, b) != 0) {
        std::perror("pollfloor");
        return 1;
    }
    // Made once, before the loop.
    std::vector<long> late_us;
    late_us.reserve(static_cast<std::size_t>(seconds * 1200) + 16);
    std::vector<long> probe_us;
    probe_us.reserve(static_cast<std::size_t>(seconds * probes_per_s * 1.5) + 16);

    const std::int64_t end = now_ns() + static_cast<std::int64_t>(seconds * 1e9);
    std::atomic<bool> stop{false};
    std::thread prober;
    if (probes_per_s > 0) {
        prober = std::thread([&] {
            std::mt19937 rng(12345);
            std::uniform_real_distribution<double> gap(0.0, 2.0 / probes_per_s);
            while (!stop.load()) {
                const auto due = now_ns() + static_cast<std::int64_t>(gap(rng) * 1e9);
                const timespec ts{static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
                }
                const std::int64_t stamp = now_ns();
                if (::write(a[1], &stamp, sizeof stamp) != sizeof stamp) return;
            }
        });
    }
    for (;;) {
        const std::int64_t before = now_ns();
        if (before >= end) break;
        pollfd p{pipefd[0], POLLIN, 0};
        (void)::poll(&p, 1, 1);
        const std::int64_t after = now_ns();
        int waiting = 0;
        (void)::ioctl(b[0], FIONREAD, &waiting);
        (void)::ioctl(a[0], FIONREAD, &waiting);
        for (; waiting >= static_cast<int>(sizeof(std::int64_t)); waiting -= static_cast<int>(sizeof(std::int64_t))) {
            std::int64_t stamp = 0;
            if (::read(a[0], &stamp, sizeof stamp) != sizeof stamp) break;
            if (probe_us.size() < probe_us.capacity()) probe_us.push_back((now_ns() - stamp) / 1000);
        }
        if (late_us.size() < late_us.capacity()) late_us.push_back((after - before) / 1000 - 1000);
    }
    stop = true;
    if (prober.joinable()) prober.join();

    rusage ru{};
    (void)::getrusage(RUSAGE_SELF, &ru);
    const long cpu_ms =
        (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000L;
    std::printf("passes %s cpu_ms %ld vcsw %ld ivcsw %ld", percentiles(late_us).c_str(), cpu_ms, ru.ru_nvcsw,
                ru.ru_nivcsw);
    if (probes_per_s > 0) std::printf(" probes %s", percentiles(probe_us).c_str());
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}
