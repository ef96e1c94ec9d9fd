// avhub under faults during a call: a codec server that dies, a flood of
// control FIFO writes with garbage in it, and "record.bin" on a full file
// system. Each time avhub must neither crash nor stop serving its FIFO, and
// "close" must still end it with status 0.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "call_fixture.hpp"

namespace call_it {
namespace {

const std::vector<std::string> kCifCall{"52", "352", "288", "30", "2048", "1", "0", "0", "0"};

// Bytes waiting in avhub's control FIFO (FIONREAD works on either end).
int fifo_backlog() {
    int fd = ::open("/dev/avhub", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int n = -1;
    if (::ioctl(fd, FIONREAD, &n) != 0) n = -1;
    ::close(fd);
    return n;
}

// The codec servers vanish mid-call (SIGKILL, nothing closed in order):
// avhub keeps reading its FIFO, survives writes into the dead sockets and
// ends on "close" with status 0.
TEST_F(CallTest, CodecServersKilledMidCall) {
    start(kCifCall, /*autostream=*/true);
    start_call();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 10, 10000ms)) << "the call never relayed";

    sim->proc().kill_now();
    ASSERT_FALSE(sim->proc().running());

    // Every command below writes to a dead command socket or reads a dead
    // bitstream socket; "start" also blocks for a second.
    for (const char* cmd : {"ping", "stop", "start", "vdo_bit 512", "stop", "ping"}) fifo(cmd);
    EXPECT_TRUE(hub->running());
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5000ms), 0);
    EXPECT_FALSE(harness::file_exists("/dev/avhub"));
    sim.reset();
}

// Only the video decoder server goes away: the relay goes on writing into
// its dead sockets, and the audio of the call still reaches the audio
// decoder.
TEST_F(CallTest, VideoDecoderGoneMidCallAudioGoesOn) {
    start(kCifCall, /*autostream=*/true);
    start_call();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 10, 10000ms));
    ctl("down T_DecStrm");
    ctl("down T_DecCmd");
    ctl("drop T_DecStrm");
    ctl("drop T_DecCmd");
    const std::size_t audio = sim->records().chunks("ado_dec_server_socket").size();
    EXPECT_TRUE(sim->records().wait_chunks("ado_dec_server_socket", audio + 50, 10000ms));
    fifo("stop");
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5000ms), 0);
}

// Ten thousand writes as fast as the FIFO takes them, while a call streams:
// settings, garbage with zero bytes and newlines, and lines far longer than
// one read. The relay keeps going, and afterwards a new call starts as
// usual.
TEST_F(CallTest, FifoFloodOfCommandsGarbageAndLongLines) {
    start(kCifCall, /*autostream=*/true);
    start_call();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 5, 10000ms));
    int fd = ::open("/dev/avhub", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    // Garbage never holds a letter that starts a command with lasting
    // effects (start, play, dtmf, close, finish, get_wan_ip, vcb_...), so a
    // read that begins anywhere inside it runs nothing but an echo.
    std::mt19937 rng(7);
    auto garbage_byte = [&] {
        for (;;) {
            const char c = static_cast<char>(rng() & 0xFF);
            if (std::strchr("scdpgvf", c) == nullptr || c == '\0') return c;
        }
    };
    const std::vector<std::string> settings{"vdo_bit 777", "vdo_fr 99",   "width 99999", "height -5",
                                            "audio 0",     "video 12",    "time 3",      "vdo_bit 1000",
                                            "vdo_fr 15",   "sto",         "vdo_bit 0",   "vdo_bit 99999999999"};
    std::size_t sent_bytes = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string msg;
        switch (i % 5) {
            case 0:
            case 1: msg = settings[rng() % settings.size()]; break;
            case 2:
            case 3: msg.resize(1 + rng() % 200); for (char& c : msg) c = garbage_byte(); break;
            default: msg = std::string(300 + rng() % 9000, 'x') + "\n"; break;
        }
        std::size_t done = 0;
        while (done < msg.size()) {
            const ssize_t n = ::write(fd, msg.data() + done, msg.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<std::size_t>(n);
        }
        sent_bytes += msg.size();
    }
    ::close(fd);
    ASSERT_TRUE(harness::wait_until([] { return fifo_backlog() == 0; }, 60000ms, 20ms))
        << "avhub stopped reading its FIFO with " << fifo_backlog() << " bytes waiting";
    ASSERT_TRUE(hub->running());

    // Still at work: the call's frames still come through, and after a stop
    // a new call starts and sends its open requests.
    const std::size_t frames = sim->records().chunks("T_DecStrm").size();
    EXPECT_TRUE(sim->records().wait_chunks("T_DecStrm", frames + 10, 5000ms));
    fifo("stop");
    const std::size_t enc = sim->records().commands("T_EncCmd").size();
    start_call();
    EXPECT_TRUE(sim->records().wait_commands("T_EncCmd", enc + 1, 5000ms));
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5000ms), 0) << sent_bytes << " bytes written";
}

// "record.bin" in a working directory that fills up mid-call: the call goes
// on relaying, the file holds an unbroken first part of the encoder's video,
// and "close" ends avhub with status 0.
TEST_F(CallTest, RecordFileOnFullFileSystem) {
    harness::TempDir small;
    if (::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{small.path()};

    boxsim::Options o;
    sim = boxsim::Boxsim::start(o);
    ASSERT_TRUE(sim);
    hub = harness::Proc::start("avhub", {"52", "352", "288", "30", "2048", "1", "0", "1", "0"}, {.cwd = small.path()});
    ASSERT_TRUE(hub->wait_stdout("==================waiting", 15000ms));
    const std::string rec = small / "record.bin";
    ASSERT_TRUE(harness::file_exists(rec));

    start_call();
    auto fs_full = [&] {
        struct statvfs st {};
        return ::statvfs(small.path().c_str(), &st) == 0 && st.f_bavail == 0;
    };
    ASSERT_TRUE(harness::wait_until(fs_full, 20000ms, 20ms)) << "record.bin never filled the file system";
    // The relay goes on after the disk is full.
    const std::size_t at_full = sim->records().chunks("T_DecStrm").size();
    EXPECT_TRUE(sim->records().wait_chunks("T_DecStrm", at_full + 30, 10000ms));
    EXPECT_TRUE(hub->running());

    fifo("stop");
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5000ms), 0);
    const std::string got = harness::read_file(rec).value_or("");
    const std::string tx = sim->records().tx_bytes("T_EncStrm");
    EXPECT_GT(got.size(), 100000u);
    ASSERT_LE(got.size(), tx.size());
    EXPECT_TRUE(got == tx.substr(0, got.size())) << "record.bin is not an unbroken first part of the video";
}

}  // namespace
}  // namespace call_it
