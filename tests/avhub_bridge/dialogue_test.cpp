// The bridge command dialogue: every request answered with its
// acknowledgement, every acknowledgement logged, everything else ignored,
// and avhub's own requests byte for byte.
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "bridge_fixture.hpp"
#include "harness/util.hpp"

namespace {

using namespace bridge_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Runs the handler on one command from slot `slot` and returns its log.
std::string handle(const wire::CodecCmd& cmd, int fd, int slot) {
    CaptureStdout();
    avhub::handle_bridge_cmd_proc(cmd, avhub::kKindVideo, fd, slot);
    return GetCapturedStdout();
}

wire::CodecCmd command(std::uint16_t code) {
    wire::CodecCmd c{};
    c.u16Cmd = code;
    c.u16Type = 9;
    c.u16VdoWidth = 1280;
    c.u16VdoHeight = 720;
    c.u16BitRate = 2048;
    c.u8VdoFrRate = 30;
    c.u8ChanIdx = 12;
    c.u8AgreeFlag = 0;
    return c;
}

// An answer as avhub writes it: zero magic, the code, agree flag 1 and the
// request's channel, everything else zero.
std::string answer_hex(std::uint16_t ack, std::uint8_t chan) {
    std::array<std::uint8_t, 48> b{};
    wire::store_be16(&b[4], ack);
    b[37] = 1;
    b[38] = chan;
    return hexs(b.data(), b.size());
}

TEST(BridgeDialogue, EveryRequestIsAnsweredWithItsAcknowledgement) {
    struct Row {
        std::uint16_t req, ack;
        const char* line;  // message after "box_test.c N : "; nullptr: none
    };
    // Requests carry 1280x720@30, 2048, type 9, channel 12; slot 3.
    const Row rows[] = {
        {513, 529, "[REQ_VDO_ENC[1280x720@30 2048]\n"},
        {514, 530, "REQ_ADO_ENC 9\n"},
        {515, 531, "REQ_VDO_DEC 12 30\n"},
        {516, 532, "REQ_ADO_DEC type 9\n"},
        {517, 533, "[12] REQ_VDO_CLOSE\n"},
        {518, 534, "[12] REQ_ADO_CLOSE\n"},
        {519, 535, "[12]REQ_VDO_ENC_CHANGE_BIT_RATE\n"},
        {520, 536, "[12]REQ_VDO_ENC_CHANGE_FRAME_RATE\n"},
        {521, 537, "[12]REQ_VDO_ENC_UPDATE_PIC\n"},
        {545, 546, "REQ_RECV_VDO_CAPABILITY\n"},
        {547, 548, "REQ_RECV_CNT_CAPABILITY\n"},
        {549, 550, "[3]REQ_REMOTE_CHANGE_VDO_SRC\n"},  // the slot, not the channel
        {551, 552, "REQ_CHANGE_BRISKO_VDO_MODE\n"},
        {557, 558, "[12]REQ_VDO_DEC_CLOSE\n"},
        {559, 560, "[12]REQ_ADO_DEC_CLOSE\n"},
        {561, 562, nullptr},
        {563, 564, "REQ_STOP_TEST_CALL\n"},
        {565, 566, nullptr},
    };
    Pair conn;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.req);
        std::string out = handle(command(r.req), conn.fd[0], 3);
        EXPECT_NE(out.find(" : Recv Client[3] Cmd\n"), std::string::npos) << out;
        EXPECT_EQ(count_lines(out, "box_test.c"), r.line ? 2 : 1) << out;
        if (r.line) {
            EXPECT_NE(out.find(std::string(" : ") + r.line), std::string::npos) << out;
        }
        EXPECT_EQ(hexs(drain(conn.fd[1]).data(), 48), answer_hex(r.ack, 12));
        EXPECT_TRUE(drain(conn.fd[1]).empty());
    }
}

