// Owning handles for the libavcodec objects the media code uses, and the
// MD5 text of a decoded picture or sound block.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace sim::media {

struct CodecCtxFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecCtx = std::unique_ptr<AVCodecContext, CodecCtxFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// Lower-case hex MD5 of bytes.
std::string md5_hex(std::span<const std::uint8_t> bytes);

// MD5 of a decoded picture's planes packed without padding, row after row
// (the bytes a raw-video writer would produce, so it compares with
// `ffmpeg -f framemd5`). `scratch` is reused between calls.
std::string picture_md5(const AVFrame& f, std::basic_string<std::uint8_t>& scratch);

}  // namespace sim::media
