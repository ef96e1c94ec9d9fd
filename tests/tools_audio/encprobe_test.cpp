// encprobe against the simulated audio encoder: start, bit-rate and close
// commands, the stored stream (SILK framing byte for byte), the replies, and
// the console.
#include <fcntl.h>
#include <unistd.h>

#include "audio_fixture.hpp"
#include "wire/bytes.hpp"

namespace {

using namespace audio_test;

constexpr const char* kEncCmd = "ado_enc_cmd_socket";
constexpr const char* kEncStrm = "ado_enc_server_socket";

std::string silk_framing(const std::string& payload) {
    std::string s(2, '\0');
    wire::store_le16(reinterpret_cast<std::uint8_t*>(s.data()), static_cast<std::uint16_t>(payload.size()));
    return s + payload;
}

wire::CodecCmd start_cmd(std::uint16_t code, std::uint16_t type, std::uint8_t ch, std::uint16_t rate,
                         std::uint32_t sample_rate) {
    wire::CodecCmd c = cmd_of(code, type, ch);
    c.u32VdoEncIFrame = 1;
    c.u16BitRate = rate;
    c.u32VdoEncIMBInsert = sample_rate;
    return c;
}

TEST(Encprobe, SilkRunStoresFramedFileCyclesBitRateAndCloses) {
    HARNESS_REQUIRE_SANDBOX();
    // Fast blocks so that several bit-rate steps happen within the run.
    auto sim = start_sim({"--audio-period-ms", "5"});
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    auto p = harness::Proc::start("encprobe", {"0", "11", "5", "16000", "1"}, {.cwd = dir.path()});
    EXPECT_EQ(p->wait_exit(10s), 0);
    auto& rec = sim->records();

    const auto cmds = rec.commands(kEncCmd);
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(harness::hex(cmds.front().raw.data(), 48),
              harness::hex(wire_bytes(start_cmd(wire::REQ_ADO_ENC, 11, 0, 24000, 16000)).data(), 48));
    // Each step advances the cycle 14000, 16000, 20000, 12000, ...
    const std::uint16_t cycle[] = {12000, 14000, 16000, 20000};
    for (std::size_t i = 1; i + 1 < cmds.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(harness::hex(cmds[i].raw.data(), 48),
                  harness::hex(wire_bytes(start_cmd(wire::REQ_ADO_ENC_CHANGE_BIT_RATE, 11, 0, cycle[i % 4], 16000))
                                   .data(),
                               48));
    }
    EXPECT_EQ(harness::hex(cmds.back().raw.data(), 48),
              harness::hex(wire_bytes(cmd_of(wire::REQ_ADO_CLOSE, 11, 0)).data(), 48));
    // Closed on tick 249 of 20 ms.
    const long long run_ms = (cmds.back().t_us - cmds.front().t_us) / 1000;
    EXPECT_GE(run_ms, 249 * 20 - 100);
    EXPECT_LE(run_ms, 249 * 20 + 800);

    // The file is the magic and the framing of the packets in order, up to
    // the close (packets still in flight then are not read).
    const auto file = harness::read_file(dir / "test0.bin");
    ASSERT_TRUE(file);
    std::string want = "#!SILK_V3";
    std::size_t stored = 0;
    for (const auto& s : rec.sent(kEncStrm)) {
        if (want.size() >= file->size()) break;
        want += silk_framing(payload_string(s));
        ++stored;
    }
    EXPECT_GT(stored, 500u);
    EXPECT_EQ(harness::hex(*file), harness::hex(want));

    EXPECT_EQ(p->count_stdout(" close encoder "), 1u);
    EXPECT_EQ(p->count_stdout("Executing Decoder (./silk_decoder ./test0.bin ./testout-silk-0.pcm -Fs_API 16000)"),
              1u);
    EXPECT_TRUE(p->wait_stdout("pid id [" + std::to_string(p->pid()) + "]", 1s));
    EXPECT_TRUE(p->wait_stderr("handle_console_command b 0 11", 1s));
    EXPECT_TRUE(p->wait_stderr("handle_console_command d 0 11", 1s));
}

TEST(Encprobe, LargePayloadIsStoredInChunksOverAnOldLongerFile) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim({"--no-autostream"});
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    const std::string old(100000, 'Z');
    ASSERT_TRUE(harness::write_file(dir / "test3.bin", old));
    auto p = harness::Proc::start("encprobe", {"3", "11", "0", "16000", "1"}, {.cwd = dir.path()});
    ASSERT_TRUE(sim->records().wait_commands(kEncCmd, 1, 3s));
    ASSERT_TRUE(sim->ok(std::string("packet ") + kEncStrm + " 1 3 0 0 30000"));
    ASSERT_TRUE(sim->ok(std::string("packet ") + kEncStrm + " 1 3 1 0 100"));
    // Bad magic and an empty packet are reported and skipped.
    ASSERT_TRUE(sim->ok(std::string("send ") + kEncStrm + " 112233440100000000000000000000000000"));
    EXPECT_TRUE(p->wait_stderr("packet lost", 3s));
    ASSERT_TRUE(sim->ok(std::string("header ") + kEncStrm + " 1 3 2 0 0"));
    EXPECT_TRUE(p->wait_stderr("size zero", 3s));
    p->signal(SIGTERM);
    p->wait_exit(3s);

    const auto sent = sim->records().sent(kEncStrm);
    ASSERT_EQ(sent.size(), 2u);
    const std::string big = payload_string(sent[0]);
    const std::string small = payload_string(sent[1]);
    const std::string want = "#!SILK_V3" + silk_framing(big.substr(0, 24576)) + silk_framing(big.substr(24576)) +
                             silk_framing(small);
    const auto file = harness::read_file(dir / "test3.bin");
    ASSERT_TRUE(file);
    ASSERT_EQ(file->size(), old.size()) << "not truncated";
    EXPECT_EQ(harness::hex(file->substr(0, want.size())), harness::hex(want));
    EXPECT_EQ(file->substr(want.size()), old.substr(want.size()));
}

