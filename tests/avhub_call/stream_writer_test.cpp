// The whole-or-nothing writer against a socketpair peer that stalls, goes
// away or is forgotten: the peer's stream must only ever hold whole packets.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "relay_fixture.hpp"

namespace call_test {
namespace {

namespace sw = stream_writer;

class WriterTest : public ::testing::Test {
protected:
    int sv[2]{-1, -1};
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
        ::fcntl(sv[1], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        sw::stream_forget(sv[0]);
        if (sv[0] >= 0) ::close(sv[0]);
        if (sv[1] >= 0) ::close(sv[1]);
    }
    int write_pkt(std::uint32_t seq, std::size_t size) {
        const Bytes p = chunk(0, 0, seq, 0, pattern(size - 18, static_cast<std::uint8_t>(seq)));
        return sw::stream_write(sv[0], p);
    }
};

TEST_F(WriterTest, StalledPeerLosesWholePacketsOnlyAndGetsTheRestFirst) {
    constexpr std::size_t kSize = 600000;
    // Fill the socket until a write comes back short (or would block).
    std::uint32_t seq = 0;
    int r = 0;
    for (; seq < 100; ++seq) {
        r = write_pkt(seq, kSize);
        if (r != static_cast<int>(kSize)) break;
    }
    ASSERT_LT(seq, 100u) << "the peer never filled up";
    ASSERT_TRUE(r >= 0 || errno == EAGAIN) << r;
    ASSERT_TRUE(sw::stream_has_pending(sv[0]));
    const std::uint32_t cut = seq;

    // While the rest is pending, later packets are dropped whole and counted.
    EXPECT_EQ(write_pkt(cut + 1, kSize), sw::kDropped);
    EXPECT_EQ(write_pkt(cut + 2, 1000), sw::kDropped);
    EXPECT_EQ(sw::stream_dropped_count(sv[0]), 2u);

    // The peer reads again; each loop pass finishes the rest.
    Bytes got;
    ASSERT_TRUE(harness::wait_until(
        [&] {
            Bytes more = drain(sv[1]);
            got.insert(got.end(), more.begin(), more.end());
            sw::stream_flush_pending();
            return !sw::stream_has_pending(sv[0]);
        },
        std::chrono::milliseconds(5000)));
    EXPECT_EQ(write_pkt(cut + 3, 1000), 1000);
    ASSERT_TRUE(harness::wait_until(
        [&] {
            Bytes more = drain(sv[1]);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() == (cut + 1) * kSize + 1000;
        },
        std::chrono::milliseconds(5000)));

    auto pkts = parse_stream(got);
    ASSERT_EQ(pkts.size(), cut + 2);
    for (std::uint32_t i = 0; i <= cut; ++i) {
        EXPECT_EQ(pkts[i].ts, i);
        EXPECT_EQ(pkts[i].payload, pattern(kSize - 18, static_cast<std::uint8_t>(i)));
    }
    EXPECT_EQ(pkts.back().ts, cut + 3);
}

TEST_F(WriterTest, PeerGoneFailsWithoutKeepingAnythingOrEndingTheProcess) {
    ::close(sv[1]);
    sv[1] = -1;
    errno = 0;
    EXPECT_EQ(write_pkt(1, 100), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_FALSE(sw::stream_has_pending(sv[0]));
    EXPECT_EQ(sw::stream_write(0, Bytes(10)), -1) << "descriptor 0 is an absent endpoint";
}

TEST_F(WriterTest, ForgottenSocketNeverGetsTheOldRest) {
    std::uint32_t seq = 0;
    while (seq < 100 && write_pkt(seq, 600000) == 600000) ++seq;
    ASSERT_TRUE(sw::stream_has_pending(sv[0]));
    sw::stream_forget(sv[0]);
    EXPECT_FALSE(sw::stream_has_pending(sv[0]));
    EXPECT_EQ(sw::stream_dropped_count(sv[0]), 0u);
}

TEST_F(WriterTest, SendBufferHoldsSeveralLargestFrames) {
    int wmemMax = 0;
    std::ifstream("/proc/sys/net/core/wmem_max") >> wmemMax;
    ASSERT_EQ(write_pkt(0, 100), 100);
    int have = 0;
    socklen_t len = sizeof have;
    ASSERT_EQ(::getsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &have, &len), 0);
    // Forced when permitted, else capped by the system limit (doubled by
    // the kernel for its bookkeeping).
    EXPECT_GE(have, std::min(sw::kSendBufferBytes, 2 * wmemMax));
}

}  // namespace
}  // namespace call_test
