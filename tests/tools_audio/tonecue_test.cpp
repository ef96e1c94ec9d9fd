// tonecue against the simulated audio decoder: start-up requests, FIFO
// commands, blocks and their pacing, the loop pause, and how it stops.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "audio_fixture.hpp"

namespace {

using namespace audio_test;

constexpr const char* kDecCmd = "ado_dec_cmd_socket";
constexpr const char* kDecStrm = "ado_dec_server_socket";

void fifo_write(const std::string& text) {
    const int fd = ::open("/dev/tonecue_in", O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

std::unique_ptr<harness::Proc> start_ready() {
    auto p = harness::Proc::start("tonecue");
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: req ui ch ready (11)", 5s));
    return p;
}

// Chunk count stays at n for the given time.
bool stays_at(boxsim::Records& rec, std::size_t n, harness::Ms ms) {
    return !rec.wait([n](const boxsim::Records& r) { return r.chunks(kDecStrm).size() != n; }, ms);
}

TEST(Tonecue, StartupPlayOnceAndSigterm) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto p = start_ready();
    auto& rec = sim->records();
    ASSERT_TRUE(rec.wait_commands(kDecCmd, 2, 2s));
    auto cmds = rec.commands(kDecCmd);
    EXPECT_EQ(harness::hex(cmds[0].raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_CLOSE, 9, 11)).data(), 48));
    EXPECT_EQ(harness::hex(cmds[1].raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_DEC, 9, 11)).data(), 48));
    const auto err = p->stderr_lines();
    ASSERT_GE(err.size(), 3u);
    EXPECT_EQ(err[0], "[TONECUE]: -------------------------------------");
    EXPECT_EQ(err[1], "[TONECUE]: ver=ZQV.13.11.18.001 pid=" + std::to_string(p->pid()));
    EXPECT_EQ(p->count_stdout(""), 0u);

    // Five whole blocks and a 50-byte tail that is never sent.
    harness::TempDir dir;
    const std::string data = pattern_bytes(5 * 120 + 50, 3);
    ASSERT_TRUE(harness::write_file(dir / "prompt.bin", data));
    fifo_write("p 0 " + dir / "prompt.bin");
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: play " + dir / "prompt.bin" + " 0, CosecSt 3", 2s));
    ASSERT_TRUE(rec.wait_chunks(kDecStrm, 5, 3s));
    EXPECT_TRUE(stays_at(rec, 5, 300ms));
    const auto chunks = rec.chunks(kDecStrm);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].hdr.u8StreamType, 1);
        EXPECT_EQ(chunks[i].hdr.u8StreamCh, 11);
        EXPECT_EQ(chunks[i].hdr.u32TimeStamp, i + 1);
        EXPECT_EQ(chunks[i].hdr.u32PacketSize, 120u);
        EXPECT_EQ(chunks[i].hdr.u32Gob, 0u);
    }
    EXPECT_EQ(rec.rx_bytes(kDecStrm), data.substr(0, 600));
    const long long span = (chunks[4].t_us - chunks[0].t_us) / 1000;
    // One late first tick may shorten the span by up to a tick.
    EXPECT_GE(span, 4 * 198 / 10 - 20);
    EXPECT_LE(span, 4 * 20 + 300);

    // Nothing is ever written to the output FIFO.
    const int out = ::open("/dev/tonecue_out", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(out, 0);
    int pending = -1;
    EXPECT_EQ(ioctl(out, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);
    ::close(out);

    p->signal(SIGTERM);
    EXPECT_EQ(p->wait_exit(3s), 0);
    EXPECT_TRUE(p->wait_stderr(" cls dec ch 11", 1s));
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: terminate ", 1s));
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: close (pid=" + std::to_string(p->pid()) + ")", 1s));
    ASSERT_TRUE(rec.wait_commands(kDecCmd, 3, 2s));
    EXPECT_EQ(rec.commands(kDecCmd)[2].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
}

TEST(Tonecue, LoopRestartsAfterPauseAndStopEndsSending) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto p = start_ready();
    auto& rec = sim->records();
    harness::TempDir dir;
    const std::string looped = pattern_bytes(3 * 120, 5);
    ASSERT_TRUE(harness::write_file(dir / "loop.bin", looped));
    fifo_write("p 1 " + dir / "loop.bin");
    ASSERT_TRUE(rec.wait_chunks(kDecStrm, 6, 5s));
    auto chunks = rec.chunks(kDecStrm);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(chunks[i].hdr.u32TimeStamp, i + 1) << "no reset on restart";
    EXPECT_EQ(rec.rx_bytes(kDecStrm).substr(0, 720), looped + looped);
    // 103 silent ticks of 19.8 ms between the last block and the first again.
    const long long gap = (chunks[3].t_us - chunks[2].t_us) / 1000;
    EXPECT_GE(gap, 104 * 198 / 10 - 100);
    EXPECT_LE(gap, 104 * 198 / 10 + 500);

    // A new play replaces the looped file; k stops it at the next tick.
    ASSERT_TRUE(harness::write_file(dir / "long.bin", pattern_bytes(200 * 120)));
    fifo_write("p 0 " + dir / "long.bin");
    ASSERT_TRUE(rec.wait_chunks(kDecStrm, chunks.size() + 5, 3s));
    const std::size_t before_stop = rec.chunks(kDecStrm).size();
    fifo_write("k");
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: clode_ado_file", 2s));
    // The file still had seconds to play: the count must settle at once,
    // with at most the blocks already on their way.
    std::size_t settled = 0;
    EXPECT_TRUE(harness::wait_until(
        [&] {
            settled = rec.chunks(kDecStrm).size();
            return stays_at(rec, settled, 300ms);
        },
        2s));
    EXPECT_LE(settled, before_stop + 3);
}

TEST(Tonecue, RefusedOpenStillStreams) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim({"--refuse", "ado_dec"});
    ASSERT_TRUE(sim);
    auto p = harness::Proc::start("tonecue");
    ASSERT_TRUE(p->wait_stderr("[TONECUE]: req ui ch fail  (11)", 5s));
    harness::TempDir dir;
    ASSERT_TRUE(harness::write_file(dir / "a.bin", pattern_bytes(2 * 120)));
    fifo_write("p 0 " + dir / "a.bin");
    EXPECT_TRUE(sim->records().wait_chunks(kDecStrm, 2, 3s));
}

