// pollfloor: the floor a 1 ms poll loop sets on this machine. Each pass
// polls one descriptor (an idle pipe) with a 1 ms timeout and asks two
// sockets for their waiting byte counts, as a relay loop does when nothing
// is moving. It runs for the given seconds and prints the wake-up delays
// (time asleep beyond the 1 ms asked for) in microseconds:
//
//   pollfloor SECONDS
//   passes N p50 X p90 X p99 X max X cpu_ms X vcsw X ivcsw X   (one line)
#include <poll.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pollfloor SECONDS\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    int pipefd[2];
    int a[2], b[2];
    if (::pipe(pipefd) != 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, a) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, b) != 0) {
        std::perror("pollfloor");
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::vector<long> late_us;
    late_us.reserve(static_cast<std::size_t>(seconds * 1200) + 16);  // made once, before the loop
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        const auto before = Clock::now();
        if (before >= end) break;
        pollfd p{pipefd[0], POLLIN, 0};
        (void)::poll(&p, 1, 1);
        const auto after = Clock::now();
        int waiting = 0;
        (void)::ioctl(a[0], FIONREAD, &waiting);
        (void)::ioctl(b[0], FIONREAD, &waiting);
        if (late_us.size() < late_us.capacity()) {
            late_us.push_back(std::chrono::duration_cast<std::chrono::microseconds>(after - before).count() - 1000);
        }
    }
    std::sort(late_us.begin(), late_us.end());
    auto pct = [&](double q) {
        if (late_us.empty()) return 0L;
        return late_us[std::min(late_us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(late_us.size())))];
    };
    rusage ru{};
    (void)::getrusage(RUSAGE_SELF, &ru);
    const long cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000L;
    std::printf("passes %zu p50 %ld p90 %ld p99 %ld max %ld cpu_ms %ld vcsw %ld ivcsw %ld\n", late_us.size(), pct(0.50),
                pct(0.90), pct(0.99), late_us.empty() ? 0L : late_us.back(), cpu_ms, ru.ru_nvcsw, ru.ru_nivcsw);
    std::fflush(stdout);
    return 0;
}
