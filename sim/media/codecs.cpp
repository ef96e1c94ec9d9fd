#include "media/codecs.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "media/picture.hpp"
#include "wire/codes.hpp"

namespace sim::media {

namespace {

constexpr std::array<AudioStandard, 4> kAudio{{
    {wire::STD_G711U, AV_CODEC_ID_PCM_MULAW, 8000, "g711u", 1, 1},
    {wire::STD_G711A, AV_CODEC_ID_PCM_ALAW, 8000, "g711a", 1, 1},
    {wire::STD_G722, AV_CODEC_ID_ADPCM_G722, 16000, "g722", 2, 1},
    {wire::STD_PCM, AV_CODEC_ID_PCM_S16LE, 16000, "pcm", 1, 2},
}};

// The picture sizes H.263 and H.261 can code (sub-QCIF to 16CIF; QCIF, CIF).
struct Size {
    int w, h;
};
constexpr std::array<Size, 5> kH263Sizes{{{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}}};
constexpr std::array<Size, 2> kH261Sizes{{{176, 144}, {352, 288}}};

// The video standards of the codec link and what codes them; `sizes`
// empty: any size.
struct VideoStandard {
    std::uint16_t type;
    const char* name;
    AVCodecID decoder;
    const char* encoder;  // by name: H.264 must be libx264, not another
    std::span<const Size> sizes;
};
constexpr std::array<VideoStandard, 4> kVideo{{
    {wire::STD_H264, "h264", AV_CODEC_ID_H264, "libx264", {}},
    {wire::STD_VIDEO_53, "h264", AV_CODEC_ID_H264, "libx264", {}},
    {wire::STD_H263, "h263", AV_CODEC_ID_H263, "h263", kH263Sizes},
    {wire::STD_H261, "h261", AV_CODEC_ID_H261, "h261", kH261Sizes},
}};

struct VideoCodec {
    const AVCodec* codec = nullptr;
    const char* name = "";
};

VideoCodec find_video(std::uint16_t type, bool encoder, int w, int h, std::string& why) {
    const VideoStandard* s = nullptr;
    for (const auto& v : kVideo)
        if (v.type == type) s = &v;
    if (s == nullptr) {
        why = "no codec for video type " + std::to_string(type);
        return {};
    }
    if (encoder && !s->sizes.empty() &&
        std::none_of(s->sizes.begin(), s->sizes.end(), [&](const Size& z) { return z.w == w && z.h == h; })) {
        why = std::string(s->name) + " cannot code " + std::to_string(w) + "x" + std::to_string(h);
        return {};
    }
    VideoCodec v{encoder ? avcodec_find_encoder_by_name(s->encoder) : avcodec_find_decoder(s->decoder), s->name};
    if (v.codec == nullptr) why = std::string("libavcodec has no ") + v.name + (encoder ? " encoder" : " decoder");
    return v;
}

}  // namespace

void quiet_libav() { av_log_set_level(AV_LOG_QUIET); }

// ---- video

std::unique_ptr<VideoEncoder> VideoEncoder::open(const VideoParams& p, std::string& why) {
    if (p.width < 16 || p.height < 16 || p.width % 2 || p.height % 2 || p.width > 4096 || p.height > 4096) {
        why = "picture size " + std::to_string(p.width) + "x" + std::to_string(p.height) + " not codable";
        return nullptr;
    }
    const VideoCodec vc = find_video(p.type, true, p.width, p.height, why);
    if (vc.codec == nullptr) return nullptr;
    std::unique_ptr<VideoEncoder> e(new VideoEncoder);
    e->name_ = vc.name;
    e->ctx_.reset(avcodec_alloc_context3(vc.codec));
    e->frame_.reset(av_frame_alloc());
    e->pkt_.reset(av_packet_alloc());
    if (!e->ctx_ || !e->frame_ || !e->pkt_) {
        why = "out of memory";
        return nullptr;
    }
    AVCodecContext* c = e->ctx_.get();
    const int fps = p.fps > 0 ? p.fps : 30;
    c->width = p.width;
    c->height = p.height;
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->bit_rate = static_cast<std::int64_t>(p.kbps > 0 ? p.kbps : 512) * 1000;
    c->gop_size = p.gop > 0 ? p.gop : 2 * fps;
    c->max_b_frames = 0;
    c->thread_count = 1;
    if (std::strcmp(vc.name, "h264") == 0) {
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    }
    if (avcodec_open2(c, vc.codec, nullptr) < 0) {
        why = std::string("cannot open the ") + vc.name + " encoder";
        return nullptr;
    }
    AVFrame* f = e->frame_.get();
    f->format = c->pix_fmt;
    f->width = c->width;
    f->height = c->height;
    if (av_frame_get_buffer(f, 0) < 0) {
        why = "out of memory";
        return nullptr;
    }
    return e;
}

VideoEncoder::~VideoEncoder() = default;

int VideoEncoder::encode(std::uint32_t n, Bytes& out) {
    out.clear();
    if (av_frame_make_writable(frame_.get()) < 0) return -1;
    draw_test_picture(*frame_, n);
    frame_->pts = n;
    if (avcodec_send_frame(ctx_.get(), frame_.get()) < 0) return -1;
    for (;;) {
        const int r = avcodec_receive_packet(ctx_.get(), pkt_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) return -1;
        out.append(pkt_->data, static_cast<std::size_t>(pkt_->size));
        av_packet_unref(pkt_.get());
    }
    return 0;
}

std::unique_ptr<VideoDecoder> VideoDecoder::open(std::uint16_t type, std::string& why) {
    const VideoCodec vc = find_video(type, false, 0, 0, why);
    if (vc.codec == nullptr) return nullptr;
    std::unique_ptr<VideoDecoder> d(new VideoDecoder);
    d->name_ = vc.name;
    d->ctx_.reset(avcodec_alloc_context3(vc.codec));
    d->frame_.reset(av_frame_alloc());
    d->pkt_.reset(av_packet_alloc());
    if (!d->ctx_ || !d->frame_ || !d->pkt_) {
        why = "out of memory";
        return nullptr;
    }
    // One thread and low delay: a picture comes out for each frame that
    // goes in, as a hardware decoder behind a live call would show it.
    d->ctx_->thread_count = 1;
    d->ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(d->ctx_.get(), vc.codec, nullptr) < 0) {
        why = std::string("cannot open the ") + vc.name + " decoder";
        return nullptr;
    }
    return d;
}

