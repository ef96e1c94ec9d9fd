// Loopback test call: opens the video decoder, one or two video encoders
// and the audio pair with the call settings, and closes them again.
#include "test_call.hpp"

#include <time.h>

#include <cerrno>
#include <cstdint>

#include "box_test.hpp"
#include "dsp_func.hpp"
#include "globals.hpp"
#include "log.hpp"
#include "socket_cmd.hpp"
#include "wire/codes.hpp"

namespace avhub {
namespace {

constexpr char kModule[] = "main.c";
// The farthest deadline the signed 32-bit clock difference can tell from
// one already past.
constexpr std::int64_t kMaxDeadlineMs = INT32_MAX;

void send_close(int fd, std::uint16_t code, std::uint8_t chan) {
    CodecCmd cmd;
    fill_close_chan_cmd_struct(cmd, code, chan);
    send_codec_cmd(fd, cmd);
}

void send_vdo_enc(std::uint16_t width, std::uint16_t height, std::uint8_t chan) {
    CodecCmd cmd;
    fill_codec_enc_vdo_cmd_struct(cmd, static_cast<std::uint16_t>(CodecType), width, height,
                                  static_cast<std::uint8_t>(FrameRate), static_cast<std::uint16_t>(BitRate), chan);
    send_codec_cmd(s32VdoEncCmdSockFd, cmd);
}

void sleep_one_second() {
    timespec left{1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void open_audio() {
    const AdoStdParam& a = kAdoStdTable[static_cast<std::size_t>(AdoType - kAdoTypeMin)];
    AVHUB_SAY_TM("Start Audio Encoder %d \n", AdoType);
    if (AdoType == wire::STD_G722) AVHUB_LOG("Open 722 Codec \n");
    if (AdoType == wire::STD_PCM) AVHUB_LOG("Open PCM Codec \n");

    CodecCmd cmd;
    fill_codec_enc_ado_cmd_struct(cmd, static_cast<std::uint16_t>(AdoType), a.u16EncBlk, a.u16EncBitRate, 0);
    send_codec_cmd(s32AdoEncCmdSockFd, cmd);
    fill_codec_dec_ado_cmd_struct(cmd, static_cast<std::uint16_t>(AdoType), a.u16DecBlk, a.u16DecBitRate, 0);
    send_codec_cmd(s32AdoDecCmdSockFd, cmd);

    // The relay cuts audio into the encoder's blocks.
    u32AdoBlkSize = a.u16EncBlk;
    u32AdoSeqNum = 0;
}

void request_all_boxes(std::uint16_t code) {
    if (get_box_vdo_btsm_cnt() != 0) send_request_to_all_boxes(code);
}

}  // namespace

void set_dsp_vdo_res(std::uint16_t u16Width, std::uint16_t u16Height) {
    CodecCmd cmd;
    fill_codec_set_mcu_mode_cmd(cmd, 0, u16Width, u16Height, 1);
    if (s32VdoDecCmdSockFd != 0) send_codec_cmd(s32VdoDecCmdSockFd, cmd);
    if (s32VdoEncCmdSockFd != 0) send_codec_cmd(s32VdoEncCmdSockFd, cmd);
}

void start_test() {
    AVHUB_LOG("start_test \n");
    request_all_boxes(wire::REQ_VDO_ENC);
    sleep_one_second();

    // Whatever an earlier call left open; the video decoder is reopened as is.
    send_close(s32VdoEncCmdSockFd, wire::REQ_VDO_CLOSE, 0);
    send_close(s32VdoEncCmdSockFd, wire::REQ_VDO_CLOSE, 1);
    send_close(s32AdoEncCmdSockFd, wire::REQ_ADO_CLOSE, 0);
    send_close(s32AdoDecCmdSockFd, wire::REQ_ADO_CLOSE, 0);

    AVHUB_LOG("Open Video Decoder %d %d \n", s32VdoDecCmdSockFd, CodecType);
    CodecCmd cmd;
    fill_codec_dec_vdo_cmd_struct(cmd, static_cast<std::uint16_t>(CodecType), 0);
    send_codec_cmd(s32VdoDecCmdSockFd, cmd);

    const auto w = static_cast<std::uint16_t>(Width);
    const auto h = static_cast<std::uint16_t>(Height);
    if (Width == kQcifWidth) {
        // Channel 0 runs at twice the size for the display; channel 1 at
        // QCIF is the one relayed.
        print_msg("Qcif Resolution !! \n");
        const auto w2 = static_cast<std::uint16_t>(2 * Width);
        const auto h2 = static_cast<std::uint16_t>(2 * Height);
        set_dsp_vdo_res(w2, h2);
        send_vdo_enc(w2, h2, 0);
        send_vdo_enc(w, h, 1);
        u32VdoEnc1On = 1;
        u32RelayVdoChan = 1;
    } else {
        AVHUB_LOG("Open Video Encoder %d %d \n", s32VdoEncCmdSockFd, CodecType);
        set_dsp_vdo_res(w, h);
        send_vdo_enc(w, h, 0);
        u32RelayVdoChan = 0;
    }
    u32VdoEnc0On = 1;

    if (AdoType >= kAdoTypeMin && AdoType <= kAdoTypeMax) open_audio();

    if (TestTime > 0 && static_cast<std::int64_t>(TestTime) * 1000 > kMaxDeadlineMs)
        AVHUB_LOG("Test time %d s is beyond the clock's reach: no time limit \n", TestTime);
    u32TestEndTm = test_deadline(TestTime, get_msec_count());
    if (TestTime == 0) print_msg("fifofd = %d \n", s32FifoFd);
}

std::uint32_t test_deadline(std::int32_t test_time_s, std::int32_t now_ms) {
    if (test_time_s == 0) return 0;
    const std::int64_t ms = static_cast<std::int64_t>(test_time_s) * 1000;
    if (ms > kMaxDeadlineMs) return 0;
    // Unsigned arithmetic: a negative test time set through the FIFO wraps
    // like the clock does instead of overflowing.
    const std::uint32_t end = static_cast<std::uint32_t>(now_ms) + static_cast<std::uint32_t>(ms);
    // 0 would read as "no deadline".
    return end == 0 ? 1 : end;
}

void stop_test() {
    if (u32VdoEnc0On != 0) {
        AVHUB_LOG("Close Video Encoder 0\n");
        send_close(s32VdoEncCmdSockFd, wire::REQ_VDO_CLOSE, 0);
    }
    if (u32VdoEnc1On != 0) {
        AVHUB_LOG("Close Video Encoder 1\n");
        send_close(s32VdoEncCmdSockFd, wire::REQ_VDO_CLOSE, 1);
    }
    AVHUB_LOG("Close Video Decoder \n");
    send_close(s32VdoDecCmdSockFd, wire::REQ_VDO_CLOSE, 0);
    send_close(s32AdoEncCmdSockFd, wire::REQ_ADO_CLOSE, 0);
    send_close(s32AdoDecCmdSockFd, wire::REQ_ADO_CLOSE, 0);
    request_all_boxes(wire::REQ_VDO_CLOSE);
}

}  // namespace avhub
