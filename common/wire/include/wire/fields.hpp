// Field-by-field conversion of the parts every packer shares: CodecCmd bytes
// 4..40 and the PacketHeader fields after the magic. Magic and reserved bytes
// are left to each packer, because the parties treat them differently.
#pragma once

#include <cstdint>

#include "wire/bytes.hpp"
#include "wire/records.hpp"

namespace wire {

constexpr void store_cmd_fields(std::uint8_t* out, const CodecCmd& c) {
    store_be16(out + kOffCmd, c.u16Cmd);
    store_be16(out + kOffType, c.u16Type);
    store_be16(out + kOffVdoWidth, c.u16VdoWidth);
    store_be16(out + kOffVdoHeight, c.u16VdoHeight);
    store_be32(out + kOffVdoEncComplexity, c.u32VdoEncComplexity);
    store_be32(out + kOffVdoEncIFrameInterval, c.u32VdoEncIFrameInterval);
    store_be32(out + kOffVdoEncIFrame, c.u32VdoEncIFrame);
    store_be32(out + kOffVdoEncIMBInsert, c.u32VdoEncIMBInsert);
    store_be32(out + kOffVdoIMBInsertPeriod, c.u32VdoIMBInsertPeriod);
    store_be16(out + kOffBitRate, c.u16BitRate);
    store_be16(out + kOffByteNumPerBlk, c.u16ByteNumPerBlk);
    out[kOffVdoFrRate] = c.u8VdoFrRate;
    out[kOffAgreeFlag] = c.u8AgreeFlag;
    out[kOffChanIdx] = c.u8ChanIdx;
    out[kOffMcuMode] = c.u8McuMode;
    out[kOffDisSectionNum] = c.u8DisSectionNum;
}

constexpr void load_cmd_fields(const std::uint8_t* in, CodecCmd& c) {
    c.u16Cmd = load_be16(in + kOffCmd);
    c.u16Type = load_be16(in + kOffType);
    c.u16VdoWidth = load_be16(in + kOffVdoWidth);
    c.u16VdoHeight = load_be16(in + kOffVdoHeight);
    c.u32VdoEncComplexity = load_be32(in + kOffVdoEncComplexity);
    c.u32VdoEncIFrameInterval = load_be32(in + kOffVdoEncIFrameInterval);
    c.u32VdoEncIFrame = load_be32(in + kOffVdoEncIFrame);
    c.u32VdoEncIMBInsert = load_be32(in + kOffVdoEncIMBInsert);
    c.u32VdoIMBInsertPeriod = load_be32(in + kOffVdoIMBInsertPeriod);
    c.u16BitRate = load_be16(in + kOffBitRate);
    c.u16ByteNumPerBlk = load_be16(in + kOffByteNumPerBlk);
    c.u8VdoFrRate = in[kOffVdoFrRate];
    c.u8AgreeFlag = in[kOffAgreeFlag];
    c.u8ChanIdx = in[kOffChanIdx];
    c.u8McuMode = in[kOffMcuMode];
    c.u8DisSectionNum = in[kOffDisSectionNum];
}

constexpr void store_header_fields(std::uint8_t* out, const PacketHeader& h) {
    out[kOffStreamType] = h.u8StreamType;
    out[kOffStreamCh] = h.u8StreamCh;
    store_be32(out + kOffTimeStamp, h.u32TimeStamp);
    store_be32(out + kOffPacketSize, h.u32PacketSize);
    store_be32(out + kOffGob, h.u32Gob);
}

constexpr void load_header_fields(const std::uint8_t* in, PacketHeader& h) {
    h.u8StreamType = in[kOffStreamType];
    h.u8StreamCh = in[kOffStreamCh];
    h.u32TimeStamp = load_be32(in + kOffTimeStamp);
    h.u32PacketSize = load_be32(in + kOffPacketSize);
    h.u32Gob = load_be32(in + kOffGob);
}

constexpr bool has_magic(const std::uint8_t* in) {
    return in[0] == kMagic[0] && in[1] == kMagic[1] && in[2] == kMagic[2] && in[3] == kMagic[3];
}

}  // namespace wire
