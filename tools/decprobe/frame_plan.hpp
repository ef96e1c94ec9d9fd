// How decprobe cuts its input file per audio standard and test pattern: the
// frame length of each packet, the interval between packets, and which file
// is read. The arithmetic is unsigned 32-bit, the multiples made by shifts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace decprobe {

struct FramePlan {
    std::uint32_t frame_len = 0;      // bytes read from the file per packet
    std::uint32_t interval_us = 0;    // time between two packets
    const char* fixed_file = nullptr;  // read this file instead of the input path
    const char* log_text = nullptr;    // system log line at LOG_INFO, or none
    bool quiet_open = false;           // opening prints " file open " instead
};

enum class PlanKind { Send, NoFile, Unsupported };

struct PlanResult {
    PlanKind kind = PlanKind::Unsupported;
    FramePlan plan;
};

// G.711 (standards 1, 2): 20 to 60 ms of 8 kHz samples per packet.
struct G711Row {
    std::uint32_t frame_len;
    std::uint32_t mul;    // interval = (speed * mul) >> shift
    std::uint32_t shift;
    const char* log_text;
};
inline constexpr std::array<G711Row, 5> kG711Rows{{
    {160, 1, 0, "CMD: start decode G711 8K 20M\n"},
    {240, 5, 2, "CMD: start decode G711 8K 30m\n"},
    {320, 2, 0, "CMD: start decode G711 8K 40m\n"},
    {400, 5, 1, "CMD: start decode G711 8K 50m\n"},
    {480, 3, 0, "CMD: start decode G711 8K 60m\n"},
}};

// G.722.1 and Annex C (standards 5 to 9): pattern + 1 frames per packet.
struct FrameUnitRow {
    std::uint16_t standard;
    std::uint32_t unit;  // bytes of one 20 ms frame
};
inline constexpr std::array<FrameUnitRow, 5> kFrameUnits{{
    {5, 60}, {6, 80}, {7, 60}, {8, 80}, {9, 120},
}};
inline constexpr std::uint32_t kMaxFramesPerPacket = 10;

inline constexpr std::uint16_t kPcmStandard = 10;
inline constexpr std::uint32_t kPcmFrameLen = 1920;
inline constexpr const char* kPcmFile = "audio/out_48k.pcm";

constexpr PlanResult plan_for(std::uint16_t standard, std::uint32_t pattern, std::uint32_t speed) {
    PlanResult r;
    if (standard == 1 || standard == 2) {
        if (pattern >= kG711Rows.size()) {
            r.kind = PlanKind::NoFile;
            return r;
        }
        const G711Row& row = kG711Rows[pattern];
        r.kind = PlanKind::Send;
        r.plan.frame_len = row.frame_len;
        r.plan.interval_us = (speed * row.mul) >> row.shift;
        r.plan.log_text = row.log_text;
        r.plan.quiet_open = standard == 1 && pattern == 2;
        return r;
    }
    for (const FrameUnitRow& row : kFrameUnits) {
        if (row.standard != standard) continue;
        const std::uint32_t frames = pattern > kMaxFramesPerPacket - 2 ? kMaxFramesPerPacket : pattern + 1;
        r.kind = PlanKind::Send;
        r.plan.frame_len = row.unit * frames;
        r.plan.interval_us = speed * frames;
        return r;
    }
    if (standard == kPcmStandard) {
        r.kind = PlanKind::Send;
        r.plan.frame_len = kPcmFrameLen;
        r.plan.interval_us = speed;
        r.plan.fixed_file = kPcmFile;
        return r;
    }
    return r;
}

}  // namespace decprobe
