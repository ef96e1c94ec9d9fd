// Socket endpoints against real UNIX and TCP peers on loopback, with the
// failure lines the library sends to syslog.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness/syslog.hpp"
#include "harness/util.hpp"
#include "libsocket/socket.h"

namespace {

using namespace std::chrono_literals;

// One capture for the whole binary: the library's syslog connection is made
// once and must find /dev/log already bound.
harness::SyslogCapture& syslog_capture() {
    static harness::SyslogCapture capture;
    return capture;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(syslog_capture().ok());
    }
    // Waits for a LOG_ERR line "<function> <number> <text>".
    static void expect_line(const std::string& function, const std::string& text) {
        auto e = syslog_capture().wait_for(text, 3s);
        ASSERT_TRUE(e) << "no syslog line with: " << text;
        EXPECT_EQ(e->severity(), LOG_ERR);
        EXPECT_EQ(e->text.rfind(function + " ", 0), 0u) << e->text;
        const std::string rest = e->text.substr(function.size() + 1);
        const std::size_t space = rest.find(' ');
        ASSERT_NE(space, std::string::npos) << e->text;
        EXPECT_GT(space, 0u);
        EXPECT_EQ(rest.substr(0, space).find_first_not_of("-0123456789"), std::string::npos) << e->text;
        EXPECT_EQ(rest.substr(space + 1, text.size()), text) << e->text;
    }
};

struct NameCase {
    const char* name;
    bool inet;
    const char* field;  // expected `name` field
    const char* addr;   // dotted quad, TCP only
    unsigned port;
};

TEST_F(SocketTest, NameParsingTable) {
    const std::vector<NameCase> cases = {
        {"10.0.0.1:0", true, "10.0.0.1", "10.0.0.1", 0},
        {"10.0.0.1:abc", true, "10.0.0.1", "10.0.0.1", 0},
        {"192.168.1.10:5000", true, "192.168.1.10", "192.168.1.10", 5000},
        {"127.1:70000", true, "127.0.0.1", "127.0.0.1", 70000 & 0xFFFF},
        // Past 32 bits too, whatever the width of long: 4294967377 = 2^32 + 81.
        {"10.0.0.1:4294967377", true, "10.0.0.1", "10.0.0.1", 81},
        {"10.0.0.1:-1", true, "10.0.0.1", "10.0.0.1", 0xFFFF},
        {"0x7f.0.0.1:80", true, "127.0.0.1", "127.0.0.1", 80},
        // Cut to 15 characters, then read with octal parts.
        {"192.168.001.0010:7", true, "192.168.1.1", "192.168.1.1", 7},
        {"10.0.0.1", false, "10.0.0.1", nullptr, 0},
        {"/var/run/x:1", false, "/var/run/x:1", nullptr, 0},
        {"server:80", false, "server:80", nullptr, 0},
        {"localhost:80", false, "localhost:80", nullptr, 0},
        {"1.2.3.4:5:6", false, "1.2.3.4:5:6", nullptr, 0},
        {"/tmp/ado_enc_cmd_socket", false, "/tmp/ado_enc_cmd_socket", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Socket_t* s = create_socket(c.name, 0);
        ASSERT_NE(s, nullptr);
        EXPECT_GT(s->fd, 0);
        EXPECT_EQ(s->is_inet, c.inet ? 1u : 0u);
        EXPECT_EQ(s->is_server, 0u);
        EXPECT_STREQ(s->name, c.field);
        if (c.inet) {
            EXPECT_EQ(s->addr.in.sin_family, AF_INET);
            EXPECT_EQ(s->addrlen, 16u);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &s->addr.in.sin_addr, text, sizeof text);
            EXPECT_STREQ(text, c.addr);
            EXPECT_EQ(ntohs(s->addr.in.sin_port), c.port);
        } else {
            EXPECT_EQ(s->addr.un.sun_family, AF_UNIX);
            EXPECT_EQ(s->addrlen, 110u);
            EXPECT_STREQ(s->addr.un.sun_path, c.name);
        }
        close_socket(s);
    }
}

