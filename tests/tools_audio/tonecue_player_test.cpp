// The prompt player's streaming step tick by tick, over a socketpair: the
// 16-bit time stamp wrap and the loop pause, which take too long to wait
// for against the simulator.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "harness/util.hpp"
#include "libsocket/packet.h"
#include "player.hpp"

namespace {

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv_), 0);
        p_.dat_fd = sv_[0];
        p_.param.s32ChanIdx = tonecue::kPromptChannel;
        p_.param.s32Type = tonecue::kPromptType;
        p_.param.s32BlkSz = tonecue::AdoBlkSz[tonecue::kPromptType];
    }
    void TearDown() override {
        tonecue::close_ado_file(p_);
        ::close(sv_[0]);
        ::close(sv_[1]);
    }

    void play(const std::string& name, std::size_t blocks, int loop) {
        const std::string path = dir_ / name;
        ASSERT_TRUE(harness::write_file(path, std::string(blocks * 120, static_cast<char>('A' + blocks))));
        const std::string cmd = "p " + std::to_string(loop) + " " + path;
        tonecue::fifo_cmd(p_, cmd.c_str(), cmd.size());
        ASSERT_NE(p_.param.pFile, nullptr);
    }

    // Runs one tick; the time stamp of the block it sent, if any.
    std::optional<std::uint32_t> tick() {
        tonecue::packet_arrive_ado(p_);
        std::array<std::uint8_t, 18 + 120> buf{};
        const ssize_t n = ::read(sv_[1], buf.data(), buf.size());
        if (n <= 0) return std::nullopt;
        EXPECT_EQ(n, static_cast<ssize_t>(buf.size()));
        wire::PacketHeader hdr;
        unpack_packet_header(std::span<const std::uint8_t, 18>(buf.data(), 18), hdr);
        EXPECT_EQ(hdr.u32PacketSize, 120u);
        EXPECT_EQ(hdr.u8StreamCh, 11);
        return hdr.u32TimeStamp;
    }

    int sv_[2] = {-1, -1};
    tonecue::Player p_;
    harness::TempDir dir_;
};

TEST_F(PlayerTest, TimeStampWrapsFrom65535ToZero) {
    play("a.bin", 3, 0);
    p_.ts = 65534;
    EXPECT_EQ(tick(), 65535u);
    EXPECT_EQ(tick(), 0u);
    EXPECT_EQ(tick(), 1u);
    EXPECT_EQ(tick(), std::nullopt);
}

TEST_F(PlayerTest, LoopedFileRestartsAfter103SilentTicks) {
    play("one.bin", 1, 1);
    ASSERT_EQ(tick(), 1u);
    int silent = 0;
    while (!tick()) ASSERT_LT(++silent, 1000);
    EXPECT_EQ(silent, 103);
}

TEST_F(PlayerTest, NewFileDuringCountdownKeepsTheRemainingPause) {
    play("one.bin", 1, 1);
    ASSERT_EQ(tick(), 1u);
    for (int i = 0; i < 51; ++i) ASSERT_FALSE(tick());  // end found, 50 counted down
    play("two.bin", 2, 1);
    EXPECT_EQ(tick(), 2u);
    EXPECT_EQ(tick(), 3u);
    // The end of the new file continues the countdown from 51 left.
    int silent = 0;
    while (!tick()) ASSERT_LT(++silent, 1000);
    EXPECT_EQ(silent, 52);
}

}  // namespace