TEST(Encprobe, WritingDisabledStoresNothing) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);
    harness::TempDir dir;
    auto p = harness::Proc::start("encprobe", {"1", "9", "1", "16000", "0"}, {.cwd = dir.path()});
    EXPECT_EQ(p->wait_exit(5s), 0);
    EXPECT_FALSE(harness::file_exists(dir / "test1.bin"));
    EXPECT_EQ(p->count_stdout(" close encoder "), 1u);
    EXPECT_EQ(p->count_stdout("Executing Decoder"), 0u);
    const auto cmds = sim->records().commands(kEncCmd);
    ASSERT_EQ(cmds.size(), 2u) << "no bit-rate steps outside SILK";
    EXPECT_EQ(cmds[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
    EXPECT_GT(sim->records().sent(kEncStrm).size(), 20u);
}

TEST(Encprobe, DecoderLinePerStandard) {
    HARNESS_REQUIRE_SANDBOX();
    const std::pair<const char*, const char*> cases[] = {
        {"5", "./g7221_decoder 0 ./test2.bin ./testout-g7221-24kbps-2.pcm 24000 7000"},
        {"9", "./g7221_decoder 0 ./test2.bin ./testout-g7221c-48kbps-2.pcm 48000 14000"},
        {"12", "./g729_decode 1 ./test2.bin ./testout-g729-2.pcm"},
        {"1", nullptr},
    };
    for (const auto& [standard, line] : cases) {
        SCOPED_TRACE(standard);
        auto sim = start_sim();
        ASSERT_TRUE(sim);
        harness::TempDir dir;
        auto p = harness::Proc::start("encprobe", {"2", standard, "1", "8000", "1"}, {.cwd = dir.path()});
        EXPECT_EQ(p->wait_exit(5s), 0);
        EXPECT_EQ(p->count_stdout("Executing Decoder"), line ? 1u : 0u);
        if (line) {
            EXPECT_EQ(p->count_stdout(std::string("Executing Decoder (") + line + ")"), 1u);
        }
        // Not SILK: the payloads are stored as they came.
        const auto file = harness::read_file(dir / "test2.bin");
        ASSERT_TRUE(file);
        EXPECT_EQ(*file, sim->records().tx_bytes(kEncStrm).substr(0, file->size()));
        EXPECT_FALSE(file->empty());
    }
}

TEST(Encprobe, ConsoleCommandsAndRefusal) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim({"--refuse", "ado_enc"});
    ASSERT_TRUE(sim);
    auto p = harness::Proc::start("encprobe", {}, {.stdin_pipe = true});
    p->write_stdin("b 5\n");
    EXPECT_TRUE(p->wait_stderr("err (short)!!", 3s));
    p->write_stdin("d\n");
    EXPECT_TRUE(p->wait_stderr("Err (short)!!", 3s));
    p->write_stdin("b 5 9\n");
    EXPECT_TRUE(p->wait_stderr("ch: 5 fmt: 9", 3s));
    EXPECT_TRUE(p->wait_stdout("[5] enc: 48", 3s));
    EXPECT_TRUE(p->wait_stderr("no ack", 3s));
    // One read is one command: wait for each before typing the next.
    p->write_stdin("c 5 11\n");
    ASSERT_TRUE(sim->records().wait_commands(kEncCmd, 2, 3s));
    p->write_stdin("h\n");
    EXPECT_TRUE(p->wait_stderr("start audio encode", 3s));
    p->write_stdin("d 5 9\n");
    EXPECT_EQ(p->wait_exit(3s), 0);
    EXPECT_TRUE(p->wait_stderr("Ch: 5 fmt: 9", 1s));
    EXPECT_EQ(p->count_stdout(" close encoder "), 1u);

    const auto cmds = sim->records().commands(kEncCmd);
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(harness::hex(cmds[0].raw.data(), 48),
              harness::hex(wire_bytes(start_cmd(wire::REQ_ADO_ENC, 9, 5, 24000, 0)).data(), 48));
    // First step of the cycle from channel 5: (5 + 1) mod 4 = 2.
    EXPECT_EQ(harness::hex(cmds[1].raw.data(), 48),
              harness::hex(wire_bytes(start_cmd(wire::REQ_ADO_ENC_CHANGE_BIT_RATE, 11, 5, 16000, 0)).data(), 48));
    EXPECT_EQ(cmds[2].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
}

TEST(Encprobe, ArgumentsOutputFileAndMissingServer) {
    HARNESS_REQUIRE_SANDBOX();
    auto few = harness::Proc::start("encprobe", {"0", "11", "5", "16000"});
    EXPECT_EQ(few->wait_exit(3s), 0);
    EXPECT_EQ(few->stderr_text(), "ARGS: (stream id) (standard) (run_sec )(int_sample_rate)(wirte file enable )\n");

    harness::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "test7.bin").c_str(), 0755), 0);
    auto blocked = harness::Proc::start("encprobe", {"7", "11", "1", "16000", "1"}, {.cwd = dir.path()});
    EXPECT_EQ(blocked->wait_exit(3s), 1);
    EXPECT_EQ(blocked->stderr_text(), "open output fail\n");

    auto absent = harness::Proc::start("encprobe", {"7", "11", "1", "16000", "0"});
    EXPECT_EQ(absent->wait_exit(3s), 1);
    EXPECT_TRUE(absent->wait_stderr("main  open enc stream socket", 1s));
    EXPECT_TRUE(absent->wait_stderr("main err", 1s));
}

}  // namespace
