// The wrapping microsecond clock and its deadline tests.
#include <time.h>

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "libsocket/debug.h"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(Clock, ArithmeticWrapsAt32Bits) {
    static_assert(debug::wrap_us(0x100000005LL) == 5);
    static_assert(debug::wrap_us(0x80000000LL) == kMin);
    static_assert(debug::wrap_add(kMax, 10) == kMin + 9);
    // A deadline just past the wrap is still ahead of a reading just before it.
    static_assert(debug::wrap_sub(kMin + 5, kMax - 5) == 11);
    static_assert(debug::wrap_sub(kMax - 5, kMin + 5) == -11);
    SUCCEED();
}

TEST(Clock, GetTimeFollowsTheMonotonicClock) {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::int32_t expect =
        debug::wrap_us(static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
    const std::int32_t got = get_time();
    EXPECT_GE(debug::wrap_sub(got, expect), 0);
    EXPECT_LT(debug::wrap_sub(got, expect), 1000000);
}

TEST(Clock, DeadlineTests) {
    const std::int32_t ahead = get_jiffies_timeout(10 * 1000000);
    EXPECT_EQ(time_before(ahead), 1);
    EXPECT_EQ(time_after(ahead), 0);
    const std::int32_t passed = get_jiffies_timeout(-10 * 1000000);
    EXPECT_EQ(time_before(passed), 0);
    EXPECT_EQ(time_after(passed), 1);
}

TEST(Clock, EstimateMeasuresSinceThePreviousCall) {
    time_estimate();
    struct timespec pause {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    const std::int32_t elapsed = time_estimate();
    EXPECT_GE(elapsed, 20000);
    EXPECT_LT(elapsed, 5 * 1000000);
}

}  // namespace
