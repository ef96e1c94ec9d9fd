// decprobe against the simulated audio decoder: the open and close commands,
// the packets with their sequence numbers and sizes, the pacing per standard
// and pattern, and the ways a run ends.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "audio_fixture.hpp"

namespace {

using namespace audio_test;

constexpr const char* kDecCmd = "ado_dec_cmd_socket";
constexpr const char* kDecStrm = "ado_dec_server_socket";

std::string write_input(const harness::TempDir& dir, const std::string& name, std::size_t n) {
    const std::string path = dir / name;
    EXPECT_TRUE(harness::write_file(path, pattern_bytes(n)));
    return path;
}

long long span_ms(const std::vector<boxsim::ChunkEvent>& chunks) {
    return (chunks.back().t_us - chunks.front().t_us) / 1000;
}

TEST(Decprobe, G711FileStreamedWithWrappingSequenceThenClosed) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto sim = start_sim({"--grant-channel", "7"});
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    // 40 whole frames and a partial one of 50 bytes.
    const std::string input = write_input(dir, "tone.raw", 40 * 160 + 50);

    auto p = harness::Proc::start("decprobe", {"3", "1", "0", "10", "20000", input});
    EXPECT_EQ(p->wait_exit(10s), 0);
    auto& rec = sim->records();

    const auto cmds = rec.commands(kDecCmd);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(harness::hex(cmds[0].raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_DEC, 1, 3)).data(), 48));
    EXPECT_EQ(harness::hex(cmds[1].raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_CLOSE, 1, 3)).data(), 48));

    const auto chunks = rec.chunks(kDecStrm);
    ASSERT_EQ(chunks.size(), 41u);
    std::string received;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto& c = chunks[i];
        EXPECT_EQ(c.hdr.u8StreamType, 1);
        EXPECT_EQ(c.hdr.u8StreamCh, 7) << "the granted channel, not the requested one";
        EXPECT_EQ(c.hdr.u32TimeStamp, (65501 + i) & 0xFFFF) << "packet " << i;
        EXPECT_EQ(c.hdr.u32Gob, 0u);
        EXPECT_EQ(c.hdr.u32PacketSize, i < 40 ? 160u : 50u);
        received += payload_string(c);
    }
    EXPECT_EQ(chunks[34].hdr.u32TimeStamp, 65535u);
    EXPECT_EQ(chunks[35].hdr.u32TimeStamp, 0u);
    EXPECT_EQ(received, *harness::read_file(input));
    // One packet per 20 ms tick: 40 intervals (a late first tick may cut
    // one short).
    EXPECT_GE(span_ms(chunks), 39 * 20);
    EXPECT_LE(span_ms(chunks), 40 * 20 + 400);

    const std::vector<std::string> want = {
        "-------------------------------------",
        "function name=main, build date=",
        "-------------------------------------",
        "(3) 20000 0",
        "decprobe: Active Decode Channel 3 ",
        "*** file open ***",
        "*** end of file ***",
        "*** file close ***",
        "decprobe: Close Decode Channel 3 ",
        "*** close decoder ***",
        "*** VERSION : 13.04.23.000 close data socket ***",
        "*** VERSION : 13.04.23.000 close cmd socket ***",
    };
    // The build date is the program's, not the test's: only its label is fixed.
    auto lines = p->stdout_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind(want[1], 0), 0u) << lines[1];
    lines[1] = want[1];
    EXPECT_EQ(lines, want);
    auto cmd_line = log.wait_for("CMD: start decode G711 8K 20M", 1s);
    ASSERT_TRUE(cmd_line);
    EXPECT_EQ(cmd_line->severity(), LOG_INFO);
    auto eof_line = log.wait_for("*** Error No data (7) ***", 1s);
    ASSERT_TRUE(eof_line);
    EXPECT_EQ(eof_line->severity(), LOG_DEBUG);
}

struct PlanCase {
    const char* standard;
    const char* pattern;
    std::size_t frame_len;
    long long interval_ms;
    const char* open_line;
};