VideoDecoder::~VideoDecoder() = default;

int VideoDecoder::drain(const PictureSink& sink) {
    int errors = 0;
    for (;;) {
        const int r = avcodec_receive_frame(ctx_.get(), frame_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++errors;
            break;
        }
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) || frame_->decode_error_flags) ++errors;
        sink(*frame_, picture_md5(*frame_, scratch_));
        av_frame_unref(frame_.get());
    }
    return errors;
}

int VideoDecoder::decode(std::span<const std::uint8_t> chunk, const PictureSink& sink) {
    if (chunk.empty()) return 0;
    // The decoder reads up to its padding past the end: copy into a padded
    // packet rather than lend the caller's bytes.
    if (av_new_packet(pkt_.get(), static_cast<int>(chunk.size())) < 0) return 1;
    std::memcpy(pkt_->data, chunk.data(), chunk.size());
    const int r = avcodec_send_packet(ctx_.get(), pkt_.get());
    av_packet_unref(pkt_.get());
    return (r < 0 ? 1 : 0) + drain(sink);
}

// ---- audio

const AudioStandard* audio_standard(std::uint16_t type) {
    for (const auto& s : kAudio)
        if (s.type == type) return &s;
    return nullptr;
}

std::int16_t tone_sample(std::uint64_t n, int rate) {
    static constexpr std::array<double, 8> kNotes{440.0, 494.0, 523.0, 587.0, 659.0, 698.0, 784.0, 880.0};
    const std::uint64_t note = (n / static_cast<std::uint64_t>(rate / 4)) % kNotes.size();
    const double t = static_cast<double>(n) / rate;
    return static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * kNotes[note] * t)));
}

namespace {

bool open_audio_ctx(CodecCtx& ctx, const AVCodec* codec, const AudioStandard& s, int frame_size) {
    ctx.reset(avcodec_alloc_context3(codec));
    if (!ctx) return false;
    ctx->sample_rate = s.rate;
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->bit_rate = 0;
    if (frame_size > 0) ctx->frame_size = frame_size;
    return avcodec_open2(ctx.get(), codec, nullptr) >= 0;
}

}  // namespace