TEST(Tonecue, FifoCommandErrors) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto p = start_ready();

    fifo_write("p 1");
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: err (short)!!", 2s));
    fifo_write("x");
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: fifo_cmd ", 2s));
    EXPECT_NE(p->stderr_text().find(" unknow cmd"), std::string::npos);
    fifo_write("p 0 /nonexistent/prompt.bin");
    EXPECT_TRUE(p->wait_stderr("No such file or directory", 2s));

    // A command filling the whole read is refused, its tail included.
    fifo_write(std::string("p 0 /") + std::string(252, 'a'));
    auto apo = log.wait_for("Apo: fifo_read_cb", 2s);
    ASSERT_TRUE(apo);
    EXPECT_EQ(apo->severity(), LOG_ERR);
    fifo_write("x");
    EXPECT_TRUE(p->wait_stderr("unknow cmd", 2s));
    EXPECT_EQ(p->stderr_text().find("play /aaaa"), std::string::npos);
    EXPECT_TRUE(sim->records().chunks(kDecStrm).empty());
}

TEST(Tonecue, WaitsForServerAndEndsWhenItCloses) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto p = harness::Proc::start("tonecue");
    // Two failed connects: it is retrying.
    EXPECT_TRUE(log.wait_for("open_socket", 3s));
    EXPECT_TRUE(log.wait_for("open_socket", 3s));
    EXPECT_TRUE(p->running());
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: \33[0;32;31mopen CmdSock success\33[m", 5s));
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: req ui ch ready (11)", 5s));
    ASSERT_TRUE(sim->ok(std::string("drop ") + kDecCmd));
    EXPECT_EQ(p->wait_exit(3s), 0);
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: cmd_read_cb ", 1s));
}

}  // namespace

namespace {

TEST(Tonecue, UnusableFifoEndsWithStatusOne) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = audio_test::start_sim();
    ASSERT_TRUE(sim);
    ::unlink("/dev/tonecue_in");
    ASSERT_EQ(::mkdir("/dev/tonecue_in", 0755), 0);
    auto p = harness::Proc::start("tonecue");
    EXPECT_EQ(p->wait_exit(5s), 1);
    EXPECT_TRUE(p->wait_stderr("[TONECUE]: main ", 1s));
    EXPECT_NE(p->stderr_text().find("Is a directory"), std::string::npos);
    ::rmdir("/dev/tonecue_in");
}

}  // namespace
