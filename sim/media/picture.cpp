#include "media/picture.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace sim::media {

namespace {

// 5x7 digits, one byte per row, bit 4 the leftmost pixel.
constexpr std::array<std::array<std::uint8_t, 7>, 10> kDigits{{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
}};
constexpr int kGlyphWidth = 5;
constexpr int kGap = 1;

// Colour bars in YUV (white, yellow, cyan, green, magenta, red, blue, black).
struct Yuv {
    std::uint8_t y, u, v;
};
constexpr std::array<Yuv, 8> kBars{{{235, 128, 128},
                                    {210, 16, 146},
                                    {170, 166, 16},
                                    {145, 54, 34},
                                    {106, 202, 222},
                                    {81, 90, 240},
                                    {41, 240, 110},
                                    {16, 128, 128}}};

void fill_rect(std::uint8_t* plane, int stride, int w, int h, int x0, int y0, int rw, int rh, std::uint8_t v) {
    const int x1 = std::min(w, x0 + rw), y1 = std::min(h, y0 + rh);
    for (int y = std::max(0, y0); y < y1; ++y)
        for (int x = std::max(0, x0); x < x1; ++x) plane[y * stride + x] = v;
}

}  // namespace

int number_width(std::uint32_t number, int scale) {
    const int digits = static_cast<int>(std::to_string(number).size());
    return (digits * (kGlyphWidth + kGap) + kGap) * scale;
}

void draw_number(std::span<std::uint8_t> plane, int stride, int width, int height, int x, int y, int scale,
                 std::uint32_t number, std::uint8_t ink, std::uint8_t paper) {
    const std::string text = std::to_string(number);
    const int box_w = number_width(number, scale), box_h = (kGlyphHeight + 2 * kGap) * scale;
    if (plane.size() < static_cast<std::size_t>(stride) * static_cast<std::size_t>(height)) return;
    fill_rect(plane.data(), stride, width, height, x, y, box_w, box_h, paper);
    int gx = x + kGap * scale;
    for (char c : text) {
        const auto& glyph = kDigits[static_cast<std::size_t>(c - '0')];
        for (int r = 0; r < kGlyphHeight; ++r)
            for (int col = 0; col < kGlyphWidth; ++col)
                if (glyph[static_cast<std::size_t>(r)] & (0x10 >> col))
                    fill_rect(plane.data(), stride, width, height, gx + col * scale, y + (r + kGap) * scale, scale,
                              scale, ink);
        gx += (kGlyphWidth + kGap) * scale;
    }
}

void draw_test_picture(AVFrame& f, std::uint32_t n) {
    const int w = f.width, h = f.height;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = f.data[0] + y * f.linesize[0];
        for (int x = 0; x < w; ++x) row[x] = kBars[static_cast<std::size_t>(x * 8 / w)].y;
    }
    for (int y = 0; y < h / 2; ++y) {
        std::uint8_t* u = f.data[1] + y * f.linesize[1];
        std::uint8_t* v = f.data[2] + y * f.linesize[2];
        for (int x = 0; x < w / 2; ++x) {
            const auto& bar = kBars[static_cast<std::size_t>(x * 16 / w)];
            u[x] = bar.u;
            v[x] = bar.v;
        }
    }
    // A block one eighth of the width sweeps across the lower half, one
    // step per frame, so that motion shows frame by frame.
    const int bw = std::max(2, w / 8) & ~1, bh = std::max(2, h / 4) & ~1;
    const int travel = std::max(1, w - bw);
    const int pos = static_cast<int>((n * static_cast<std::uint32_t>(std::max(2, w / 64))) % static_cast<std::uint32_t>(2 * travel));
    const int bx = (pos < travel ? pos : 2 * travel - pos) & ~1;
    const int by = (h / 2 + h / 8) & ~1;
    fill_rect(f.data[0], f.linesize[0], w, h, bx, by, bw, bh, 235);
    fill_rect(f.data[1], f.linesize[1], w / 2, h / 2, bx / 2, by / 2, bw / 2, bh / 2, 128);
    fill_rect(f.data[2], f.linesize[2], w / 2, h / 2, bx / 2, by / 2, bw / 2, bh / 2, 128);
    // The frame number, large, top left, on a black box with neutral colour.
    const int scale = std::max(1, h / 48);
    const int nx = std::max(2, w / 32) & ~1, ny = std::max(2, h / 24) & ~1;
    const std::size_t luma = static_cast<std::size_t>(f.linesize[0]) * static_cast<std::size_t>(h);
    draw_number({f.data[0], luma}, f.linesize[0], w, h, nx, ny, scale, n, 235, 16);
    const int cw = number_width(n, scale), ch = (kGlyphHeight + 2) * scale;
    fill_rect(f.data[1], f.linesize[1], w / 2, h / 2, nx / 2, ny / 2, (cw + 1) / 2, (ch + 1) / 2, 128);
    fill_rect(f.data[2], f.linesize[2], w / 2, h / 2, nx / 2, ny / 2, (cw + 1) / 2, (ch + 1) / 2, 128);
}

}  // namespace sim::media
