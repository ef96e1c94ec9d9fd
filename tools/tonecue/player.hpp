// The prompt player's state and its file handling: the play and stop
// commands from the FIFO and the per-tick streaming step.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "wire/records.hpp"

namespace tonecue {

// Block size in bytes by audio media type (u16Type 0..12).
inline constexpr std::array<std::int32_t, 13> AdoBlkSz{0, 160, 160, 0, 0, 60, 80, 60, 80, 120, 640, 0, 0};
inline constexpr std::int32_t kPromptChannel = 11;
inline constexpr std::int32_t kPromptType = 9;
// Silent ticks counted down between two passes of a looped file.
inline constexpr std::int32_t kLoopPauseTicks = 101;
inline constexpr std::size_t kPathLen = 256;

struct TonecueParam_t {
    std::int32_t s32ChanIdx = 0;
    std::int32_t s32Type = 0;
    std::int32_t s32BlkSz = 0;
    std::int32_t s32Loop = 0;
    std::int32_t s32PauseTicks = 0;
    std::FILE* pFile = nullptr;
    std::array<char, kPathLen> s8Path{};
};

// Decoder channel state as seen from the replies.
enum CodecState : int { kCloseRequested = 0, kClosed = 1, kOpenRequested = 2, kOpen = 3 };

struct Player {
    TonecueParam_t param;
    int codec_st = kClosed;
    std::uint32_t ts = 0;     // the last time stamp sent; the first block carries 1
    std::int32_t pause = -1;  // countdown before a looped file restarts; -1: none
    int dat_fd = -1;
};

// Prefix of every line the player writes to standard error.
#define TONECUE_LOG(fmt, ...) std::fprintf(stderr, "[TONECUE]: " fmt __VA_OPT__(, ) __VA_ARGS__)

void open_ado_file(Player& p);
void close_ado_file(Player& p);
// Executes one FIFO command of len bytes (text is zero-terminated).
void fifo_cmd(Player& p, const char* text, std::size_t len);
// One timer tick while the channel is open: at most one block goes out.
void packet_arrive_ado(Player& p);

}  // namespace tonecue