TEST_F(SocketTest, LongUnixNameIsCutButTerminated) {
    const std::string name = "/tmp/" + std::string(130, 'n');
    Socket_t* s = create_socket(name.c_str(), 0);
    EXPECT_EQ(std::strlen(s->name), 108u);
    EXPECT_EQ(std::string(s->name), name.substr(0, 108));
    EXPECT_EQ(std::string(s->addr.un.sun_path, sizeof s->addr.un.sun_path), name.substr(0, 108));
    close_socket(s);
}

TEST_F(SocketTest, UnixServerReplacesOldFileAndClientsTransfer) {
    const char* path = "/tmp/libsocket_unix";
    ASSERT_TRUE(harness::write_file(path, "stale"));
    chmod(path, 0600);

    Socket_t* server = create_socket(path, 5);
    ASSERT_GT(server->fd, 0);
    EXPECT_EQ(server->is_server, 1u);
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode)) << "the old file is replaced by the socket";
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    Socket_t* client = create_socket(path, 0);
    ASSERT_GT(client->fd, 0);
    EXPECT_EQ(open_socket(client), client->fd);
    const int conn = open_socket(server);
    ASSERT_GT(conn, 0);

    const std::string msg = "hello over unix";
    EXPECT_EQ(socket_writen(client->fd, msg.data(), msg.size()), static_cast<int>(msg.size()));
    char peeked[5] = {};
    EXPECT_EQ(socket_peek(conn, peeked, sizeof peeked), 5);
    EXPECT_EQ(std::string(peeked, 5), "hello");
    std::string got(msg.size(), '\0');
    EXPECT_EQ(socket_readn(conn, got.data(), got.size()), static_cast<int>(msg.size()));
    EXPECT_EQ(got, msg);

    EXPECT_EQ(socket_write(conn, "ab", 2), 2);
    char two[2];
    EXPECT_EQ(socket_read(client->fd, two, 2), 2);

    close(conn);
    close_socket(client);
    close_socket(server);
    unlink(path);
}

