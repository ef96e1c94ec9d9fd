// What /proc tells about one process: CPU time, resident memory and
// context switches (each switch away from a sleeping loop is one wake-up).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace bench {

struct ProcSample {
    double t = 0;                  // monotonic seconds when taken
    double cpu_s = 0;              // user + system seconds so far
    std::uint64_t rss_kib = 0;     // VmRSS
    std::uint64_t vcsw = 0;        // voluntary context switches
    std::uint64_t ivcsw = 0;       // involuntary ones
    bool ok = false;
};

ProcSample sample(pid_t pid);

// CPU share of one core, in percent, between two samples.
double cpu_percent(const ProcSample& a, const ProcSample& b);
// Voluntary switches per second between two samples.
double wakeups_per_s(const ProcSample& a, const ProcSample& b);

}  // namespace bench
