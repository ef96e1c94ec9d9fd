// A remote bridge that resets its connections in the middle of a packet and
// of a command while a call streams to it, then connects again: avhub keeps
// running, serves the new connections in both directions, and ends on
// "close" with status 0.
#include <string>
#include <vector>

#include "bridge_bytes.hpp"
#include "bridge_session.hpp"
#include "wire/codes.hpp"

namespace bridge_test {
namespace {

std::string hex_of(const Bytes& b) { return hexs(b.data(), b.size()); }

class BridgeFaults : public BridgeSession {
protected:
    // Service steps until avhub has logged `needle` (each step accepts at
    // most one connection).
    void step_until(const std::string& needle) {
        for (int i = 0; i < 4 && lines(needle).empty(); ++i) service_step();
        ASSERT_FALSE(lines(needle).empty()) << needle;
    }
};

TEST_F(BridgeFaults, ResetMidPacketThenConnectingAgain) {
    fifo("vcb_start");
    const int cmd = connect("vcmd")[0];
    ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[0]", 10s));
    const int vbs = connect("vbs")[0];
    ASSERT_TRUE(hub->wait_stdout("start_test", 10s));
    ASSERT_TRUE(wait_events("bridge_video", 3, vbs)) << "the call's video never reached the bridge";

    // A whole packet and the first 40 bytes of the next one; 20 bytes of a
    // command. Then both connections reset with the rest never sent.
    const Bytes whole = packet(0, 300, 1);
    const Bytes cut = packet(0, 1000, 2);
    bridge("raw " + std::to_string(vbs) + " " + hex_of(cat({whole, Bytes(cut.begin(), cut.begin() + 40)})));
    bridge("raw " + std::to_string(cmd) + " 0055aaff0201000000000000000000000000aabb");
    ASSERT_TRUE(wait_events("bridge_raw", 2));
    service_step();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 1, 5s));
    bridge("reset " + std::to_string(vbs));
    bridge("reset " + std::to_string(cmd));
    ASSERT_TRUE(wait_events("bridge_eof", 2));

    // The call goes on writing frames into the dead connection.
    const std::size_t frames = sim->records().sent("T_EncStrm").size();
    EXPECT_TRUE(sim->records().wait(
        [&](const boxsim::Records& r) { return r.sent("T_EncStrm").size() >= frames + 30; }, 10s));
    ASSERT_TRUE(hub->running());

    // Connecting again: new slots, served like the first ones.
    const int vbs2 = connect("vbs")[0];
    const int cmd2 = connect("vcmd")[0];
    ASSERT_NO_FATAL_FAILURE(step_until("Accept Vdo Btsm Client[1]"));
    ASSERT_NO_FATAL_FAILURE(step_until("Accept Vdo Cmd Client[1]"));
    ASSERT_TRUE(wait_events("bridge_video", 3, vbs2)) << "the call's video does not reach the new connection";

    EXPECT_EQ(bridge("video " + std::to_string(vbs2) + " 0 700 2"), "ok 2");
    bridge("cmd " + std::to_string(cmd2) + " 513 width=352 height=288 fr=30 bitrate=512 chan=0");
    ASSERT_TRUE(wait_events("bridge_sent", 2, vbs2));
    ASSERT_TRUE(wait_events("bridge_sent_cmd", 1, cmd2));
    // One command per connection and step: the new connection may still
    // hold the answer to the call start's request in front of this one.
    ASSERT_NO_FATAL_FAILURE(step_until("[REQ_VDO_ENC[352x288@30 512]"));
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 3, 5s));

    // What reached the decoder: the whole packet from before the reset,
    // then the new connection's two packets, none glued to the cut one.
    const auto chunks = sim->records().chunks("T_DecStrm");
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(std::string(chunks[0].payload.begin(), chunks[0].payload.end()),
              std::string(whole.begin() + 18, whole.end()));
    const auto sent = events("bridge_sent", vbs2);
    const std::string tx = harness::read_file(sim->records().dir() + "/bridge.tx").value_or("");
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chunks[1 + i].hdr.u32PacketSize, 700u);
        EXPECT_EQ(std::string(chunks[1 + i].payload.begin(), chunks[1 + i].payload.end()),
                  tx.substr(static_cast<std::size_t>(sent[i].num("off")), 700));
    }
    ASSERT_TRUE(harness::wait_until(
        [&] {
            for (auto& e : events("bridge_cmd", cmd2))
                if (e.num("u16Cmd") == wire::ACK_VDO_ENC) return true;
            return false;
        },
        5s));

    fifo("stop");
    ASSERT_TRUE(harness::wait_until(
        [&] { return events("bridge_cmd", cmd2).back().get("hex").substr(8, 4) == "0205"; }, 5s))
        << "REQ_VDO_CLOSE did not reach the new command connection";
    fifo("vcb_stop");
    ASSERT_TRUE(hub->wait_stdout("Close Vdo Btsm Fd[1]"));
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5s), 0);
    const std::string err = hub->stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

}  // namespace
}  // namespace bridge_test
