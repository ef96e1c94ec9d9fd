// Channel closing and the room test, with socketpairs standing in for the
// codec servers' command sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>
#include <ctime>

#include "app.hpp"
#include "codec_conn.hpp"
#include "dsp_func.hpp"
#include "socket_cmd.hpp"
#include "globals.hpp"
#include "harness/util.hpp"
#include "test_call.hpp"

namespace {

using namespace std::chrono_literals;

// One socketpair per command socket; the far ends play the servers.
class CodecCmdSockets : public testing::Test {
protected:
    struct Pair {
        int* global;
        int near = -1, far = -1;
    };
    std::array<Pair, 6> pairs{{{&avhub::s32VdoEncCmdSockFd},
                               {&avhub::s32VdoDecCmdSockFd},
                               {&avhub::s32AdoEncCmdSockFd},
                               {&avhub::s32AdoDecCmdSockFd},
                               {&avhub::s32H239EncCmdSockFd},
                               {&avhub::s32H239DecCmdSockFd}}};

    void SetUp() override {
        for (auto& p : pairs) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
            p.near = sv[0];
            p.far = sv[1];
            *p.global = p.near;
        }
    }
    void TearDown() override {
        for (auto& p : pairs) {
            close(p.near);
            close(p.far);
            *p.global = 0;
        }
    }
    // Everything the "server" of global g has received, as 48-byte records.
    std::string received(int* g) {
        for (auto& p : pairs) {
            if (p.global != g) continue;
            std::string all;
            char buf[512];
            ssize_t n;
            while ((n = read(p.far, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
            return harness::hex(all);
        }
        return "?";
    }
};

// One 48-byte close request as avhub packs it.
std::string close_raw(std::uint16_t code, std::uint8_t chan) {
    std::array<std::uint8_t, 48> b{};
    b[1] = 0x55;
    b[2] = 0xAA;
    b[3] = 0xFF;
    b[4] = static_cast<std::uint8_t>(code >> 8);
    b[5] = static_cast<std::uint8_t>(code);
    b[38] = chan;
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Hex of a run of close requests.
std::string close_bytes(std::initializer_list<std::pair<std::uint16_t, std::uint8_t>> reqs) {
    std::string raw;
    for (auto [code, chan] : reqs) raw += close_raw(code, chan);
    return harness::hex(raw);
}

std::string close_bytes(std::uint16_t code, std::uint8_t chan) {
    return close_bytes({{code, chan}});
}

TEST_F(CodecCmdSockets, CloseRoutesByKindAndChannel) {
    struct Case {
        int kind;
        std::uint8_t chan;
        int* sock;
        std::uint16_t code;
        const char* conflict;
    };
    const Case cases[] = {
        {1, 0, &avhub::s32VdoEncCmdSockFd, 517, nullptr},
        {1, 1, &avhub::s32VdoEncCmdSockFd, 517, nullptr},
        {1, 2, &avhub::s32H239EncCmdSockFd, 517, nullptr},
        {2, 0, &avhub::s32VdoDecCmdSockFd, 517, nullptr},
        {2, 3, &avhub::s32H239DecCmdSockFd, 517, nullptr},
        {3, 0, &avhub::s32AdoEncCmdSockFd, 518, nullptr},
        {4, 12, &avhub::s32AdoDecCmdSockFd, 518, nullptr},
        {5, 2, &avhub::s32H239EncCmdSockFd, 517, nullptr},
        {5, 0, &avhub::s32H239EncCmdSockFd, 517, "Conflict Enc H239 Chan Index 0 \n"},
        {6, 3, &avhub::s32H239DecCmdSockFd, 517, nullptr},
        {6, 1, &avhub::s32H239DecCmdSockFd, 517, "Conflict Dec H239 Chan Index 1 \n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << k.kind << " chan " << int(k.chan));
        testing::internal::CaptureStdout();
        EXPECT_EQ(avhub::close_codec_chan(k.kind, k.chan), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("dsp_func.c"), std::string::npos);
        EXPECT_NE(out.find("Disable : waiting for codec's close ack \n"), std::string::npos) << out;
        EXPECT_EQ(out.find("Conflict") != std::string::npos, k.conflict != nullptr) << out;
        if (k.conflict) {
            EXPECT_NE(out.find(k.conflict), std::string::npos) << out;
        }
        for (auto& p : pairs)
            EXPECT_EQ(received(p.global), p.global == k.sock ? close_bytes(k.code, k.chan) : "");
    }
}

TEST_F(CodecCmdSockets, CloseOnUnconnectedSocketSendsNothing) {
    avhub::s32AdoDecCmdSockFd = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(avhub::close_codec_chan(4, 1), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Enc Server is Disabled ..\n"), std::string::npos) << out;
    for (auto& p : pairs) EXPECT_EQ(received(p.global), "");
    EXPECT_EQ(avhub::send_codec_cmd(0, avhub::CodecCmd{}), -1);
    EXPECT_EQ(avhub::wait_socket_codec_cmd_ack(pairs[0].near), 0);
}

TEST_F(CodecCmdSockets, ShutdownClosesFollowTheEncoderMarks) {
    testing::internal::CaptureStdout();
    avhub::u32VdoEnc0On = 1;
    avhub::u32VdoEnc1On = 1;
    avhub::send_shutdown_closes();
    avhub::u32VdoEnc1On = 0;
    avhub::send_shutdown_closes();
    avhub::u32VdoEnc0On = 0;
    avhub::send_shutdown_closes();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(received(&avhub::s32VdoEncCmdSockFd), close_bytes({{517, 0}, {517, 1}, {517, 0}}));
    EXPECT_EQ(received(&avhub::s32VdoDecCmdSockFd), close_bytes({{517, 0}, {517, 0}, {517, 0}}));
    EXPECT_EQ(received(&avhub::s32AdoEncCmdSockFd), close_bytes({{518, 0}, {518, 0}, {518, 0}}));
    EXPECT_EQ(received(&avhub::s32AdoDecCmdSockFd), close_bytes({{518, 0}, {518, 0}, {518, 0}}));
    EXPECT_EQ(received(&avhub::s32H239EncCmdSockFd), "");
    EXPECT_EQ(received(&avhub::s32H239DecCmdSockFd), "");
}

TEST(TestDeadline, FiresOnceWhenPassed) {
    auto run = [] {
        testing::internal::CaptureStdout();
        avhub::check_test_deadline();
        return testing::internal::GetCapturedStdout();
    };
    avhub::u32TestEndTm = 0;
    EXPECT_EQ(run().find("Time Out"), std::string::npos);
    avhub::u32TestEndTm = static_cast<std::uint32_t>(avhub::get_msec_count()) + 60000;
    EXPECT_EQ(run().find("Time Out"), std::string::npos);
    EXPECT_NE(avhub::u32TestEndTm, 0u);
    avhub::u32TestEndTm = static_cast<std::uint32_t>(avhub::get_msec_count()) - 5;
    if (avhub::u32TestEndTm == 0) avhub::u32TestEndTm = 0xFFFFFFFF;
    std::string out = run();
    EXPECT_NE(out.find("Time Out !!\n"), std::string::npos) << out;
    EXPECT_EQ(avhub::u32TestEndTm, 0u);
    EXPECT_EQ(run().find("Time Out"), std::string::npos);
}

TEST(TestDeadline, ATestTimeBeyondTheClocksReachSetsNoDeadline) {
    struct Case {
        std::int32_t seconds;
        std::int32_t now;
        std::uint32_t want;
    };
    const Case cases[] = {
        {0, 5000, 0},
        {10, 5000, 15000},
        {2147483, 0, 2147483000u},  // the farthest deadline the clock can tell
        {2147484, 0, 0},
        {INT32_MAX, 123, 0},
        {-5, 6000, 1000},            // a negative time wraps like the clock
        {1, -1000, 1},               // a deadline landing on 0 must not read as none
    };
    for (const Case& c : cases)
        EXPECT_EQ(avhub::test_deadline(c.seconds, c.now), c.want) << c.seconds << " s at " << c.now;

    // End to end on the loop's check: a 30-day test does not time out at once.
    avhub::u32TestEndTm = avhub::test_deadline(30 * 24 * 3600, avhub::get_msec_count());
    testing::internal::CaptureStdout();
    avhub::check_test_deadline();
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("Time Out"), std::string::npos);
    avhub::u32TestEndTm = 0;
}

// A command socket whose server has stopped reading loses the request
// instead of holding avhub; the socket is blocking like avhub's own.
TEST(SendCodecCmd, FullCommandSocketDoesNotBlock) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::array<char, 4096> chunk{};
    while (send(sv[0], chunk.data(), chunk.size(), MSG_DONTWAIT) > 0) {
    }
    avhub::CodecCmd cmd;
    avhub::fill_close_chan_cmd_struct(cmd, 517, 0);
    std::atomic<bool> done{false};
    long rc = 0;
    testing::internal::CaptureStdout();
    std::thread sender([&] {
        rc = avhub::send_codec_cmd(sv[0], cmd);
        done = true;
    });
    const bool returned = harness::wait_until([&] { return done.load(); }, 2s);
    // A blocked sender is freed by reading what the socket holds.
    std::array<char, 4096> sink{};
    while (!done.load() && read(sv[1], sink.data(), sink.size()) > 0) {
    }
    sender.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(returned) << "send_codec_cmd blocked on a full socket";
    EXPECT_EQ(rc, -1);
    EXPECT_NE(out.find("Codec command 517 lost"), std::string::npos) << out;
    close(sv[0]);
    close(sv[1]);
}

TEST(CheckFdWritable, FullSocketIsNotWritable) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    EXPECT_EQ(avhub::check_fd_writable(sv[0]), 1);
    char chunk[4096] = {};
    while (write(sv[0], chunk, sizeof chunk) > 0) {
    }
    EXPECT_EQ(avhub::check_fd_writable(sv[0]), -1);
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(avhub::check_fd_writable(sv[0]), -1);  // closed descriptor
    EXPECT_EQ(avhub::check_fd_writable(-1), -1);
}

TEST(ServerProbe, PlainSubstringOfTheListing) {
    harness::TempDir dir;
    const std::string listing = dir / "unix";
    ASSERT_TRUE(harness::write_file(listing,
                                    "Num       RefCount Protocol Flags    Type St Inode Path\n"
                                    "0000: 00000002 00000000 00010000 0001 01 1234 /tmp/T_EncCmd_old\n"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(avhub::check_udp_server_active("/tmp/T_EncCmd", listing.c_str()), 0);
    EXPECT_EQ(avhub::check_udp_server_active("/tmp/T_DecCmd", listing.c_str()), -2);
    EXPECT_EQ(avhub::check_udp_server_active("/tmp/T_EncCmd", (dir / "missing").c_str()), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Server Port is Active /tmp/T_EncCmd\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Server Port /tmp/T_DecCmd is not Active\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Can't read /proc/net/unix \n"), std::string::npos) << out;
}

TEST(MsecClock, OriginIsAWholeSecondOfTheMonotonicClock) {
    // The count's sub-second part is the monotonic clock's own.
    int checked = 0;
    for (int attempt = 0; attempt < 50 && checked < 5; ++attempt) {
        timespec before{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        std::int32_t ms = avhub::get_msec_count();
        clock_gettime(CLOCK_MONOTONIC, &after);
        if (before.tv_sec != after.tv_sec) continue;  // crossed a second: try again
        ASSERT_GE(ms, 0);
        EXPECT_GE(ms % 1000, before.tv_nsec / 1000000);
        EXPECT_LE(ms % 1000, after.tv_nsec / 1000000);
        ++checked;
        usleep(3000);
    }
    EXPECT_EQ(checked, 5);
}

}  // namespace
