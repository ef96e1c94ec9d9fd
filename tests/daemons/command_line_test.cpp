// The resident tools' command lines: --help and --version answer and start
// nothing, anything else is refused; launcher --foreground reports ready to
// a service manager only once its socket listens; SIGTERM leaves no socket
// or FIFO behind.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "avbox/build_info.hpp"
#include "boxsim/client.hpp"
#include "daemon_util.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;
using namespace daemons_test;

// What a start would have made; none of it may exist after an answer.
const std::vector<std::string> kStartedPaths{kLauncherSocket,  kLauncherPid,           "/run/lock/launcher.lock",
                                             "/dev/tonecue_in", "/dev/tonecue_out",     "/run/lock/tonecue.lock"};

struct Line {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;  // standard output from its start ("" for nothing)
    std::string err;  // standard error from its start
};

class CommandLine : public ::testing::TestWithParam<Line> {};

TEST_P(CommandLine, AnswersWithoutStartingAnything) {
    HARNESS_REQUIRE_SANDBOX();
    const Line& l = GetParam();
    for (const auto& path : kStartedPaths) unlink(path.c_str());  // left by earlier tests
    auto p = harness::Proc::start(l.name, l.args);
    const auto status = p->wait_exit(5s);
    ASSERT_TRUE(status) << l.name << " started instead of answering";
    EXPECT_EQ(*status, l.status);
    EXPECT_EQ(p->stdout_text().substr(0, l.out.size()), l.out);
    if (l.args == std::vector<std::string>{"--version"}) {
        EXPECT_EQ(p->stdout_text(), l.out) << "one line";
    }
    EXPECT_EQ(p->stdout_text().empty(), l.out.empty()) << p->stdout_text();
    EXPECT_EQ(p->stderr_text().substr(0, l.err.size()), l.err);
    EXPECT_EQ(p->stderr_text().empty(), l.err.empty()) << p->stderr_text();
    for (const auto& path : kStartedPaths) EXPECT_FALSE(identity(path)) << path << " made by " << l.name;
}

const std::string kVersion = avbox::kVersion;

INSTANTIATE_TEST_SUITE_P(
    Tools, CommandLine,
    ::testing::Values(Line{"launcher", {"--help"}, 0, "Usage: launcher [--foreground]\n", ""},
                      Line{"launcher", {"--version"}, 0, "launcher (avbox) " + kVersion + "\n", ""},
                      Line{"launcher", {"--bogus"}, 2, "", "launcher: unknown argument: --bogus\nUsage: launcher"},
                      Line{"launcher", {"--help", "x"}, 2, "", "launcher: unknown argument: x\n"},
                      Line{"tonecue", {"--help"}, 0, "Usage: tonecue\n", ""},
                      Line{"tonecue", {"--version"}, 0, "tonecue (avbox) " + kVersion + "\n", ""},
                      Line{"tonecue", {"--foreground"}, 2, "", "tonecue: unknown argument: --foreground\n"}),
    [](const auto& p) { return std::string(p.param.name) + "_" + std::to_string(p.index); });

class LauncherForeground : public ::testing::TestWithParam<const char*> {};

// Ready is reported once, after the socket listens; the daemon is the
// process the manager started (no fork), and the programs it starts do not
// inherit the manager's socket.
TEST_P(LauncherForeground, ReportsReadyOnceListening) {
    HARNESS_REQUIRE_SANDBOX();
    harness::TempDir tmp;
    const std::string name = GetParam()[0] == '@' ? GetParam() : tmp / GetParam();
    NotifySocket manager(name);
    ASSERT_TRUE(manager.bound());
    unlink(kLauncherSocket);
    auto daemon = harness::Proc::start("launcher", {"--foreground"}, {.env = {{"NOTIFY_SOCKET", name}}});
    EXPECT_EQ(manager.receive(5s), "READY=1");
    EXPECT_TRUE(can_connect(kLauncherSocket)) << "ready before the socket listens";
    EXPECT_TRUE(daemon->running()) << "the foreground daemon must not exit";
    EXPECT_EQ(harness::read_file(kLauncherPid), std::to_string(daemon->pid()) + "\n");

    // A started program's environment, through the launcher's own request.
    const std::string env_out = tmp / "env";
    const std::string command = "/bin/sh sh -c env>" + env_out;
    std::string request{'\x70', '\x50', static_cast<char>(command.size()), '\0'};
    request += command;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kLauncherSocket, sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    close(fd);
    std::optional<std::string> env;
    ASSERT_TRUE(harness::wait_until([&] { return (env = harness::read_file(env_out)) && !env->empty(); }, 5s));
    EXPECT_EQ(env->find("NOTIFY_SOCKET"), std::string::npos) << *env;

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait_exit(5s), 128 + SIGTERM);
    EXPECT_FALSE(identity(kLauncherSocket)) << "socket left behind";
    EXPECT_EQ(manager.receive(200ms), "") << "reported twice";
}

INSTANTIATE_TEST_SUITE_P(Sockets, LauncherForeground, ::testing::Values("notify", "@avbox-test-notify"),
                         [](const auto& p) { return p.index == 0 ? std::string("Path") : std::string("Abstract"); });

// SIGTERM removes the socket the daemon made, and never a socket another
// program has put in its place since.
TEST(SigtermCleanUp, LauncherRemovesOnlyItsOwnSocket) {
    HARNESS_REQUIRE_SANDBOX();
    for (const bool replaced : {false, true}) {
        unlink(kLauncherSocket);
        DetachedLauncher launcher;
        const auto daemon = launcher.pid;
        ASSERT_TRUE(daemon);
        std::optional<std::pair<dev_t, ino_t>> other;
        int other_fd = -1;
        if (replaced) {
            unlink(kLauncherSocket);
            other_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, kLauncherSocket, sizeof addr.sun_path - 1);
            ASSERT_EQ(bind(other_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            other = identity(kLauncherSocket);
        }
        ASSERT_EQ(kill(*daemon, SIGTERM), 0);
        ASSERT_TRUE(harness::wait_until([&] { return !alive(*daemon); }, 5s));
        EXPECT_EQ(identity(kLauncherSocket), other) << (replaced ? "removed another's socket" : "left its socket");
        if (other_fd >= 0) close(other_fd);
    }
}

// tonecue makes its FIFOs (replacing a plain file a writer left where the
// command FIFO belongs) and removes both when SIGTERM ends it.
TEST(SigtermCleanUp, TonecueRemovesItsFifos) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = boxsim::Boxsim::start();
    ASSERT_TRUE(sim);
    // A FIFO a killed player left would hold this write: gone first.
    unlink("/dev/tonecue_in");
    unlink("/dev/tonecue_out");
    ASSERT_TRUE(harness::write_file("/dev/tonecue_in", "p 0 /nowhere\n"));
    auto p = harness::Proc::start("tonecue");
    ASSERT_TRUE(p->wait_stderr("[TONECUE]: req ui ch ready (11)", 5s)) << p->stderr_text();
    EXPECT_TRUE(is_fifo("/dev/tonecue_in"));
    EXPECT_TRUE(is_fifo("/dev/tonecue_out"));
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait_exit(5s), 0);
    EXPECT_FALSE(identity("/dev/tonecue_in"));
    EXPECT_FALSE(identity("/dev/tonecue_out"));
}

}  // namespace