TEST(BridgeDialogue, AcknowledgementsAreLoggedAndOtherCodesIgnored) {
    struct Row {
        std::uint16_t code;
        const char* line;  // nullptr: only the receive line
    };
    const Row rows[] = {
        {529, "ACK_VDO_ENC 0 12\n"},
        {530, "ACK_ADO_ENC 0 12\n"},
        {531, "ACK_VDO_DEC 0 12\n"},
        {532, "ACK_ADO_DEC 0 12\n"},
        {533, "ACK_VDO_CLOSE 0 12\n"},
        {534, "ACK_ADO_CLOSE 0 12\n"},
        {535, "ACK_VDO_ENC_CHANGE_BIT_RATE 0 12\n"},
        {536, "ACK_VDO_ENC_CHANGE_FRAME_RATE 0 12\n"},
        {537, "ACK_VDO_ENC_UPDATE_PIC 0 12\n"},
        {538, "ACK_VDO_SET_MCU_MODE 0 12\n"},
        {539, "ACK_VDO_SET_SECTION_NUM 0 12\n"},
        {540, "ACK_VDO_GET_RES 0 12\n"},
        {541, "ACK_VDO_GET_FR_ERR 0 12\n"},
        {542, "ACK_VDO_ENC_PAUSE 0 12\n"},
        {543, "ACK_VDO_ENC_RESUME 0 12\n"},
        {544, "ACK_ADO_DEC_BUF_POINT 0 12\n"},
        {546, "ACK_RECV_VDO_CAPABILITY 0 12\n"},
        {548, "ACK_RECV_CNT_CAPABILITY 0 12\n"},
        {550, "ACK_REMOTE_CHANGE_VDO_SRC 0 12\n"},
        {552, "ACK_CHANGE_VDO_MODE 0 12\n"},
        {558, "ACK_VDO_DEC_CLOSE 0 12\n"},
        {560, "ACK_ADO_DEC_CLOSE 0 12\n"},
        {562, "ACK_START_TEST_CALL 0 12\n"},
        {564, "ACK_STOP_TEST_CALL 0 12\n"},
        {566, "ACK_SET_SID\n"},
        {568, "ACK_CHANGE_KVX_VDO_MODE 0 12\n"},
        {0, nullptr}, {512, nullptr}, {522, nullptr}, {528, nullptr}, {553, nullptr},
        {556, nullptr}, {567, nullptr}, {569, nullptr}, {600, nullptr}, {0xFFFF, nullptr},
    };
    Pair conn;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        std::string out = handle(command(r.code), conn.fd[0], 0);
        EXPECT_NE(out.find(" : Recv Client[0] Cmd\n"), std::string::npos) << out;
        EXPECT_EQ(count_lines(out, "box_test.c"), r.line ? 2 : 1) << out;
        if (r.line) {
            EXPECT_NE(out.find(std::string(" : ") + r.line), std::string::npos) << out;
        }
        EXPECT_TRUE(drain(conn.fd[1]).empty()) << "no answer to " << r.code;
    }
}

TEST(BridgeDialogue, OwnRequestsGoToEveryVideoCommandConnectionWhileABridgeIsCounted) {
    Pair slot0, slot3, btsm;
    auto& srv = avhub::BdgServer_t;
    srv.stVdoCmd[0].s32Fd = slot0.fd[0];
    srv.stVdoCmd[3].s32Fd = slot3.fd[0];

    // No video bitstream connection counted: nothing is sent.
    srv.u32VdoBtsmCnt = 0;
    avhub::send_request_to_all_boxes(wire::REQ_VDO_ENC);
    EXPECT_TRUE(drain(slot0.fd[1]).empty());

    srv.u32VdoBtsmCnt = 1;
    avhub::send_request_to_all_boxes(wire::REQ_VDO_ENC);
    avhub::send_request_to_all_boxes(wire::REQ_VDO_CLOSE);
    const std::string enc = "00000000" "0201" "0036" "02c0" "01e0" + std::string(40, '0') + "0400" "0000" "1e" +
                            std::string(22, '0');
    const std::string close = "00000000" "0205" + std::string(84, '0');
    for (int fd : {slot0.fd[1], slot3.fd[1]}) {
        Bytes got = drain(fd);
        ASSERT_EQ(got.size(), 96u);
        EXPECT_EQ(hexs(got.data(), 48), enc);
        EXPECT_EQ(hexs(got.data() + 48, 48), close);
    }
    srv.stVdoCmd[0].s32Fd = 0;
    srv.stVdoCmd[3].s32Fd = 0;
    srv.u32VdoBtsmCnt = 0;
}

}  // namespace
