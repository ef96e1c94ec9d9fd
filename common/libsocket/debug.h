// Microsecond monotonic time as a wrapping signed 32-bit count, with
// deadline comparisons that hold across the wrap for spans below 2^31 us.
#pragma once

#include <cstdint>

namespace debug {

// Modular 32-bit arithmetic on the clock values: the count wraps, and a
// signed difference tells which side of a deadline "now" is on.
constexpr std::int32_t wrap_us(std::int64_t us) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(us)));
}
constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

}  // namespace debug

// CLOCK_MONOTONIC in microseconds, cut to 32 bits (wraps every ~71.6 min).
std::int32_t get_time();

// get_time() + delta_us.
std::int32_t get_jiffies_timeout(std::int32_t delta_us);

// 1 when the deadline has passed, else 0 (0 at the deadline itself).
int time_after(std::int32_t deadline);

// 1 when the deadline is still ahead, else 0 (0 at the deadline itself).
int time_before(std::int32_t deadline);

// Microseconds since the previous call (since 0 on the first call).
std::int32_t time_estimate();
