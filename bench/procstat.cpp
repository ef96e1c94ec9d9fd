#include "procstat.hpp"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace bench {

ProcSample sample(pid_t pid) {
    ProcSample s;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    s.t = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream st(base + "/stat");
    std::string line;
    if (!std::getline(st, line)) return s;
    // Fields after the command name, which is in parentheses and may hold spaces.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return s;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    s.cpu_s = static_cast<double>(utime + stime) / hz;
    // The scheduler's own run time is in nanoseconds, far finer than the
    // clock ticks of stat; use it when the kernel keeps it.
    std::ifstream sched(base + "/schedstat");
    unsigned long long run_ns = 0;
    if (sched >> run_ns) s.cpu_s = static_cast<double>(run_ns) / 1e9;
    std::ifstream status(base + "/status");
    while (std::getline(status, line)) {
        unsigned long long v = 0;
        if (std::sscanf(line.c_str(), "VmRSS: %llu", &v) == 1) s.rss_kib = v;
        if (std::sscanf(line.c_str(), "voluntary_ctxt_switches: %llu", &v) == 1) s.vcsw = v;
        if (std::sscanf(line.c_str(), "nonvoluntary_ctxt_switches: %llu", &v) == 1) s.ivcsw = v;
    }
    s.ok = true;
    return s;
}

double cpu_percent(const ProcSample& a, const ProcSample& b) {
    const double dt = b.t - a.t;
    return dt > 0 ? 100.0 * (b.cpu_s - a.cpu_s) / dt : 0.0;
}

double wakeups_per_s(const ProcSample& a, const ProcSample& b) {
    const double dt = b.t - a.t;
    return dt > 0 ? static_cast<double>(b.vcsw - a.vcsw) / dt : 0.0;
}

}  // namespace bench
