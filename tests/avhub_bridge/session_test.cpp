// A bridge session against the real avhub: accepting, the command dialogue
// both ways, the requests at a call start and stop, forwarding of the
// bridge's video, the call video towards the bridge, "vcb_stop" and the
// link check.
#include <cstdlib>

#include "bridge_bytes.hpp"
#include "bridge_session.hpp"

namespace {

using namespace bridge_test;

std::string request_hex(std::uint16_t code) {
    std::array<std::uint8_t, 48> b{};
    wire::store_be16(&b[4], code);
    if (code == wire::REQ_VDO_ENC) {
        wire::store_be16(&b[6], 54);
        wire::store_be16(&b[8], 704);
        wire::store_be16(&b[10], 480);
        wire::store_be16(&b[32], 1024);
        b[36] = 30;
    }
    return hexs(b.data(), b.size());
}

TEST_F(BridgeSession, CommandDialogueAndRequestsAtCallStartAndStop) {
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Start VCB Test!!"));
    // Command connections alone do not end the wait; they are taken in
    // order into the lowest free slots.
    auto cmd = connect("vcmd", 4);
    ASSERT_EQ(cmd.size(), 4u);
    auto conns = events("bridge_connect");
    for (int i = 0; i < 4; ++i) {
        std::string accepted = "Accept Vdo Cmd Client[";
        accepted += std::to_string(i);
        accepted += "] 127.0.0.1:";
        auto line = hub->wait_stdout(accepted);
        ASSERT_TRUE(line);
        const std::string port = conns[static_cast<std::size_t>(i)].get("local_port");
        EXPECT_NE(line->find(':' + port), std::string::npos) << *line;
    }

    // Every request the bridge may send, then acknowledgements and unknown
    // codes, on slot 3: only the requests are answered, in order.
    const std::vector<std::pair<int, int>> requests{
        {513, 529}, {514, 530}, {515, 531}, {516, 532}, {517, 533}, {518, 534}, {519, 535}, {520, 536}, {521, 537},
        {545, 546}, {547, 548}, {549, 550}, {551, 552}, {557, 558}, {559, 560}, {561, 562}, {563, 564}, {565, 566}};
    const int slot3 = cmd[3];
    bridge("cmd " + std::to_string(slot3) + " 513 width=1280 height=720 fr=30 bitrate=2048 chan=0");
    for (std::size_t i = 1; i < requests.size(); ++i)
        bridge("cmd " + std::to_string(slot3) + " " + std::to_string(requests[i].first) + " chan=12 type=3");
    for (int code : {529, 566, 600, 522})
        bridge("cmd " + std::to_string(slot3) + " " + std::to_string(code) + " agree=1 chan=2");
    ASSERT_TRUE(hub->wait_stdout("[REQ_VDO_ENC[1280x720@30 2048]"));
    ASSERT_TRUE(hub->wait_stdout("ACK_VDO_ENC 1 2"));
    ASSERT_TRUE(harness::wait_until([&] { return lines("Recv Client[3] Cmd").size() == requests.size() + 4; }, 5s));
    ASSERT_TRUE(wait_events("bridge_cmd", requests.size(), slot3));
    auto answers = events("bridge_cmd", slot3);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(requests[i].first);
        EXPECT_EQ(answers[i].num("u16Cmd"), requests[i].second);
        EXPECT_EQ(answers[i].num("u8AgreeFlag"), 1);
        EXPECT_EQ(answers[i].num("u8ChanIdx"), i == 0 ? 0 : 12);
        EXPECT_EQ(answers[i].get("hex").substr(0, 8), "00000000");
    }
    EXPECT_EQ(lines("ACK_SET_SID").size(), 1u);
    EXPECT_EQ(lines("REQ_ADO_DEC type 3").size(), 1u);

    // The first video bitstream connection ends the wait; the call start
    // sends REQ_VDO_ENC to every command connection, slot 0 first, a second
    // before the codec servers hear of the call.
    auto vbs = connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Btsm Client[0] 127.0.0.1:"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    ASSERT_TRUE(sim->records().wait_commands("T_EncCmd", 1, 10s));
    for (int id : cmd) {
        auto got = events("bridge_cmd", id);
        ASSERT_FALSE(got.empty()) << "conn " << id;
        EXPECT_EQ(got.back().get("hex"), request_hex(wire::REQ_VDO_ENC));
    }
    long long first_request = events("bridge_cmd", cmd[0]).back().num("t");
    EXPECT_LT(first_request, events("bridge_cmd", cmd[3]).back().num("t"));
    EXPECT_GE(sim->records().commands("T_EncCmd").front().t_us - first_request, 900000);

