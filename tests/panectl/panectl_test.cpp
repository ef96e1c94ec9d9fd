// panectl end to end against a listening quad display server stand-in.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/proc.hpp"
#include "harness/syslog.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* kQuadSocket = "/tmp/quad_socket";

// Listens on the quad display path and collects what one connection sends.
class QuadServer {
public:
    explicit QuadServer(int backlog = 4) {
        unlink(kQuadSocket);
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, kQuadSocket);
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, backlog) == 0;
    }
    ~QuadServer() {
        if (fd_ >= 0) close(fd_);
        unlink(kQuadSocket);
    }
    bool ok() const { return ok_; }
    const char* path() const { return kQuadSocket; }

    // Bytes of the next connection up to its close; nullopt when none came.
    std::optional<std::string> receive(harness::Ms timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        const int conn = accept(fd_, nullptr, nullptr);
        if (conn < 0) return std::nullopt;
        std::string data;
        char buf[256];
        pollfd c{conn, POLLIN, 0};
        while (poll(&c, 1, 5000) == 1) {
            const ssize_t n = read(conn, buf, sizeof buf);
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        close(conn);
        return data;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

struct FrameCase {
    std::vector<std::string> words;
    std::string text;  // joined text before the zero padding
};

TEST(Panectl, SendsOneZeroPaddedFramePerCommand) {
    HARNESS_REQUIRE_SANDBOX();
    QuadServer server;
    ASSERT_TRUE(server.ok());
    const std::vector<FrameCase> cases = {
        {{"o", "t", "9", "1"}, "o t 9 1 "},
        {{"o", "t", "5", "0"}, "o t 5 0 "},
        {{"layout", "quad"}, "layout quad "},
        // Exactly 31 bytes with the spaces: the largest text that fits.
        {{"abcdefghijklmnopqrstuvwxyz", "123"}, "abcdefghijklmnopqrstuvwxyz 123 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_LE(c.text.size(), 31u);
        auto p = harness::Proc::start("panectl", c.words);
        const auto frame = server.receive(5000ms);
        EXPECT_EQ(p->wait_exit(5s), 0);
        ASSERT_TRUE(frame);
        std::string expect = c.text;
        expect.resize(32, '\0');
        EXPECT_EQ(harness::hex(*frame), harness::hex(expect));
        EXPECT_EQ(p->stderr_text(), c.text + "\n");
        EXPECT_EQ(p->stdout_text(), "");
    }
}

TEST(Panectl, NoWordsConnectsWithoutSending) {
    HARNESS_REQUIRE_SANDBOX();
    QuadServer server;
    ASSERT_TRUE(server.ok());
    auto p = harness::Proc::start("panectl");
    const auto frame = server.receive(5000ms);
    EXPECT_EQ(p->wait_exit(5s), 0);
    ASSERT_TRUE(frame) << "panectl still connects";
    EXPECT_EQ(*frame, "");
    EXPECT_EQ(p->stderr_text(), "");
}

TEST(Panectl, TooLongCommandIsRefusedWithoutConnecting) {
    HARNESS_REQUIRE_SANDBOX();
    QuadServer server;
    ASSERT_TRUE(server.ok());
    // 32 bytes with the spaces: one more than the frame holds.
    auto p = harness::Proc::start("panectl", {"abcdefghijklmnopqrstuvwxyz", "1234"});
    EXPECT_EQ(p->wait_exit(5s), 0);
    EXPECT_NE(p->stderr_text().find("too long"), std::string::npos) << p->stderr_text();
    EXPECT_FALSE(server.receive(300ms)) << "nothing may reach the server";
}

TEST(Panectl, AbsentServerOnlyLogs) {
    HARNESS_REQUIRE_SANDBOX();
    unlink(kQuadSocket);
    harness::SyslogCapture log;
    ASSERT_TRUE(log.ok());
    auto p = harness::Proc::start("panectl", {"o", "t", "9", "1"});
    EXPECT_EQ(p->wait_exit(5s), 0);
    const auto e = log.wait_for("No such file or directory", 3s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->severity(), LOG_ERR);
    EXPECT_EQ(e->text.rfind("open_socket ", 0), 0u) << e->text;
    EXPECT_EQ(p->stderr_text(), "");
    EXPECT_EQ(p->stdout_text(), "");
}

// A server that neither accepts nor reads, its backlog full: panectl, which
// avhub waits for around every tone, gives up after a moment and exits 0.
TEST(Panectl, ServerThatNeverAcceptsHoldsItAMomentOnly) {
    HARNESS_REQUIRE_SANDBOX();
    QuadServer server(0);
    ASSERT_TRUE(server.ok());
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, server.path());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            break;
        }
        queued.push_back(fd);
    }
    ASSERT_FALSE(queued.empty());
    auto p = harness::Proc::start("panectl", {"o", "t", "9", "1"});
    EXPECT_EQ(p->wait_exit(2s), 0) << "panectl waits for a server that does not accept";
    EXPECT_EQ(p->stderr_text(), "") << "nothing was delivered";
    for (int fd : queued) close(fd);
}

}  // namespace