TEST(Decprobe, FrameLengthAndIntervalPerStandardAndPattern) {
    HARNESS_REQUIRE_SANDBOX();
    const PlanCase cases[] = {
        {"1", "1", 240, 25, "*** file open ***"},  // speed * 5 / 4
        {"1", "2", 320, 40, " file open "},
        {"2", "3", 400, 50, "*** file open ***"},  // speed * 5 / 2
        {"2", "4", 480, 60, "*** file open ***"},
        {"5", "12", 600, 200, "*** file open ***"},  // pattern above 8 counts as 9
        {"8", "0", 80, 20, "*** file open ***"},
        {"9", "2", 360, 60, "*** file open ***"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("standard ") + c.standard + " pattern " + c.pattern);
        auto sim = start_sim();
        ASSERT_TRUE(sim);
        harness::TempDir dir;
        const std::string input = write_input(dir, "in.bin", 3 * c.frame_len);
        auto p = harness::Proc::start("decprobe", {"1", c.standard, c.pattern, "0", "20000", input});
        EXPECT_EQ(p->wait_exit(10s), 0);
        EXPECT_EQ(p->count_stdout(c.open_line), 1u);
        const auto chunks = sim->records().chunks(kDecStrm);
        ASSERT_EQ(chunks.size(), 3u);
        for (const auto& ch : chunks) EXPECT_EQ(ch.hdr.u32PacketSize, c.frame_len);
        EXPECT_GE(span_ms(chunks), 2 * c.interval_ms - 20);
        EXPECT_LE(span_ms(chunks), 2 * c.interval_ms + 200);
    }
}

TEST(Decprobe, LinearPcmReadsItsOwnFile) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "audio").c_str(), 0755), 0);
    const std::string pcm = write_input(dir, "audio/out_48k.pcm", 2 * 1920 + 100);
    auto p = harness::Proc::start("decprobe", {"6", "10", "0", "0", "20000", "/nonexistent"}, {.cwd = dir.path()});
    EXPECT_EQ(p->wait_exit(10s), 0);
    const auto chunks = sim->records().chunks(kDecStrm);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].hdr.u32PacketSize, 1920u);
    EXPECT_EQ(chunks[2].hdr.u32PacketSize, 100u);
    EXPECT_EQ(sim->records().rx_bytes(kDecStrm), *harness::read_file(pcm));
}

// A file past 2 GiB (sparse here) opens and streams on a 32-bit box as well.
TEST(Decprobe, FileLargerThanTwoGibibytesIsStreamed) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    const std::string input = write_input(dir, "huge.raw", 20 * 160);
    // truncate64: made the same way whatever the offset width of this test.
    ASSERT_EQ(::truncate64(input.c_str(), 3LL << 30), 0) << std::strerror(errno);
    auto p = harness::Proc::start("decprobe", {"4", "2", "0", "1", "20000", input});
    EXPECT_EQ(p->wait_exit(5s), 0);
    EXPECT_TRUE(p->wait_stdout("*** file open ***", 0ms)) << p->stdout_text();
    const std::string head = pattern_bytes(20 * 160);
    const std::string rx = sim->records().rx_bytes(kDecStrm);
    ASSERT_GE(rx.size(), head.size());
    EXPECT_EQ(rx.substr(0, head.size()), head);
}

TEST(Decprobe, StandardWithoutPlanEndsAtAcceptance) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto p = harness::Proc::start("decprobe", {"2", "3", "0", "5", "20000", "/nonexistent"});
    EXPECT_EQ(p->wait_exit(5s), 0);
    auto e = log.wait_for("Error argu.", 1s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->severity(), LOG_ERR);
    const auto cmds = sim->records().commands(kDecCmd);
    ASSERT_EQ(cmds.size(), 1u) << "the channel is not closed";
    EXPECT_EQ(cmds[0].cmd.u16Type, 3);
    EXPECT_EQ(p->count_stdout("close data socket"), 0u);
}

TEST(Decprobe, RunTimeClosesTheChannel) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    const std::string input = write_input(dir, "long.raw", 500 * 160);
    auto p = harness::Proc::start("decprobe", {"4", "2", "0", "1", "20000", input});
    EXPECT_EQ(p->wait_exit(5s), 0);
    const auto cmds = sim->records().commands(kDecCmd);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
    EXPECT_EQ(cmds[1].cmd.u8ChanIdx, 4);
    // Tick 0 opens, tick 49 closes: about one second.
    const long long run_ms = (cmds[1].t_us - cmds[0].t_us) / 1000;
    EXPECT_GE(run_ms, 49 * 20 - 100);
    EXPECT_LE(run_ms, 49 * 20 + 500);
    const auto n = sim->records().chunks(kDecStrm).size();
    EXPECT_GE(n, 40u);
    EXPECT_LE(n, 50u);
}

