// The command line of the reference decoder that turns encprobe's stored
// stream back into PCM, by audio standard. It is only printed, never run.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

namespace encprobe {

// line = head + stored file + mid + stream id + tail
struct DecoderLine {
    std::uint16_t standard;
    const char* head;
    const char* mid;
    const char* tail;
};

inline constexpr std::array<DecoderLine, 7> kDecoderLines{{
    {5, "./g7221_decoder 0 ", " ./testout-g7221-24kbps-", ".pcm 24000 7000"},
    {6, "./g7221_decoder 0 ", " ./testout-g7221-32kbps-", ".pcm 32000 7000"},
    {7, "./g7221_decoder 0 ", " ./testout-g7221c-24kbps-", ".pcm 24000 14000"},
    {8, "./g7221_decoder 0 ", " ./testout-g7221c-32kbps-", ".pcm 32000 14000"},
    {9, "./g7221_decoder 0 ", " ./testout-g7221c-48kbps-", ".pcm 48000 14000"},
    {11, "./silk_decoder ", " ./testout-silk-", ".pcm -Fs_API 16000"},
    {12, "./g729_decode 1 ", " ./testout-g729-", ".pcm"},
}};

inline const DecoderLine* decoder_line_for(std::uint16_t standard) {
    for (const DecoderLine& d : kDecoderLines) {
        if (d.standard == standard) return &d;
    }
    return nullptr;
}

// Writes the line into out (always terminated); false when the standard has
// no decoder.
inline bool compose_decoder_line(char* out, std::size_t size, std::uint16_t standard, const char* file,
                                 const char* stream_id) {
    const DecoderLine* d = decoder_line_for(standard);
    if (!d || size == 0) return false;
    std::snprintf(out, size, "%s%s%s%s%s", d->head, file, d->mid, stream_id, d->tail);
    return true;
}

}  // namespace encprobe
