// The moving test picture the real video encoders send, and the digit font
// that draws frame numbers into pictures and contact sheets.
#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdint>
#include <span>

namespace sim::media {

// Draws frame `n` of the test picture into a YUV 4:2:0 frame: colour bars,
// a white block sweeping across, and the frame number in large digits.
void draw_test_picture(AVFrame& f, std::uint32_t n);

// Draws the decimal `number` into one 8-bit plane at (x, y); each font
// pixel becomes a scale x scale block of value `ink` on a `paper` box.
void draw_number(std::span<std::uint8_t> plane, int stride, int width, int height, int x, int y, int scale,
                 std::uint32_t number, std::uint8_t ink, std::uint8_t paper);

// Width in pixels that draw_number uses for `number` at `scale`.
int number_width(std::uint32_t number, int scale);
inline constexpr int kGlyphHeight = 7;

}  // namespace sim::media
