// The small programs under faults: the audio decoder server going away in
// the middle of a stream (tonecue, decprobe), and the launcher handed a
// request declaring 65,535 bytes before a valid one.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "launcher_client.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* kDecStrm = "ado_dec_server_socket";

// How the server goes away: one of its connections closed, or the whole
// server killed without closing anything in order.
struct ServerFault {
    const char* name;
    const char* drop;  // endpoint to drop; nullptr: kill the server
};
constexpr ServerFault kServerFaults[] = {
    {"bitstream closed", "ado_dec_server_socket"},
    {"commands closed", "ado_dec_cmd_socket"},
    {"server killed", nullptr},
};

void apply(boxsim::Boxsim& sim, const ServerFault& f) {
    if (f.drop != nullptr) {
        ASSERT_TRUE(sim.ok(std::string("drop ") + f.drop));
    } else {
        sim.proc().kill_now();
    }
}

void expect_clean(harness::Proc& p) {
    const std::string err = p.stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

std::string prompt_file(const harness::TempDir& dir) {
    std::string bytes(120 * 500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
    const std::string path = dir / "prompt.bin";
    harness::write_file(path, bytes);
    return path;
}

// tonecue streaming a looped prompt ends with status 0 whichever way its
// server goes away; a new tonecue then plays on a new server.
TEST(ToneCueFaults, ServerGoneMidStreamEndsCleanly) {
    HARNESS_REQUIRE_SANDBOX();
    harness::TempDir dir;
    const std::string prompt = prompt_file(dir);
    for (const ServerFault& f : kServerFaults) {
        SCOPED_TRACE(f.name);
        auto sim = boxsim::Boxsim::start();
        ASSERT_TRUE(sim);
        auto p = harness::Proc::start("tonecue");
        ASSERT_TRUE(p->wait_stderr("req ui ch ready (11)", 5s));
        const int fd = ::open("/dev/tonecue_in", O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        const std::string cmd = "p 1 " + prompt;
        ASSERT_EQ(::write(fd, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
        ::close(fd);
        ASSERT_TRUE(sim->records().wait_chunks(kDecStrm, 10, 5s));

        ASSERT_NO_FATAL_FAILURE(apply(*sim, f));
        EXPECT_EQ(p->wait_exit(3s), 0);
        expect_clean(*p);
        sim.reset();
    }
}

// decprobe streaming a file likewise.
TEST(DecprobeFaults, ServerGoneMidStreamEndsCleanly) {
    HARNESS_REQUIRE_SANDBOX();
    harness::TempDir dir;
    const std::string input = dir / "in.raw";
    harness::write_file(input, std::string(160 * 1000, '\x55'));
    for (const ServerFault& f : kServerFaults) {
        SCOPED_TRACE(f.name);
        auto sim = boxsim::Boxsim::start();
        ASSERT_TRUE(sim);
        auto p = harness::Proc::start("decprobe", {"1", "1", "0", "0", "20000", input});
        ASSERT_TRUE(sim->records().wait_chunks(kDecStrm, 5, 5s));

        ASSERT_NO_FATAL_FAILURE(apply(*sim, f));
        EXPECT_EQ(p->wait_exit(3s), 0);
        expect_clean(*p);
        sim.reset();
    }
}

// --- launcher ---------------------------------------------------------------

using faults::connect_launcher;
using faults::frame;
using faults::kLauncherPid;
using faults::kLauncherSocket;
using faults::send_all;

class LauncherFaults : public ::testing::Test {
protected:
    // Kept until the daemon is gone: the daemon inherits its output pipes.
    std::unique_ptr<harness::Proc> starter_;
    pid_t daemon_ = -1;
    harness::TempDir tmp_;

    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        ::unlink(kLauncherSocket);
        ::unlink(kLauncherPid);
        starter_ = harness::Proc::start("launcher");
        ASSERT_EQ(starter_->wait_exit(5s), 0);
        std::optional<std::string> pid;
        ASSERT_TRUE(harness::wait_until(
            [&] { return (pid = harness::read_file(kLauncherPid)) && !pid->empty() && pid->back() == '\n'; }, 5s));
        daemon_ = std::stoi(*pid);
        ASSERT_TRUE(harness::wait_until(
            [] {
                const int fd = connect_launcher();
                if (fd >= 0) ::close(fd);
                return fd >= 0;
            },
            5s));
    }

    void TearDown() override {
        if (daemon_ > 0) ::kill(daemon_, SIGKILL);
        starter_.reset();
        ::unlink(kLauncherSocket);
        ::unlink(kLauncherPid);
    }

    bool alive() const { return daemon_ > 0 && ::kill(daemon_, 0) == 0; }

    // A request that makes a file, and whether the file appeared.
    std::string touch(const std::string& name) { return frame("/bin/touch touch " + (tmp_ / name)); }
    bool made(const std::string& name) {
        return harness::wait_until([&] { return harness::file_exists(tmp_ / name); }, 5s, 10ms);
    }
};

// The 65,535-byte body arrives in slow pieces and looks like a command; it
// is dropped whole and the valid request behind it on the same connection
// runs.
TEST_F(LauncherFaults, LongestRequestInPiecesThenAValidOne) {
    const int fd = connect_launcher();
    ASSERT_GE(fd, 0);
    std::string body = "/bin/touch touch " + (tmp_ / "from_long") + " ";
    body.resize(65535, ' ');
    const std::string req = frame(body);
    for (std::size_t at = 0; at < req.size(); at += 16384) {
        ASSERT_TRUE(send_all(fd, req.substr(at, 16384)));
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(send_all(fd, touch("after_long")));
    EXPECT_TRUE(made("after_long"));
    EXPECT_FALSE(harness::file_exists(tmp_ / "from_long"));
    ::close(fd);
    EXPECT_TRUE(alive());
}

// A connection that declares 65,535 bytes and closes after part of them
// leaves the daemon serving other connections.
TEST_F(LauncherFaults, LongestRequestCutByThePeer) {
    int fd = connect_launcher();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, frame(65535, std::string(20000, 'x'))));
    ::close(fd);
    fd = connect_launcher();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, touch("next_conn")));
    EXPECT_TRUE(made("next_conn"));
    ::close(fd);
    EXPECT_TRUE(alive());
}

// A peer that stops in the middle of a request, leaving its connection
// open, holds the daemon for a bounded time only: the next client is served
// and the stalled connection is closed.
TEST_F(LauncherFaults, PeerStallingInsideARequestDoesNotHoldOthers) {
    const struct {
        const char* where;
        std::string bytes;
    } stalls[] = {
        {"inside a header", std::string{'\x70', '\x50'}},
        {"inside a command", frame(20, "/bin/")},
        {"inside a long request", frame(65535, std::string(100, 'x'))},
    };
    int i = 0;
    for (const auto& s : stalls) {
        SCOPED_TRACE(s.where);
        const int stalled = connect_launcher();
        ASSERT_GE(stalled, 0);
        ASSERT_TRUE(send_all(stalled, s.bytes));
        const int other = connect_launcher();
        ASSERT_GE(other, 0);
        const std::string name = "served" + std::to_string(i++);
        ASSERT_TRUE(send_all(other, touch(name)));
        EXPECT_TRUE(made(name));
        // The daemon gave up on the stalled connection and closed it.
        timeval tv{5, 0};
        ::setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c = 0;
        EXPECT_EQ(::recv(stalled, &c, 1, 0), 0);
        ::close(stalled);
        ::close(other);
    }
    EXPECT_TRUE(alive());
}

}  // namespace
