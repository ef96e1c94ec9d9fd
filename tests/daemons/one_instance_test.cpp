// One instance of each daemon: a second avhub, launcher or tonecue started
// while the first runs says why in one line and exits 1, before it touches
// anything the first uses (FIFO, socket, pid file); the first serves on. A
// lock left by a killed daemon blocks no start.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "daemon_util.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;
using namespace daemons_test;

const std::vector<std::string> kHubArgs{"54", "352", "288", "30", "1024", "1", "0", "1", "0"};

bool fifo_write(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Starts a second instance while the first runs: refused with one line on
// standard error, status 1, nothing on standard output.
void expect_refused(const std::string& name, const std::vector<std::string>& args = {}) {
    auto second = harness::Proc::start(name, args);
    const auto status = second->wait_exit(5s);
    ASSERT_TRUE(status) << name << " did not end";
    EXPECT_EQ(*status, 1) << name;
    EXPECT_EQ(second->stderr_lines(), std::vector<std::string>{refusal(name)}) << second->stderr_text();
    EXPECT_EQ(second->stdout_text(), "") << name;
}

std::unique_ptr<boxsim::Boxsim> start_sim() {
    auto sim = boxsim::Boxsim::start();
    EXPECT_TRUE(sim) << "boxsim did not come up";
    return sim;
}

TEST(OneInstance, SecondAvhubLeavesTheFirstItsFifoAndRecording) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir cwd;
    auto first = harness::Proc::start("avhub", kHubArgs, {.cwd = cwd.path()});
    ASSERT_TRUE(first->wait_stdout("AvHub PID = ", 10s)) << first->stdout_text();
    const auto fifo = identity("/dev/avhub");
    ASSERT_TRUE(fifo);
    ASSERT_TRUE(harness::write_file(cwd / "record.bin", "first's recording"));

    // Same settings, same folder: it would truncate record.bin and replace
    // the FIFO if it got that far.
    auto second = harness::Proc::start("avhub", kHubArgs, {.cwd = cwd.path()});
    const auto status = second->wait_exit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(second->stderr_lines(), std::vector<std::string>{refusal("avhub")});
    EXPECT_EQ(second->stdout_text(), "");
    EXPECT_EQ(identity("/dev/avhub"), fifo);
    EXPECT_EQ(harness::read_file(cwd / "record.bin"), "first's recording");

    ASSERT_TRUE(fifo_write("/dev/avhub", "close"));
    EXPECT_EQ(first->wait_exit(5s), 0) << "the first no longer reads its FIFO";
}

TEST(OneInstance, SecondLauncherIsRefusedBeforeItDetaches) {
    HARNESS_REQUIRE_SANDBOX();
    unlink(kLauncherSocket);
    DetachedLauncher first;
    ASSERT_TRUE(first.pid) << "the first launcher did not come up";
    const pid_t daemon = *first.pid;
    const auto sock = identity(kLauncherSocket);
    const auto pid_text = harness::read_file(kLauncherPid);

    expect_refused("launcher");
    expect_refused("launcher", {"--foreground"});
    EXPECT_EQ(identity(kLauncherSocket), sock) << "the socket was replaced";
    EXPECT_EQ(harness::read_file(kLauncherPid), pid_text);
    EXPECT_TRUE(can_connect(kLauncherSocket));
    EXPECT_TRUE(alive(daemon));
}

TEST(OneInstance, SecondTonecueIsRefusedBeforeItTouchesTheFifos) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto first = harness::Proc::start("tonecue");
    ASSERT_TRUE(first->wait_stderr("[TONECUE]: req ui ch ready (11)", 5s));
    const auto in = identity("/dev/tonecue_in");
    const auto out = identity("/dev/tonecue_out");

    expect_refused("tonecue");
    EXPECT_EQ(identity("/dev/tonecue_in"), in);
    EXPECT_EQ(identity("/dev/tonecue_out"), out);
    ASSERT_TRUE(fifo_write("/dev/tonecue_in", "k"));
    EXPECT_TRUE(first->wait_stderr("[TONECUE]: clode_ado_file", 2s)) << "the first no longer reads its FIFO";
}

// Each daemon killed outright (no clean-up of its own): the next one
// starts. avhub and tonecue are caught while they wait for codec servers
// that never come, after the lock is taken.
struct Waiting {
    const char* name;
    bool on_stderr;      // where its first line goes
    const char* needle;  // a line it prints once it has the lock
    std::vector<std::string> args;
};

class DeadHolder : public ::testing::TestWithParam<Waiting> {};

TEST_P(DeadHolder, LeavesNoLockBehind) {
    HARNESS_REQUIRE_SANDBOX();
    const Waiting& w = GetParam();
    auto wait_up = [&](harness::Proc& p) {
        return (w.on_stderr ? p.wait_stderr(w.needle, 5s) : p.wait_stdout(w.needle, 5s)).has_value();
    };
    auto first = harness::Proc::start(w.name, w.args);
    ASSERT_TRUE(wait_up(*first));
    first->signal(SIGKILL);
    ASSERT_TRUE(first->wait_exit(5s));

    auto next = harness::Proc::start(w.name, w.args);
    EXPECT_TRUE(wait_up(*next)) << next->stderr_text();
    EXPECT_TRUE(next->running());
}

INSTANTIATE_TEST_SUITE_P(Daemons, DeadHolder,
                         ::testing::Values(Waiting{"avhub", false, "not ready!", kHubArgs},
                                           Waiting{"tonecue", true, "[TONECUE]: ver=", {}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DeadHolder, LauncherKilledLeavesNoLockBehind) {
    HARNESS_REQUIRE_SANDBOX();
    DetachedLauncher first;
    ASSERT_TRUE(first.pid);
    ASSERT_EQ(kill(*first.pid, SIGKILL), 0);
    ASSERT_TRUE(harness::wait_until([&] { return !alive(*first.pid); }, 5s));

    unlink(kLauncherPid);
    DetachedLauncher next;
    ASSERT_TRUE(next.pid) << "no second daemon";
    EXPECT_NE(*next.pid, *first.pid);
}

}  // namespace
