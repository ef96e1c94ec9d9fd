#include "media/av.hpp"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/md5.h>
}

#include <array>

namespace sim::media {

std::string md5_hex(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 16> sum{};
    av_md5_sum(sum.data(), bytes.data(), bytes.size());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (auto b : sum) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string picture_md5(const AVFrame& f, std::basic_string<std::uint8_t>& scratch) {
    const auto fmt = static_cast<AVPixelFormat>(f.format);
    const int size = av_image_get_buffer_size(fmt, f.width, f.height, 1);
    if (size <= 0) return {};
    scratch.resize(static_cast<std::size_t>(size));
    if (av_image_copy_to_buffer(scratch.data(), size, f.data, f.linesize, fmt, f.width, f.height, 1) < 0) return {};
    return md5_hex(scratch);
}

}  // namespace sim::media
