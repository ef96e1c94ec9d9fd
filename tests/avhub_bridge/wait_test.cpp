// The slow cases of a bridge session: "vcb_start" waiting its full 20
// seconds, and the bitstream table filled one "vcb_start" at a time.
#include "bridge_session.hpp"

namespace {

using namespace bridge_test;

TEST_F(BridgeSession, VcbStartWithoutABitstreamConnectionWaitsTwentySecondsThenStartsTheCall) {
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Start VCB Test!!"));
    auto started = std::chrono::steady_clock::now();
    auto cmd = connect("vcmd");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[0]"));
    ASSERT_TRUE(hub->wait_stdout("start_test", 30s));
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 19500ms);
    EXPECT_LT(waited, 25s);
    std::size_t reports = lines("Wait VCB Connection").size();
    EXPECT_GE(reports, 19u);
    EXPECT_LE(reports, 21u);
    // No bitstream connection counted: the bridge gets no request.
    ASSERT_TRUE(sim->records().wait_commands("T_EncCmd", 1, 10s));
    EXPECT_TRUE(events("bridge_cmd", cmd[0]).empty());
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Cmd Fd[0]"));
}

// Each "vcb_start" with a bridge counted runs one service step, accepting
// one connection. With the ten bitstream slots taken, the eleventh waits in
// the backlog, every step says so, and the command listener is still served.
TEST_F(BridgeSession, EleventhBitstreamConnectionWaitsInTheBacklog) {
    connect("vbs", 11);
    for (int i = 0; i < 10; ++i) {
        fifo("vcb_start");
        ASSERT_TRUE(hub->wait_stdout("Accept Vdo Btsm Client[" + std::to_string(i) + "]")) << i;
        ASSERT_TRUE(hub->wait_stdout("start_test"));
    }
    connect("vcmd");
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Too many Vdo Btsm Clients"));
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[0]"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Too many Vdo Btsm Clients"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    EXPECT_EQ(lines("Too many Vdo Btsm Clients").size(), 2u);
    EXPECT_TRUE(lines("Accept Vdo Btsm Client[10]").empty());

    // The call's frames go to every bitstream connection.
    ASSERT_TRUE(harness::wait_until(
        [&] {
            for (int id = 1; id <= 10; ++id)
                if (events("bridge_video", id).empty()) return false;
            return true;
        },
        10s));
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[9]"));
}

}  // namespace
