// In-memory forms of the two wire records. Wire bytes are never cast to
// these structs: each packer encodes and decodes field by field.
#pragma once

#include <array>
#include <cstdint>

#include "wire/codes.hpp"

namespace wire {

struct PacketHeader {
    std::array<std::uint8_t, 4> magic{};
    std::uint8_t u8StreamType = 0;
    std::uint8_t u8StreamCh = 0;
    std::uint32_t u32TimeStamp = 0;
    std::uint32_t u32PacketSize = 0;
    std::uint32_t u32Gob = 0;
};

// Field order and widths match the wire layout; laid out naturally the
// record has no gaps, so every field sits at its wire offset.
struct CodecCmd {
    std::array<std::uint8_t, 4> magic{};
    std::uint16_t u16Cmd = 0;
    std::uint16_t u16Type = 0;
    std::uint16_t u16VdoWidth = 0;
    std::uint16_t u16VdoHeight = 0;
    std::uint32_t u32VdoEncComplexity = 0;
    std::uint32_t u32VdoEncIFrameInterval = 0;
    std::uint32_t u32VdoEncIFrame = 0;
    std::uint32_t u32VdoEncIMBInsert = 0;
    std::uint32_t u32VdoIMBInsertPeriod = 0;
    std::uint16_t u16BitRate = 0;
    std::uint16_t u16ByteNumPerBlk = 0;
    std::uint8_t u8VdoFrRate = 0;
    std::uint8_t u8AgreeFlag = 0;
    std::uint8_t u8ChanIdx = 0;
    std::uint8_t u8McuMode = 0;
    std::uint8_t u8DisSectionNum = 0;
    std::array<std::uint8_t, 7> reserved{};
};

static_assert(sizeof(CodecCmd) == kCodecCmdSize, "CodecCmd must be laid out without gaps");
static_assert(kPacketHeaderSize == 4 + 1 + 1 + 4 + 4 + 4, "PacketHeader is 18 bytes on the wire");

// CodecCmd wire offsets.
inline constexpr std::size_t kOffCmd = 4;
inline constexpr std::size_t kOffType = 6;
inline constexpr std::size_t kOffVdoWidth = 8;
inline constexpr std::size_t kOffVdoHeight = 10;
inline constexpr std::size_t kOffVdoEncComplexity = 12;
inline constexpr std::size_t kOffVdoEncIFrameInterval = 16;
inline constexpr std::size_t kOffVdoEncIFrame = 20;
inline constexpr std::size_t kOffVdoEncIMBInsert = 24;
inline constexpr std::size_t kOffVdoIMBInsertPeriod = 28;
inline constexpr std::size_t kOffBitRate = 32;
inline constexpr std::size_t kOffByteNumPerBlk = 34;
inline constexpr std::size_t kOffVdoFrRate = 36;
inline constexpr std::size_t kOffAgreeFlag = 37;
inline constexpr std::size_t kOffChanIdx = 38;
inline constexpr std::size_t kOffMcuMode = 39;
inline constexpr std::size_t kOffDisSectionNum = 40;
inline constexpr std::size_t kOffReserved = 41;

}  // namespace wire
