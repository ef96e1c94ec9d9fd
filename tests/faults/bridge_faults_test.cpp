// A remote bridge that resets its connections in the middle of a packet and
// of a command while a call streams to it, then connects again: avhub drops
// the dead connections at once, serves the new ones in the same slots in
// both directions, and ends on "close" with status 0. Hosts that connect and
// leave again and again, or flood a full table, cost neither slots nor
// log lines nor processor time.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_bytes.hpp"
#include "bridge_session.hpp"
#include "wire/codes.hpp"

namespace bridge_test {
namespace {

std::string hex_of(const Bytes& b) { return hexs(b.data(), b.size()); }

std::size_t open_descriptors(pid_t pid) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
    return n;
}

// Processor time the process has used (user and system), in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')': state is
    // field 3, utime 14 and stime 15.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class BridgeFaults : public BridgeSession {
protected:
    // Service steps until avhub has logged `needle` n times (each step
    // accepts at most one connection).
    void step_until(const std::string& needle, std::size_t n = 1) {
        for (int i = 0; i < 4 && lines(needle).size() < n; ++i) service_step();
        ASSERT_GE(lines(needle).size(), n) << needle;
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

    // The call's next frame finds the bitstream connection dead: it is
    // dropped with its count, so the call's video stays home (VCB mode).
    ASSERT_TRUE(hub->wait_stdout("Lost Vdo Btsm Client[0]: ", 10s));
    ASSERT_TRUE(hub->wait_stdout("In Vcb test Mode, Drop data", 10s));
    ASSERT_TRUE(hub->running());

    // Connecting again: the freed slots take the new connections; the dead
    // command connection is dropped by the step before it.
    const int vbs2 = connect("vbs")[0];
    const int cmd2 = connect("vcmd")[0];
    ASSERT_NO_FATAL_FAILURE(step_until("Accept Vdo Btsm Client[0]", 2));
    ASSERT_NO_FATAL_FAILURE(step_until("Accept Vdo Cmd Client[0]", 2));
    EXPECT_EQ(lines("Lost Vdo Cmd Client[0]: ").size(), 1u);
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
    // The dead connection was closed when it was dropped; "vcb_stop" closes
    // the new one.
    fifo("vcb_stop");
    ASSERT_TRUE(wait_lines("Close Vdo Btsm Fd[0]", 2));
    fifo("close");
    EXPECT_EQ(hub->wait_exit(5s), 0);
    const std::string err = hub->stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

// A host connects to the bitstream port, "vcb_start" takes it, the host
// leaves; ten times over. Each dead connection gives its slot, descriptor
// and count back at once, and the real bridge is then taken as the first.
TEST_F(BridgeFaults, ConnectionsThatComeAndGoGiveTheirSlotsBack) {
    const std::size_t fds = open_descriptors(hub->pid());
    for (std::size_t round = 1; round <= 10; ++round) {
        SCOPED_TRACE(round);
        const int id = connect("vbs")[0];
        service_step();
        ASSERT_TRUE(wait_lines("Accept Vdo Btsm Client[0]", round));
        bridge("close " + std::to_string(id));
        // The call's next frame finds it gone.
        ASSERT_TRUE(wait_lines("Lost Vdo Btsm Client[0]: ", round));
    }
    const std::size_t after = open_descriptors(hub->pid());
    std::printf("[ measured ] avhub descriptors: %zu before, %zu after ten connections came and went\n", fds, after);
    EXPECT_EQ(after, fds);

    const int bridge_id = connect("vbs")[0];
    service_step();
    ASSERT_TRUE(wait_lines("Accept Vdo Btsm Client[0]", 11));
    EXPECT_TRUE(lines("Too many Vdo Btsm Clients").empty());
    EXPECT_TRUE(wait_events("bridge_video", 3, bridge_id)) << "the call's video does not reach the bridge";
    fifo("vcb_stop");
    ASSERT_TRUE(wait_lines("Close Vdo Btsm Fd[0]", 11));
}

// A "vcb_start" wait for a bitstream connection sleeps between its steps
// instead of spinning; with eleven command connections waiting, the refusal
// of the eleventh is logged once, not at every step.
TEST_F(BridgeFaults, WaitSleepsAndAFullTableIsLoggedOnce) {
    struct Case {
        const char* what;
        int commands;
    };
    for (const Case& c : {Case{"no connection", 0}, Case{"eleven command connections", 11}}) {
        SCOPED_TRACE(c.what);
        if (c.commands > 0) connect("vcmd", c.commands);
        fifo("vcb_start");
        ASSERT_TRUE(hub->wait_stdout("Start VCB Test!!"));
        if (c.commands > 0) {
            ASSERT_TRUE(hub->wait_stdout("Accept Vdo Cmd Client[9]"));
        }
        const double cpu0 = cpu_seconds(hub->pid());
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(hub->wait_stdout("Wait VCB Connection", 5s));
        ASSERT_TRUE(hub->wait_stdout("Wait VCB Connection", 5s));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double share = (cpu_seconds(hub->pid()) - cpu0) / wall;
        std::printf("[ measured ] vcb_start wait, %s: %.1f %% of a processor over %.1f s\n", c.what, 100.0 * share, wall);
        // A spinning wait takes all the processor it can get (more than 40 %
        // even on a loaded machine); a sleeping one a few per cent, under
        // emulation too.
        EXPECT_LT(share, 0.2);
        connect("vbs");
        ASSERT_TRUE(hub->wait_stdout("start_test", 10s));
        fifo("vcb_stop");
        ASSERT_TRUE(hub->wait_stdout("Stop VCB Test!!"));
    }
    EXPECT_EQ(lines("Too many Vdo Cmd Clients").size(), 1u);
}

}  // namespace
}  // namespace bridge_test