    // The call's video goes to the bridge, framed, channel 0, flags 0.
    ASSERT_TRUE(wait_events("bridge_video", 3, vbs[0]));
    EXPECT_TRUE(events("bridge_garbage").empty());
    for (auto& v : events("bridge_video", vbs[0])) {
        EXPECT_EQ(v.num("u8StreamType"), 0);
        EXPECT_EQ(v.num("u8StreamCh"), 0);
        EXPECT_EQ(v.num("u32Gob"), 0);
    }

    fifo("stop");
    for (int id : cmd) {
        ASSERT_TRUE(harness::wait_until(
            [&] { return events("bridge_cmd", id).back().get("hex") == request_hex(wire::REQ_VDO_CLOSE); }, 5s))
            << "conn " << id;
    }
    // The bridge's acknowledgements wait until the server is next serviced,
    // one command per connection and step.
    service_step();
    EXPECT_TRUE(wait_lines("ACK_VDO_ENC 1 0", 4));
    EXPECT_EQ(lines("ACK_VDO_CLOSE 1 0").size(), 0u);
    service_step();
    EXPECT_TRUE(wait_lines("ACK_VDO_CLOSE 1 0", 4));

    // "vcb_stop" closes every slot in order and resets the count, so the
    // next "vcb_start" waits again until a bitstream connection comes.
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Stop VCB Test!!"));
    const std::vector<std::string> order{"Close Vdo Cmd Fd[0]", "Close Vdo Btsm Fd[0]", "Close Vdo Cmd Fd[1]",
                                         "Close Vdo Cmd Fd[2]", "Close Vdo Cmd Fd[3]"};
    for (const auto& l : order) ASSERT_TRUE(hub->wait_stdout(l)) << l;
    EXPECT_TRUE(wait_events("bridge_eof", 5));
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Wait VCB Connection", 5s));
    connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Btsm Client[0] 127.0.0.1:"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
}

TEST_F(BridgeSession, BridgeVideoReachesTheDecoderRewrittenAndBadInputIsSurvived) {
    fifo("vcb_start");
    auto vbs = connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    const std::string id = std::to_string(vbs[0]);

    // Main and content packets: one step forwards all of them.
    EXPECT_EQ(bridge("video " + id + " 0 1000 3"), "ok 3");
    bridge("video " + id + " 2 500 1");
    ASSERT_TRUE(wait_events("bridge_sent", 4));
    service_step();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 4, 5s));
    EXPECT_EQ(lines("Brisko[0] stream type is diff [0 2]").size(), 1u);

    // Five garbage bytes and a packet of 100 bytes in one write, nothing
    // held before: the packet is found again and forwarded in the same step.
    Bytes odd = cat({Bytes{1, 2, 3, 4, 5}, packet(0, 82, 1)});
    bridge("raw " + id + " " + hexs(odd.data(), odd.size()));
    ASSERT_TRUE(wait_events("bridge_raw", 1));
    service_step();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 5, 5s));
    EXPECT_EQ(lines(" :  Header Error 01 02 03 04 ").size(), 1u);
    EXPECT_EQ(lines("Lose Decoder Bitstream (105) !!!!!!!").size(), 1u);
    EXPECT_EQ(lines("Get Hdr 5").size(), 1u);
    EXPECT_EQ(lines("Move Vdo Data [5] 100").size(), 1u);

    // A header declaring far more than any buffer holds, an audio packet and
    // an abrupt reset of the connection are survived.
    Bytes huge = cat({packet(0, 8, 2, 0x7FFFFFF0u), packet(1, 40, 3), packet(0, 64, 4)});
    bridge("raw " + id + " " + hexs(huge.data(), huge.size()));
    ASSERT_TRUE(wait_events("bridge_raw", 2));
    service_step();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 6, 5s));
    EXPECT_EQ(lines("packet too large").size(), 1u);

    auto chunks = sim->records().chunks("T_DecStrm");
    ASSERT_EQ(chunks.size(), 6u);
    const std::vector<std::uint32_t> sizes{1000, 1000, 1000, 500, 82, 64};
    auto sent = events("bridge_sent");
    std::string tx = harness::read_file(sim->records().dir() + "/bridge.tx").value_or("");
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(hexs(chunks[i].raw_header.data(), 6), "0055aaff0000");
        EXPECT_EQ(chunks[i].hdr.u32TimeStamp, i);
        EXPECT_EQ(chunks[i].hdr.u32PacketSize, sizes[i]);
        EXPECT_EQ(hexs(&chunks[i].raw_header[14], 4), "00000000");
        if (i < sent.size()) {
            std::string want = tx.substr(static_cast<std::size_t>(sent[i].num("off")), sizes[i]);
            EXPECT_EQ(std::string(chunks[i].payload.begin(), chunks[i].payload.end()), want);
        }
    }

    // A reset connection is closed at the call's next frame, its slot free
    // again: "vcb_stop" finds nothing left to close.
    bridge("reset " + id);
    ASSERT_TRUE(hub->wait_stdout("Lost Vdo Btsm Client[0]: "));
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
    fifo("stop");
    ASSERT_TRUE(hub->wait_stdout("Close Video Decoder"));
    EXPECT_TRUE(hub->running());
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Stop VCB Test!!"));
    EXPECT_EQ(lines("Close Vdo Btsm Fd[0]").size(), 1u);
}

