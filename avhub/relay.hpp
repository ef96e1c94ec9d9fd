// Encoder bitstream relay: takes the video and audio encoders' packets
// apart, joins video pieces into frames and passes frames and audio blocks
// on (to the bridge peers or back to the local decoders).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace avhub {

// Frame assembly buffer: header room followed by the frame's payload.
inline constexpr std::size_t kFrameBufSize = 262280;
inline constexpr std::size_t kSktParamCount = 14;
// Audio packet buffer of one relayed block (header + block).
inline constexpr std::size_t kAdoPktBufSize = 4100;
// Frames of this payload size or more are reported as unusually large.
inline constexpr std::uint32_t kLargeFrameBytes = 65536;

struct SktParam {
    std::uint32_t u32FrmCnt = 0;  // frames begun since start-up
    std::uint32_t u32FrmTm = 0;   // get_msec_count when the first piece came
    std::uint32_t u32Len = 0;     // bytes in u8Buf, counting the header room
    // A first piece was seen and the frame is still being assembled; pieces
    // outside a frame, and the rest of a frame that overflowed, are ignored.
    bool bInFrame = false;
    std::array<std::uint8_t, kFrameBufSize> u8Buf{};
};

// One record per video channel number; the relay assembles in record 0.
extern std::array<SktParam, kSktParamCount> SktParam_t;

// Read step, called once per loop pass for the video and then the audio
// encoder socket: one receive bounded by the free space of buf, then every
// complete packet held is taken out.
void main_thread_read_sock_buf(int s32SockFd, std::span<std::uint8_t> buf, std::uint32_t& u32BufLen,
                               std::uint8_t& u8Status);
// Appends the video payload just taken out to assembly record r and sends
// the frame when its last piece has come.
void main_thread_vdo_proc(int r, std::uint8_t u8Gob);
// Sends the first u32BlkLen bytes of audio accumulator i as one block.
void main_thread_ado_proc(int i, std::uint32_t u32BlkLen);

}  // namespace avhub
