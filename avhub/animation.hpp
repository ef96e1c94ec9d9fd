// Animation playback: a lead-in black clip, the requested clip and a black
// trailer, demultiplexed, queued by due time and paced out to video decoder
// channel 0 and audio decoder channel 12.
#pragma once

#include <array>
#include <cstdint>

#include "file_queue.hpp"

struct AVFormatContext;
struct AVPacket;

namespace avhub {

inline constexpr const char* kBlackClipPath = "/mnt/project/Tivane/black.avi";
inline constexpr const char* kUiFifoPath = "/dev/tivane_in";
inline constexpr std::size_t kUiRecordSize = 128;

inline constexpr std::uint8_t kAnimVdoChan = 0;
inline constexpr std::uint8_t kAnimAdoChan = 12;
inline constexpr std::uint32_t kAnimAdoBlock = 160;
inline constexpr std::uint16_t kInvalidMediaType = 0xFFFF;

// Sequence states of u32PlaySt.
inline constexpr std::uint32_t kPlayIdle = 0;
inline constexpr std::uint32_t kPlayLeadIn = 1;
inline constexpr std::uint32_t kPlayRequested = 2;
inline constexpr std::uint32_t kPlayTrailer = 3;

// Status of send_animation_status: the sequence has been played out.
inline constexpr int kAnimStatusFinished = 2;

struct PlayMov_t {
    std::uint32_t u32PlaySt = kPlayIdle;
    std::array<char, 256> u8FileName{};
    AVFormatContext* pFmtCtx = nullptr;
    file_queue::FileQueueRing stVdoQueue;
    file_queue::FileQueueRing stAdoQueue;
    std::int32_t s32VdoStrmIdx = -1;
    std::int32_t s32AdoStrmIdx = -1;
    AVPacket* stPkt = nullptr;  // made on first use, reused for every read
    std::uint32_t u32VdoTmStamp = 33;
    std::uint32_t u32AdoTmStamp = 20;
    std::uint32_t u32StartTm = 0;
    std::uint32_t u32CurrAdoTmStamp = 0;
    std::uint32_t u32CurrVdoTmStamp = 0;
    std::uint8_t u8VdoDecOn = 0;
    std::uint16_t u16VdoType = 0;
    std::uint8_t u8VdoChan = kAnimVdoChan;
    std::uint32_t u32VdoFrmCnt = 0;
    std::uint8_t u8AdoDecOn = 0;
    std::uint16_t u16AdoType = 0;
    std::uint8_t u8AdoChan = kAnimAdoChan;
    std::uint32_t u32AdoBlkCnt = 0;
    // The re-blocking buffer itself is avhub::pu8AdoBuf (made at start-up).
    std::uint32_t u32AdoBufLen = 0;
    std::uint8_t u8Playing = 0;
};

extern PlayMov_t stPlayMov;

// Maps a demultiplexer codec to the decoders' media type and its log word;
// kInvalidMediaType when no decoder takes it.
struct MediaTypeMatch {
    std::uint16_t u16Type;
    const char* word;
};
MediaTypeMatch video_media_type(int codec_id);
MediaTypeMatch audio_media_type(int codec_id);

// Delivers one queued packet (header and payload) to its decoder.
int recv_btsm_proc(std::uint8_t* pu8Buf, std::uint32_t u32Len);
// Writes the 128-byte status record ("finish" for 2) to the UI FIFO.
int send_animation_status(int s32Status);

// start_animation, read_btsm, play_out and the FIFO command entry points are
// declared with the other loop hooks in hooks.hpp.

}  // namespace avhub