// A bridge that stops reading loses whole frames, never part of one.
TEST_F(BridgeSession, SlowBridgeLosesWholeFramesOnly) {
    fifo("vdo_bit 20000");
    ASSERT_TRUE(hub->wait_stdout("change bit rate"));
    fifo("vcb_start");
    auto vbs = connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    const std::string id = std::to_string(vbs[0]);
    bridge("pause " + id + " on");
    ASSERT_TRUE(hub->wait_stdout("drop packet", 20s)) << "the writer never had to drop";
    bridge("pause " + id + " off");
    fifo("stop");
    std::size_t n = 0;
    ASSERT_TRUE(harness::wait_until(
        [&] {
            std::size_t now = events("bridge_video", vbs[0]).size();
            bool settled = now == n && now > 0;
            n = now;
            return settled;
        },
        20s, 500ms));
    EXPECT_TRUE(events("bridge_garbage").empty()) << "the bridge got part of a frame";
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
}

// Removing eth0's address drops every bridge connection at the next link
// check, and "vcb_start" goes on waiting for a new one.
TEST_F(BridgeSession, LinkCheckDropsTheBridgeWhenEth0LosesItsAddress) {
    fifo("vcb_start");
    connect("vcmd");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[0]"));
    connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("start_test"));

    ASSERT_EQ(std::system("ip addr del 192.0.2.1/24 dev eth0"), 0);
    struct Restore {
        ~Restore() {
            // Already back when the test got that far.
            if (std::system("ip addr add 192.0.2.1/24 dev eth0 2>/dev/null") != 0) return;
        }
    } restore;
    // Each step runs inside one "vcb_start"; the check comes every 5 s.
    bool dropped = false;
    for (std::size_t i = 0; i < 10 && !dropped; ++i) {
        std::size_t calls = lines("start_test").size();
        fifo("vcb_start");
        ASSERT_TRUE(harness::wait_until(
            [&] { return !lines("VC BDG not exist").empty() || lines("start_test").size() > calls; }, 5s, 10ms));
        dropped = !lines("VC BDG not exist").empty();
    }
    ASSERT_TRUE(dropped);
    ASSERT_TRUE(hub->wait_stdout("VC BDG not exist"));
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Cmd Fd[0]"));
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
    ASSERT_TRUE(hub->wait_stdout("Wait VCB Connection", 3s)) << "vcb_start stopped waiting";
    EXPECT_TRUE(wait_events("bridge_eof", 2));

    ASSERT_EQ(std::system("ip addr add 192.0.2.1/24 dev eth0"), 0);
    connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Btsm Client[0]"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
}

TEST_F(BridgeSession, ElevenCommandConnectionsLeaveTheLastInTheBacklog) {
    fifo("vcb_start");
    connect("vcmd", 11);
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[9]"));
    ASSERT_TRUE(hub->wait_stdout("Too many Vdo Cmd Clients"));
    // The bitstream listener is served first in the same steps.
    connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Btsm Client[0]"));
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    EXPECT_TRUE(lines("Accept Vdo Cmd Client[10]").empty());
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Cmd Fd[9]"));
    // The slots are free again: the waiting connection is taken into slot 0.
    fifo("vcb_start");
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[0]"));
    connect("vbs");
    ASSERT_TRUE(hub->wait_stdout("start_test"));
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[0]"));
}

}  // namespace