TEST(Decprobe, SigtermClosesAndSecondSigtermKills) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    const std::string input = write_input(dir, "in.raw", 100 * 160);

    // A refused open leaves the client idle; SIGTERM closes and the reply ends it.
    ASSERT_TRUE(sim->ok("refuse ado_dec on"));
    auto p = harness::Proc::start("decprobe", {"5", "1", "0", "0", "20000", input});
    ASSERT_TRUE(sim->records().wait_commands(kDecCmd, 1, 3s));
    EXPECT_FALSE(p->wait_exit(300ms));
    EXPECT_TRUE(sim->records().chunks(kDecStrm).empty());
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait_exit(3s), 0);
    EXPECT_EQ(p->count_stdout("*** VERSION : 13.04.23.000 , terminate get killed***"), 1u);
    EXPECT_EQ(p->count_stdout("*** close decoder ***"), 1u);
    auto cmds = sim->records().commands(kDecCmd);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);

    // Without a close reply the first SIGTERM leaves it waiting; the second
    // ends it with the default action.
    ASSERT_TRUE(sim->ok("refuse ado_dec off"));
    ASSERT_TRUE(sim->ok("replies off"));
    auto q = harness::Proc::start("decprobe", {"5", "1", "0", "0", "20000", input});
    ASSERT_TRUE(sim->records().wait_commands(kDecCmd, 3, 3s));
    q->signal(SIGTERM);
    ASSERT_TRUE(sim->records().wait_commands(kDecCmd, 4, 3s));
    EXPECT_FALSE(q->wait_exit(300ms));
    q->signal(SIGTERM);
    EXPECT_EQ(q->wait_exit(3s), 128 + SIGTERM);
}

TEST(Decprobe, ConsoleCommands) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    auto p = harness::Proc::start("decprobe", {}, {.stdin_pipe = true});
    p->write_stdin("b 4 1\n");
    auto short_b = log.wait_for("err (short)!!", 3s);
    ASSERT_TRUE(short_b);
    EXPECT_EQ(short_b->severity(), LOG_WARNING);

    // Console mode has no input path: the open is accepted, the file is
    // missing, and the automatic close has no numbers to send.
    p->write_stdin("b 4 1 0\n");
    EXPECT_TRUE(p->wait_stdout("*** file open error ***", 3s));
    EXPECT_TRUE(log.wait_for("Err (short)!!", 2s));
    EXPECT_EQ(sim->records().commands(kDecCmd).size(), 1u);

    p->write_stdin("h\n");
    EXPECT_TRUE(p->wait_stderr("start audio decode", 3s));
    p->write_stdin("d 4 1\n");
    EXPECT_EQ(p->wait_exit(3s), 0);
    const auto cmds = sim->records().commands(kDecCmd);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(harness::hex(cmds[1].raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_CLOSE, 1, 4)).data(), 48));
}

TEST(Decprobe, ServerClosingEndsTheRun) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    const std::string input = write_input(dir, "in.raw", 500 * 160);
    auto p = harness::Proc::start("decprobe", {"1", "1", "0", "0", "20000", input});
    ASSERT_TRUE(sim->records().wait_chunks(kDecStrm, 3, 3s));
    ASSERT_TRUE(sim->ok(std::string("drop ") + kDecStrm));
    EXPECT_EQ(p->wait_exit(3s), 0);
}

TEST(Decprobe, ArgumentsAndMissingServer) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    auto few = harness::Proc::start("decprobe", {"1", "2", "3"});
    EXPECT_EQ(few->wait_exit(3s), 0);
    auto args = log.wait_for("ARGS: (stream id) (standard) (test pattern) (run_sec) (send_packet_speed) (packetlose)", 1s);
    ASSERT_TRUE(args);
    EXPECT_EQ(args->severity(), LOG_INFO);

    auto absent = harness::Proc::start("decprobe", {"1", "1", "0", "1", "20000", "x"});
    EXPECT_EQ(absent->wait_exit(3s), 1);
    auto err = log.wait_for("***main DatSock err***", 1s);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->severity(), LOG_ERR);
}

}  // namespace
