// ctlprobe against the simulated audio control server: the write command's
// bytes, the reply that ends it, and the ways it waits or gives up.
#include "audio_fixture.hpp"

namespace {

using namespace audio_test;

struct WriteCase {
    const char* address;
    const char* value;
    std::uint8_t wire_address;
    std::uint32_t wire_value;
};

TEST(Ctlprobe, WriteCommandBytesAndReplyEndsRun) {
    HARNESS_REQUIRE_SANDBOX();
    const WriteCase cases[] = {
        {"3", "10", 3, 10},
        {"300", "7", 44, 7},                  // address cut to 8 bits
        {"5", "-2", 5, 0xFFFFFFFEu},          // value as 32-bit two's complement
        {"0", "4294967295", 0, 0xFFFFFFFFu},  // same value written unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " " + c.value);
        auto sim = start_sim();
        ASSERT_TRUE(sim);
        auto p = harness::Proc::start("ctlprobe", {"w", c.address, c.value});
        EXPECT_EQ(p->wait_exit(5s), 0);
        const auto out = p->stdout_lines();
        ASSERT_EQ(out.size(), 3u) << p->stdout_text();
        EXPECT_EQ(out[0], "set command ");
        EXPECT_EQ(out[1], std::string("CtrlClientCmd: address:") + std::to_string(std::atoi(c.address)) +
                              " value:" + std::to_string(static_cast<std::int32_t>(c.wire_value)) + " ");
        EXPECT_EQ(out[2], " close decoder ");

        ASSERT_TRUE(sim->records().wait_commands("ado_ctrl_cmd_socket", 1, 2s));
        const auto cmds = sim->records().commands("ado_ctrl_cmd_socket");
        ASSERT_EQ(cmds.size(), 1u);
        wire::CodecCmd want = cmd_of(wire::REQ_ADO_CTRL_WRITE, 0, c.wire_address);
        want.u32VdoEncComplexity = c.wire_value;
        EXPECT_EQ(harness::hex(cmds[0].raw.data(), 48), harness::hex(wire_bytes(want).data(), 48));
    }
}

TEST(Ctlprobe, OtherLetterWaitsForConsoleOrServer) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = start_sim();
    ASSERT_TRUE(sim);

    // Nothing is sent; h prints the usage, q ends the run.
    auto p = harness::Proc::start("ctlprobe", {"x", "1", "2"}, {.stdin_pipe = true});
    p->write_stdin("h\n");
    EXPECT_TRUE(p->wait_stderr("(stream id) (standard) (test pattern)", 3s));
    EXPECT_FALSE(p->wait_exit(300ms));
    p->write_stdin("q\n");
    EXPECT_EQ(p->wait_exit(3s), 0);

    // A typed w uses the numbers of the command line, not those typed.
    auto typed = harness::Proc::start("ctlprobe", {"x", "9", "8"}, {.stdin_pipe = true});
    typed->write_stdin("w 1 1\n");
    EXPECT_TRUE(typed->wait_stdout("CtrlClientCmd: address:9 value:8 ", 3s));
    EXPECT_EQ(typed->wait_exit(3s), 0);

    // The server closing its end ends a waiting client.
    ASSERT_TRUE(sim->ok("replies off"));
    auto waiting = harness::Proc::start("ctlprobe", {"w", "1", "2"});
    ASSERT_TRUE(sim->records().wait_commands("ado_ctrl_cmd_socket", 2, 3s));
    EXPECT_FALSE(waiting->wait_exit(200ms));
    ASSERT_TRUE(sim->ok("drop ado_ctrl_cmd_socket"));
    EXPECT_EQ(waiting->wait_exit(3s), 0);
    EXPECT_EQ(sim->records().commands("ado_ctrl_cmd_socket").size(), 2u);
}

TEST(Ctlprobe, ArgumentsAndMissingServer) {
    HARNESS_REQUIRE_SANDBOX();
    auto few = harness::Proc::start("ctlprobe", {"w", "1"});
    EXPECT_EQ(few->wait_exit(3s), 0);
    EXPECT_EQ(few->stderr_text(), "ARGS: (command) (address) (value)\n");

    auto absent = harness::Proc::start("ctlprobe", {"w", "1", "2"});
    EXPECT_EQ(absent->wait_exit(3s), 1);
    EXPECT_TRUE(absent->wait_stderr("main err", 1s));
}

}  // namespace
