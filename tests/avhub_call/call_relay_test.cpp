// The relay end to end: scripted and streamed encoder output must reach the
// decoders as whole frames and blocks with the exact headers and bytes.
#include "call_fixture.hpp"

namespace call_it {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes chunk(std::uint8_t type, std::uint8_t ch, std::uint8_t gob, const Bytes& payload) {
    Bytes b(18 + payload.size());
    b[1] = 0x55;
    b[2] = 0xAA;
    b[3] = 0xFF;
    b[4] = type;
    b[5] = ch;
    wire::store_be32(&b[10], static_cast<std::uint32_t>(payload.size()));
    b[17] = gob;
    std::copy(payload.begin(), payload.end(), b.begin() + 18);
    return b;
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    return b;
}

// Hex without separators, as boxsim's control commands take it.
std::string hexs(const Bytes& b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t v : b) {
        out += kDigits[v >> 4];
        out += kDigits[v & 15];
    }
    return out;
}
std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST_F(CallTest, ScriptedVideoIsJoinedRecordedAndSurvivesGarbage) {
    start({"52", "352", "288", "30", "512", "1", "0", "1", "0"});
    start_call();
    wait_cmds("T_EncCmd", 0, 4);

    // Three pieces of one frame, and a whole frame of 65536 bytes.
    ctl("packet T_EncStrm 0 0 0 1 1000 1");
    ctl("packet T_EncStrm 0 0 0 0 1400 2");
    ctl("packet T_EncStrm 0 0 0 2 77 3");
    ctl("packet T_EncStrm 0 0 0 3 65536 4");
    // One packet cut into three writes, header split in the middle.
    const Bytes split = chunk(0, 0, 3, pattern(300, 5));
    ctl("split T_EncStrm 30 " + hexs(Bytes(split.begin(), split.begin() + 9)) + " " +
        hexs(Bytes(split.begin() + 9, split.begin() + 100)) + " " + hexs(Bytes(split.begin() + 100, split.end())));
    // Leading garbage, then a good packet in the same write.
    const Bytes after = pattern(64, 6);
    ctl("send T_EncStrm 1234" + hexs(chunk(0, 0, 3, after)));

    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 4, 5000ms));
    const auto got = sim->records().chunks("T_DecStrm");
    ASSERT_EQ(got.size(), 4u);
    const std::uint32_t sizes[] = {2477, 65536, 300, 64};
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].hdr.u8StreamType, 0);
        EXPECT_EQ(got[i].hdr.u8StreamCh, 0);
        EXPECT_EQ(got[i].hdr.u32PacketSize, sizes[i]);
        EXPECT_EQ(got[i].hdr.u32Gob, 0u) << "relayed frames carry flag value 0";
    }
    const std::string tx = sim->records().tx_bytes("T_EncStrm");
    const std::string want = tx + str(pattern(300, 5)) + str(after);
    EXPECT_EQ(sim->records().rx_bytes("T_DecStrm"), want);

    // Every line below is printed before the frames it concerns go out.
    EXPECT_EQ(hub->count_stdout("Frame Size too Large 65536 ["), 1u);
    EXPECT_EQ(hub->count_stdout("Lose Encoder Bitstream !!!!!!!"), 1u);
    EXPECT_EQ(hub->count_stdout("? 12 34 00 55"), 1u);
    EXPECT_EQ(hub->count_stdout("send dec-video data 2495"), 1u) << "the first frame handed on is logged";
    EXPECT_EQ(hub->count_stdout("send dec-video data"), 1u) << "then one in 60";

    fifo("close");
    ASSERT_EQ(hub->wait_exit(5000ms), 0);
    EXPECT_EQ(harness::read_file(cwd / "record.bin"), want);
}

TEST_F(CallTest, QcifRelaysChannelOneStampedAsChannelZero) {
    start({"52", "176", "144", "30", "512", "0", "0", "0", "0"});
    start_call();
    wait_cmds("T_EncCmd", 0, 5);
    ctl("packet T_EncStrm 0 0 0 3 900 1");
    ctl("packet T_EncStrm 0 1 0 3 400 2");
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 1, 5000ms));
    const auto sent = sim->records().sent("T_EncStrm");
    ASSERT_EQ(sent.size(), 2u);
    const auto got = sim->records().chunks("T_DecStrm");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].hdr.u8StreamCh, 0);
    EXPECT_EQ(got[0].hdr.u32PacketSize, 400u);
    EXPECT_EQ(sim->records().rx_bytes("T_DecStrm"), sim->records().tx_bytes("T_EncStrm").substr(900));
}

