// Wrapping microsecond clock and deadline tests.
#include "debug.h"

#include <time.h>

namespace {

// Reading taken by the previous time_estimate call.
std::int32_t last_estimate = 0;

}  // namespace

std::int32_t get_time() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return debug::wrap_us(static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
}

std::int32_t get_jiffies_timeout(std::int32_t delta_us) {
    return debug::wrap_add(get_time(), delta_us);
}

int time_after(std::int32_t deadline) {
    return debug::wrap_sub(deadline, get_time()) < 0 ? 1 : 0;
}

int time_before(std::int32_t deadline) {
    return debug::wrap_sub(deadline, get_time()) > 0 ? 1 : 0;
}

std::int32_t time_estimate() {
    const std::int32_t now = get_time();
    const std::int32_t elapsed = debug::wrap_sub(now, last_estimate);
    last_estimate = now;
    return elapsed;
}
