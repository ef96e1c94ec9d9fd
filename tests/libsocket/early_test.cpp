// The earlier library revision: the same failure lines on standard error,
// and writes that go out at once without a writability probe.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/util.hpp"
#include "libsocket/socket.h"

namespace {

using namespace std::chrono_literals;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

TEST(EarlyRevision, FailureLinesGoToStandardError) {
    std::signal(SIGPIPE, SIG_IGN);
    harness::TempDir dir;
    const std::string path = dir / "absent";

    CaptureStderr();
    Socket_t* client = create_socket(path.c_str(), 0);
    const int opened = open_socket(client);
    close_socket(client);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    const int written = socket_writen(fds[0], "x", 1);
    close(fds[0]);
    const std::string err = GetCapturedStderr();

    EXPECT_EQ(opened, 0);
    EXPECT_EQ(written, -1);
    EXPECT_TRUE(std::regex_match(err, std::regex("open_socket [0-9]+ No such file or directory\n"
                                                 "socket_writen [0-9]+ Broken pipe\n")))
        << err;
}

TEST(EarlyRevision, WritenSkipsTheProbeAndWaitsForRoom) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    char block[1024] = {};
    std::size_t queued = 0;
    while (true) {
        const ssize_t w = send(fds[0], block, sizeof block, MSG_DONTWAIT);
        if (w < 0) break;
        queued += static_cast<std::size_t>(w);
    }

    CaptureStderr();
    auto writer = std::async(std::launch::async, [&] { return socket_writen(fds[0], "tail", 4); });
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
    std::vector<char> sink(queued + 4);
    EXPECT_EQ(socket_readn(fds[1], sink.data(), sink.size()), static_cast<int>(sink.size()));
    EXPECT_EQ(writer.get(), 4);
    EXPECT_EQ(GetCapturedStderr(), "") << "no probe, so no \"do nothing.\" line";
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