std::unique_ptr<AudioEncoder> AudioEncoder::open(std::uint16_t type, std::size_t block_bytes, std::string& why) {
    const AudioStandard* s = audio_standard(type);
    if (s == nullptr) {
        why = "no audio encoder for type " + std::to_string(type);
        return nullptr;
    }
    const int samples = static_cast<int>(block_bytes) * s->samples_per_byte_num / s->samples_per_byte_den;
    if (samples < 2 || samples > 16384 || samples % 2) {
        why = "block of " + std::to_string(block_bytes) + " bytes not codable as " + s->name;
        return nullptr;
    }
    const AVCodec* codec = avcodec_find_encoder(static_cast<AVCodecID>(s->codec_id));
    std::unique_ptr<AudioEncoder> e(new AudioEncoder);
    e->std_ = s;
    e->block_ = block_bytes;
    e->samples_ = samples;
    e->frame_.reset(av_frame_alloc());
    e->pkt_.reset(av_packet_alloc());
    if (codec == nullptr || !e->frame_ || !e->pkt_ || !open_audio_ctx(e->ctx_, codec, *s, samples)) {
        why = std::string("cannot open the ") + s->name + " encoder";
        return nullptr;
    }
    AVFrame* f = e->frame_.get();
    f->format = AV_SAMPLE_FMT_S16;
    f->sample_rate = s->rate;
    f->nb_samples = samples;
    av_channel_layout_default(&f->ch_layout, 1);
    if (av_frame_get_buffer(f, 0) < 0) {
        why = "out of memory";
        return nullptr;
    }
    return e;
}

AudioEncoder::~AudioEncoder() = default;

int AudioEncoder::encode(Bytes& out) {
    out.clear();
    if (av_frame_make_writable(frame_.get()) < 0) return -1;
    auto* pcm = reinterpret_cast<std::int16_t*>(frame_->data[0]);
    for (int i = 0; i < samples_; ++i) pcm[i] = tone_sample(sample_no_ + static_cast<std::uint64_t>(i), std_->rate);
    frame_->pts = static_cast<std::int64_t>(sample_no_);
    sample_no_ += static_cast<std::uint64_t>(samples_);
    if (avcodec_send_frame(ctx_.get(), frame_.get()) < 0) return -1;
    for (;;) {
        const int r = avcodec_receive_packet(ctx_.get(), pkt_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) return -1;
        out.append(pkt_->data, static_cast<std::size_t>(pkt_->size));
        av_packet_unref(pkt_.get());
    }
    // Every block has the size the open asked for.
    out.resize(block_, 0);
    return 0;
}

std::unique_ptr<AudioDecoder> AudioDecoder::open(std::uint16_t type, std::string& why) {
    const AudioStandard* s = audio_standard(type);
    if (s == nullptr) {
        why = "no audio decoder for type " + std::to_string(type);
        return nullptr;
    }
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(s->codec_id));
    std::unique_ptr<AudioDecoder> d(new AudioDecoder);
    d->std_ = s;
    d->frame_.reset(av_frame_alloc());
    d->pkt_.reset(av_packet_alloc());
    if (codec == nullptr || !d->frame_ || !d->pkt_ || !open_audio_ctx(d->ctx_, codec, *s, 0)) {
        why = std::string("cannot open the ") + s->name + " decoder";
        return nullptr;
    }
    return d;
}

AudioDecoder::~AudioDecoder() = default;

int AudioDecoder::decode(std::span<const std::uint8_t> block, std::vector<std::int16_t>& pcm) {
    if (block.empty()) return 0;
    if (av_new_packet(pkt_.get(), static_cast<int>(block.size())) < 0) return 1;
    std::memcpy(pkt_->data, block.data(), block.size());
    int errors = avcodec_send_packet(ctx_.get(), pkt_.get()) < 0 ? 1 : 0;
    av_packet_unref(pkt_.get());
    for (;;) {
        const int r = avcodec_receive_frame(ctx_.get(), frame_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++errors;
            break;
        }
        if (frame_->format == AV_SAMPLE_FMT_S16) {
            const auto* s = reinterpret_cast<const std::int16_t*>(frame_->data[0]);
            pcm.insert(pcm.end(), s, s + frame_->nb_samples);
        } else {
            ++errors;
        }
        av_frame_unref(frame_.get());
    }
    return errors;
}

}  // namespace sim::media