TEST_F(SocketTest, TcpServerHasItsOptionsAndClientHasNone) {
    Socket_t* server = create_socket("127.0.0.1:47001", 3);
    ASSERT_GT(server->fd, 0);
    int on = 0;
    socklen_t len = sizeof on;
    getsockopt(server->fd, SOL_SOCKET, SO_REUSEADDR, &on, &len);
    EXPECT_NE(on, 0);
    getsockopt(server->fd, IPPROTO_TCP, TCP_NODELAY, &on, &len);
    EXPECT_NE(on, 0);
    EXPECT_EQ(fcntl(server->fd, F_GETFL) & O_NONBLOCK, 0);

    Socket_t* client = create_socket("127.0.0.1:47001", 0);
    getsockopt(client->fd, SOL_SOCKET, SO_REUSEADDR, &on, &len);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(open_socket(client), client->fd);
    const int conn = open_socket(server);
    ASSERT_GT(conn, 0);
    EXPECT_EQ(socket_writen(conn, "0123456789", 10), 10);
    char buf[10];
    EXPECT_EQ(socket_readn(client->fd, buf, sizeof buf), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    close(conn);
    close_socket(client);
    close_socket(server);
}

TEST_F(SocketTest, AbsentPeerGivesZeroAndLogsTheError) {
    Socket_t* unix_client = create_socket("/tmp/libsocket_nobody", 0);
    EXPECT_EQ(open_socket(unix_client), 0);
    expect_line("open_socket", "No such file or directory");
    close_socket(unix_client);

    Socket_t* tcp_client = create_socket("127.0.0.1:47002", 0);
    EXPECT_EQ(open_socket(tcp_client), 0);
    expect_line("open_socket", "Connection refused");
    close_socket(tcp_client);
}

TEST_F(SocketTest, OtherConnectFailureNamesTheSocketFileAndReturnsFd) {
    // A datagram socket at the path: the stream connect fails with a
    // protocol error, which is not one of the "peer absent" cases.
    const char* path = "/tmp/libsocket_dgram";
    unlink(path);
    const int dgram = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    ASSERT_EQ(bind(dgram, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    Socket_t* client = create_socket(path, 0);
    EXPECT_EQ(open_socket(client), client->fd);
    expect_line("open_socket", std::strerror(EPROTOTYPE));
    expect_line("open_socket", "connect() socket file /tmp/libsocket_dgram failed:");
    close_socket(client);
    close(dgram);
    unlink(path);
}

TEST_F(SocketTest, ReadnReturnsShortCountAtEndOfStream) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    close(fds[1]);
    char buf[8];
    EXPECT_EQ(socket_readn(fds[0], buf, sizeof buf), 3);
    EXPECT_EQ(socket_readn(fds[0], buf, sizeof buf), 0);
    close(fds[0]);

    EXPECT_EQ(socket_readn(-1, buf, sizeof buf), -1);
    expect_line("socket_readn", "Bad file descriptor");
    EXPECT_EQ(socket_read(-1, buf, sizeof buf), -1);
    expect_line("socket_read", "Bad file descriptor");
}

TEST_F(SocketTest, WritenToAClosedPeerFails) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    EXPECT_EQ(socket_writen(fds[0], "x", 1), -1);
    expect_line("socket_writen", "Broken pipe");
    EXPECT_EQ(socket_detect_writen(fds[0], "x", 1), -1);
    expect_line("socket_detect_writen", "Broken pipe");
    close(fds[0]);
}

TEST_F(SocketTest, FullSendBufferRefusedByDetectWritenAndWaitedOutByWriten) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    char block[1024] = {};
    std::size_t queued = 0;
    for (;;) {
        const ssize_t w = send(fds[0], block, sizeof block, MSG_DONTWAIT);
        if (w < 0) break;
        queued += static_cast<std::size_t>(w);
    }
    ASSERT_EQ(errno, EAGAIN);

    EXPECT_EQ(is_socket_writable(fds[0]), 0);
    expect_line("is_socket_writable", "timeout.");
    EXPECT_EQ(socket_detect_writen(fds[0], "z", 1), -1);
    expect_line("is_socket_writable", "timeout.");

    // socket_writen reports the full buffer and then blocks until drained.
    auto writer = std::async(std::launch::async, [&] { return socket_writen(fds[0], "tail", 4); });
    expect_line("socket_writen", "do nothing.");
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout) << "writen must wait for room";
    std::vector<char> sink(queued + 4);
    EXPECT_EQ(socket_readn(fds[1], sink.data(), sink.size()), static_cast<int>(sink.size()));
    EXPECT_EQ(writer.get(), 4);
    EXPECT_EQ(std::string(sink.end() - 4, sink.end()), "tail");
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SocketTest, CloseSocketLeavesDescriptorZeroAlone) {
    close_socket(nullptr);
    Socket_t* s = create_socket("/tmp/libsocket_zero", 0);
    close(s->fd);
    s->fd = 0;
    close_socket(s);  // must not close standard input
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    Socket_t* t = create_socket("/tmp/libsocket_neg", 0);
    close(t->fd);
    t->fd = -1;
    close_socket(t);
}

// Not in the fixture: a death test child must not rebind /dev/log.
TEST(SocketDeathTest, ProgrammingErrorsAreAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(open_socket(nullptr), R"(sock != \(\(void \*\)0\))");
    EXPECT_DEATH(
        {
            Socket_t* s = create_socket("/tmp/libsocket_fd0", 0);
            s->fd = 0;
            open_socket(s);
        },
        R"(sock->fd != 0)");
}

}  // namespace
