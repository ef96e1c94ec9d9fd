// Process-wide state of avhub: the call settings, the twelve codec
// descriptors, the buffers made once at start-up and the run-time marks
// that the modules share. Everything starts at zero; a descriptor of 0 means
// the endpoint is not connected.
#pragma once

#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace avhub {

// Call settings, read from the command line; some change through the FIFO
// and take effect at the next test start.
extern std::int32_t CodecType;
extern std::int32_t Width;
extern std::int32_t Height;
extern std::int32_t FrameRate;
extern std::int32_t BitRate;
extern std::int32_t AdoType;
extern std::int32_t TestTime;
extern std::int32_t Recording;
extern std::int32_t DelayBuf;

// Largest picture of a call: start-up refuses a wider or higher setting, and
// no clip with a larger picture is played.
inline constexpr std::uint32_t kMaxWidth = 1280;
inline constexpr std::uint32_t kMaxHeight = 768;

// Codec server connections (0 = not connected).
extern int s32VdoEncSockFd;
extern int s32VdoEncCmdSockFd;
extern int s32VdoDecSockFd;
extern int s32VdoDecCmdSockFd;
extern int s32AdoEncSockFd;
extern int s32AdoEncCmdSockFd;
extern int s32AdoDecSockFd;
extern int s32AdoDecCmdSockFd;
extern int s32H239EncSockFd;
extern int s32H239EncCmdSockFd;
extern int s32H239DecSockFd;
extern int s32H239DecCmdSockFd;

// Buffer sizes.
inline constexpr std::size_t kVdoSockBufSize = 256 * 1024;
inline constexpr std::size_t kAdoSockBufSize = 128 * 1024;
inline constexpr std::size_t kH239SockBufSize = 256 * 1024;
inline constexpr std::size_t kMainVdoBufSize = 256 * 1024;
inline constexpr std::size_t kMainAdoBufCount = 10;
inline constexpr std::size_t kMainAdoBufSize = 256 * 1024;
inline constexpr std::size_t kPlayAdoBufSize = 128 * 1024;

// Encoder input buffers and their fill lengths and de-framing states.
extern std::span<std::uint8_t> u8VdoSockBuf;
extern std::span<std::uint8_t> u8AdoSockBuf;   // kept for the relay's diagnostics
extern std::span<std::uint8_t> u8AdoSockBuf2;  // audio encoder input
extern std::span<std::uint8_t> u8H239SockBuf;
extern std::uint32_t u32VdoSockBuflen;
extern std::uint32_t u32AdoSockBuflen;
extern std::uint32_t u32H239SockBuflen;
extern std::uint8_t u8VdoSockStatus;
extern std::uint8_t u8AdoSockStatus;

// Payload of the video packet just taken out, and the audio accumulators.
extern std::span<std::uint8_t> u8MainVdoBuf;
extern std::uint32_t u32MainVdoBufLen;
extern std::array<std::span<std::uint8_t>, kMainAdoBufCount> u8MainAdoBuf;
extern std::array<std::uint32_t, kMainAdoBufCount> u32MainAdoBufLen;

// Clip audio re-blocking buffer (128 KiB), made before the settings are
// checked and freed by "close"; empty when not allocated.
extern std::span<std::uint8_t> pu8AdoBuf;

// Test call marks: video encoder channels 0 and 1 opened by a start (never
// cleared), the encoder channel the relay passes on, the audio block size of
// the standard last opened and the next audio sequence number.
extern std::uint32_t u32VdoEnc0On;
extern std::uint32_t u32VdoEnc1On;
extern std::uint32_t u32RelayVdoChan;
extern std::uint32_t u32AdoBlkSize;
extern std::uint32_t u32AdoSeqNum;

// 1 after "vcb_start", 0 after "start": encoder video is not looped back.
extern std::uint32_t u32VcbMode;
// Test deadline in get_msec_count milliseconds; 0 = none.
extern std::uint32_t u32TestEndTm;

// "record.bin", open only when Recording is 1.
extern std::FILE* pRecFile;

// The control FIFO and its poll entry (events = input).
extern int s32FifoFd;
extern pollfd MainPollFd;

// Milliseconds since the second in which it was first called, as a signed
// 32-bit count; -1 is returned as 0. Reads the monotonic clock.
std::int32_t get_msec_count();

}  // namespace avhub
