// The command bytes a test call puts on each codec command socket, for
// representative settings, and the test deadline.
#include "call_fixture.hpp"

namespace call_it {
namespace {

TEST_F(CallTest, CifCallOpensAndClosesInOrder) {
    start({"52", "352", "288", "30", "512", "1", "0", "0", "0"});
    start_call();
    expect_cmds("T_EncCmd", 0,
                {vdo_close(0), vdo_close(1), mcu(352, 288),
                 {.code = 513, .type = 52, .w = 352, .h = 288, .cplx = 4, .imb = 1, .rate = 512, .fr = 30}});
    expect_cmds("T_DecCmd", 0, {{.code = 515, .type = 52}, mcu(352, 288)});
    expect_cmds("ado_enc_cmd_socket", 0, {ado_close(), {.code = 514, .type = 1, .rate = 8, .blk = 160}});
    expect_cmds("ado_dec_cmd_socket", 0, {ado_close(), {.code = 516, .type = 1, .rate = 8, .blk = 160}});
    EXPECT_TRUE(hub->wait_stdout("Start Audio Encoder 1", 1000ms));
    EXPECT_TRUE(hub->wait_stdout("fifofd = ", 1000ms)) << "an unlimited call names the FIFO";
    // The decoder's display set-up is not also closed at the start.
    EXPECT_EQ(cmds("T_DecCmd").size(), 2u);

    fifo("stop");
    ASSERT_TRUE(hub->wait_stdout("Stop Test!!", 2000ms));
    expect_cmds("T_EncCmd", 4, {vdo_close(0)});
    expect_cmds("T_DecCmd", 2, {vdo_close(0)});
    expect_cmds("ado_enc_cmd_socket", 2, {ado_close()});
    expect_cmds("ado_dec_cmd_socket", 2, {ado_close()});
    EXPECT_TRUE(hub->wait_stdout("Close Video Encoder 0", 1000ms));
    EXPECT_TRUE(hub->wait_stdout("Close Video Decoder", 1000ms));
    // Nothing for the content channels.
    EXPECT_TRUE(cmds("t_EncCmd").empty());
    EXPECT_TRUE(cmds("t_DecCmd").empty());
}

TEST_F(CallTest, QcifOpensBothChannelsAndItsMarkOutlivesALaterCifCall) {
    start({"51", "176", "144", "15", "256", "0", "0", "0", "0"});
    start_call();
    ASSERT_TRUE(hub->wait_stdout("Qcif Resolution !! ", 2000ms));
    expect_cmds("T_EncCmd", 0,
                {vdo_close(0), vdo_close(1), mcu(352, 288),
                 {.code = 513, .type = 51, .w = 352, .h = 288, .cplx = 4, .imb = 1, .rate = 256, .fr = 15},
                 {.code = 513, .type = 51, .w = 176, .h = 144, .cplx = 4, .imb = 1, .rate = 256, .fr = 15, .ch = 1}});
    expect_cmds("T_DecCmd", 0, {{.code = 515, .type = 51}, mcu(352, 288)});
    // AdoType 0: the audio closes go out, no audio open.
    expect_cmds("ado_enc_cmd_socket", 0, {ado_close()});
    expect_cmds("ado_dec_cmd_socket", 0, {ado_close()});

    fifo("width 352");
    fifo("height 288");
    start_call();
    expect_cmds("T_EncCmd", 5,
                {vdo_close(0), vdo_close(1), mcu(352, 288),
                 {.code = 513, .type = 51, .w = 352, .h = 288, .cplx = 4, .imb = 1, .rate = 256, .fr = 15}});
    fifo("stop");
    expect_cmds("T_EncCmd", 9, {vdo_close(0), vdo_close(1)});
    EXPECT_TRUE(hub->wait_stdout("Close Video Encoder 1", 2000ms));
    EXPECT_EQ(hub->count_stdout("Start Audio Encoder"), 0u);
}

TEST_F(CallTest, HdComplexityAndH264InsertionFollowHeightAndFrameRate) {
    start({"54", "1280", "720", "30", "2048", "0", "0", "0", "0"});
    start_call();
    expect_cmds("T_EncCmd", 0,
                {vdo_close(0), vdo_close(1), mcu(1280, 720),
                 {.code = 513, .type = 54, .w = 1280, .h = 720, .cplx = 2, .rate = 2048, .fr = 30}});
    fifo("vdo_fr 14");
    start_call();
    expect_cmds("T_EncCmd", 4,
                {vdo_close(0), vdo_close(1), mcu(1280, 720),
                 {.code = 513, .type = 54, .w = 1280, .h = 720, .cplx = 4, .rate = 2048, .fr = 14}});
}

TEST_F(CallTest, EachAudioStandardOpensBothSidesWithItsOwnValues) {
    struct Row {
        std::uint16_t type, encBlk, encRate, decBlk, decRate;
    };
    const Row rows[] = {{1, 160, 8, 160, 8},   {2, 160, 8, 160, 8},   {3, 160, 8, 160, 16}, {4, 160, 16, 160, 16},
                        {5, 320, 3, 320, 3},   {6, 320, 4, 320, 4},   {7, 240, 3, 240, 3},  {8, 320, 4, 320, 4},
                        {9, 480, 6, 480, 6},   {10, 640, 64, 160, 64}, {11, 20, 1, 20, 1}};
    start({"52", "352", "288", "30", "512", "1", "0", "0", "0"});
    std::size_t n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "AdoType " << r.type);
        fifo("audio " + std::to_string(r.type));
        start_call();
        expect_cmds("ado_enc_cmd_socket", n, {ado_close(), {.code = 514, .type = r.type, .rate = r.encRate, .blk = r.encBlk}});
        expect_cmds("ado_dec_cmd_socket", n, {ado_close(), {.code = 516, .type = r.type, .rate = r.decRate, .blk = r.decBlk}});
        n += 2;
    }
    EXPECT_EQ(hub->count_stdout("Open 722 Codec"), 1u);
    EXPECT_EQ(hub->count_stdout("Open PCM Codec"), 1u);
}

TEST_F(CallTest, DeadlineStopsTheCallOnce) {
    start({"52", "352", "288", "30", "512", "0", "2", "0", "0"});
    start_call();
    expect_cmds("T_DecCmd", 0, {{.code = 515, .type = 52}, mcu(352, 288)});
    EXPECT_EQ(hub->count_stdout("fifofd = "), 0u);
    ASSERT_TRUE(hub->wait_stdout("Time Out !!", 6000ms));
    expect_cmds("T_DecCmd", 2, {vdo_close(0)});
    expect_cmds("T_EncCmd", 4, {vdo_close(0)});

    // A stop by command leaves no deadline behind to fire again.
    fifo("stop");
    expect_cmds("T_DecCmd", 3, {vdo_close(0)});
    sim->records().wait([](const boxsim::Records&) { return false; }, 3000ms);
    EXPECT_EQ(hub->count_stdout("Time Out !!"), 1u);
    EXPECT_EQ(cmds("T_DecCmd").size(), 4u);
}

}  // namespace
}  // namespace call_it
