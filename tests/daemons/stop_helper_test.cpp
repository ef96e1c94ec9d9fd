// avhub-stop, the stop command of avhub's service: "close" into the FIFO
// and a wait for avhub to end, never longer than its bound, and no wait at
// all when nothing reads the FIFO or avhub is already gone.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kHubArgs{"54", "352", "288", "30", "1024", "1", "0", "0", "0"};

// Runs the helper for pid; its exit status and how long it took.
std::pair<std::optional<int>, Clock::duration> stop(const std::string& pid, const std::string& seconds) {
    const auto start = Clock::now();
    auto helper = harness::Proc::start(harness::source_dir() + "/packaging/avhub-stop", {pid, seconds});
    const auto status = helper->wait_exit(30s);
    return {status, Clock::now() - start};
}

TEST(AvhubStop, ClosesAServingAvhubAndWaitsForItsEnd) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = boxsim::Boxsim::start();
    ASSERT_TRUE(sim);
    auto hub = harness::Proc::start("avhub", kHubArgs);
    ASSERT_TRUE(hub->wait_stdout("AvHub PID = ", 10s));
    const auto [status, took] = stop(std::to_string(hub->pid()), "10");
    EXPECT_EQ(status, 0);
    // Already ended when the helper returns: the service manager then
    // finds nothing left to signal.
    EXPECT_FALSE(hub->running()) << "avhub still runs after the helper returned";
    EXPECT_EQ(hub->wait_exit(1s), 0);
    EXPECT_TRUE(hub->wait_stdout("Close ap!!", 1s));
    EXPECT_LT(took, harness::scaled(5s));
}

// avhub still waits for the codec servers; a FIFO a killed avhub left has
// no reader. The helper must neither hang on the open nor wait its bound.
TEST(AvhubStop, ReturnsAtOnceWhenNothingReadsTheFifo) {
    HARNESS_REQUIRE_SANDBOX();
    unlink("/dev/avhub");
    ASSERT_EQ(mkfifo("/dev/avhub", 0777), 0);
    auto hub = harness::Proc::start("avhub", kHubArgs);
    ASSERT_TRUE(hub->wait_stdout("not ready!", 5s));
    const auto [status, took] = stop(std::to_string(hub->pid()), "20");
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, harness::scaled(5s)) << "waited although nothing could read close";
    EXPECT_TRUE(hub->running());
    unlink("/dev/avhub");

    // An avhub already gone, named by its pid or (as the service manager
    // does once its main process has ended) by an empty argument: nothing
    // to do, not even with a FIFO nobody reads.
    hub->kill_now();
    hub->wait_exit(5s);
    ASSERT_EQ(mkfifo("/dev/avhub", 0777), 0);
    for (const std::string& pid : {std::to_string(hub->pid()), std::string()}) {
        const auto [gone_status, gone_took] = stop(pid, "20");
        EXPECT_EQ(gone_status, 0);
        EXPECT_LT(gone_took, harness::scaled(1s)) << "pid '" << pid << "'";
    }
    unlink("/dev/avhub");
}

}  // namespace