TEST_F(CallTest, AudioIsBlockedNumberedAndHeldBackByTheDelayBuffer) {
    start({"52", "352", "288", "30", "512", "1", "0", "0", "1600"});
    start_call();
    wait_cmds("ado_dec_cmd_socket", 0, 2);
    // 1760 bytes: two blocks leave, 1440 stay behind.
    ctl("packet ado_enc_server_socket 1 0 0 0 1760 7");
    ASSERT_TRUE(sim->records().wait_chunks("ado_dec_server_socket", 2, 5000ms));
    ctl("packet ado_enc_server_socket 1 0 0 0 160 8");
    ASSERT_TRUE(sim->records().wait_chunks("ado_dec_server_socket", 3, 5000ms));

    const auto got = sim->records().chunks("ado_dec_server_socket");
    ASSERT_EQ(got.size(), 3u) << "the delay buffer holds 1440 bytes back";
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].hdr.u8StreamType, 1);
        EXPECT_EQ(got[i].hdr.u8StreamCh, 0);
        EXPECT_EQ(got[i].hdr.u32TimeStamp, i) << "numbered from 0 at the start";
        EXPECT_EQ(got[i].hdr.u32PacketSize, 160u);
        EXPECT_EQ(harness::hex(got[i].raw_header.data() + 14, 4), "00 00 00 00");
    }
    EXPECT_EQ(sim->records().rx_bytes("ado_dec_server_socket"),
              sim->records().tx_bytes("ado_enc_server_socket").substr(0, 480));
}

TEST_F(CallTest, StreamedCallArrivesWholeFrameByFrame) {
    start({"52", "352", "288", "30", "2048", "3", "0", "0", "0"}, /*autostream=*/true);
    start_call();
    ASSERT_TRUE(sim->records().wait_chunks("T_DecStrm", 15, 10000ms));
    ASSERT_TRUE(sim->records().wait_chunks("ado_dec_server_socket", 15, 5000ms));
    fifo("stop");
    wait_cmds("T_DecCmd", 2, 1);

    // Frame sizes as the encoder cut them: first piece to last piece.
    auto frames = [&] {
        std::vector<std::uint32_t> sizes;
        std::uint32_t acc = 0;
        bool in = false;
        for (const auto& s : sim->records().sent("T_EncStrm")) {
            if (s.flags & 1) {
                in = true;
                acc = 0;
            }
            acc += s.hdr.u32PacketSize;
            if (in && (s.flags & 2)) {
                sizes.push_back(acc);
                in = false;
            }
        }
        return sizes;
    };
    // Frames in flight at the stop still arrive.
    ASSERT_TRUE(sim->records().wait(
        [&](const boxsim::Records& r) { return r.chunks("T_DecStrm").size() == frames().size(); }, 5000ms));
    const auto sizes = frames();
    const auto got = sim->records().chunks("T_DecStrm");
    ASSERT_EQ(got.size(), sizes.size());
    std::uint32_t prevTs = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].hdr.u32PacketSize, sizes[i]);
        EXPECT_EQ(got[i].hdr.u8StreamCh, 0);
        EXPECT_GE(got[i].hdr.u32TimeStamp, prevTs);
        prevTs = got[i].hdr.u32TimeStamp;
    }
    EXPECT_EQ(sim->records().rx_bytes("T_DecStrm"), sim->records().tx_bytes("T_EncStrm"));

    const std::string arx = sim->records().rx_bytes("ado_dec_server_socket");
    EXPECT_EQ(arx, sim->records().tx_bytes("ado_enc_server_socket").substr(0, arx.size()));
    const auto blocks = sim->records().chunks("ado_dec_server_socket");
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i].hdr.u32TimeStamp, i);
}

}  // namespace
}  // namespace call_it
