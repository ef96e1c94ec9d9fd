#include "media/sheet.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>

#include "media/picture.hpp"

namespace sim::media {

namespace {

constexpr std::size_t kStore = 2 * ContactSheet::kTiles;
constexpr int kColumns = 4;
constexpr int kPad = 4;
constexpr int kLabelScale = 2;
constexpr int kLabelHeight = (kGlyphHeight + 2) * kLabelScale;

std::uint8_t clamp8(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

ContactSheet::Thumb ContactSheet::thumb(const AVFrame& f, std::uint32_t n) {
    Thumb t;
    t.n = n;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f.format));
    // Planar YUV only (what the decoders here give); anything else shows grey.
    const bool yuv = d != nullptr && (d->flags & AV_PIX_FMT_FLAG_PLANAR) && d->nb_components >= 3 &&
                     !(d->flags & AV_PIX_FMT_FLAG_RGB);
    const int step = std::max(1, (f.width + kThumbWidth - 1) / kThumbWidth);
    t.w = std::max(1, f.width / step);
    t.h = std::max(1, f.height / step);
    t.rgb.assign(static_cast<std::size_t>(t.w * t.h * 3), 128);
    if (!yuv) return t;
    for (int y = 0; y < t.h; ++y) {
        const int sy = y * step;
        for (int x = 0; x < t.w; ++x) {
            const int sx = x * step;
            const int Y = f.data[0][sy * f.linesize[0] + sx] - 16;
            const int cy = sy >> d->log2_chroma_h, cx = sx >> d->log2_chroma_w;
            const int U = f.data[1][cy * f.linesize[1] + cx] - 128;
            const int V = f.data[2][cy * f.linesize[2] + cx] - 128;
            // BT.601 limited range to RGB, in integers.
            std::uint8_t* p = &t.rgb[static_cast<std::size_t>((y * t.w + x) * 3)];
            p[0] = clamp8((298 * Y + 409 * V + 128) >> 8);
            p[1] = clamp8((298 * Y - 100 * U - 208 * V + 128) >> 8);
            p[2] = clamp8((298 * Y + 516 * U + 128) >> 8);
        }
    }
    return t;
}

void ContactSheet::add(const AVFrame& f, std::uint32_t n) {
    ++count_;
    last_ = thumb(f, n);
    if (n % stride_ != 0) return;
    kept_.push_back(last_);
    if (kept_.size() < kStore) return;
    // Full: keep every other one and take every other picture from now on.
    std::vector<Thumb> half;
    for (std::size_t i = 0; i < kept_.size(); i += 2) half.push_back(std::move(kept_[i]));
    kept_ = std::move(half);
    stride_ *= 2;
}

std::vector<const ContactSheet::Thumb*> ContactSheet::chosen() const {
    std::vector<const Thumb*> out;
    if (kept_.empty()) return out;
    // kept_ starts with the first picture; the last picture closes the sheet.
    const bool last_kept = kept_.back().n == last_.n;
    const std::size_t between = kTiles - (last_kept ? 0 : 1);
    const std::size_t take = std::min(between, kept_.size());
    for (std::size_t i = 0; i < take; ++i) {
        const std::size_t at = take == 1 ? 0 : i * (kept_.size() - 1) / (take - 1);
        if (out.empty() || out.back() != &kept_[at]) out.push_back(&kept_[at]);
    }
    if (!last_kept) out.push_back(&last_);
    return out;
}

std::vector<std::uint32_t> ContactSheet::numbers() const {
    std::vector<std::uint32_t> out;
    for (const Thumb* t : chosen()) out.push_back(t->n);
    return out;
}

bool ContactSheet::write_png(const std::string& path) const {
    const auto tiles = chosen();
    if (tiles.empty()) return false;
    int tw = 0, th = 0;
    for (const Thumb* t : tiles) {
        tw = std::max(tw, t->w);
        th = std::max(th, t->h);
    }
    const int cols = std::min<int>(kColumns, static_cast<int>(tiles.size()));
    const int rows = (static_cast<int>(tiles.size()) + cols - 1) / cols;
    const int cell_w = tw + kPad, cell_h = th + kLabelHeight + kPad;
    const int W = (cols * cell_w + kPad + 1) & ~1, H = (rows * cell_h + kPad + 1) & ~1;

    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (png == nullptr) return false;
    CodecCtx ctx(avcodec_alloc_context3(png));
    Frame frame(av_frame_alloc());
    Packet pkt(av_packet_alloc());
    if (!ctx || !frame || !pkt) return false;
    ctx->width = W;
    ctx->height = H;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 1};
    if (avcodec_open2(ctx.get(), png, nullptr) < 0) return false;
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = W;
    frame->height = H;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
    for (int y = 0; y < H; ++y) std::fill_n(frame->data[0] + y * frame->linesize[0], W * 3, std::uint8_t{40});

    // Labels are drawn in one grey plane, then copied into all three colours.
    std::vector<std::uint8_t> label;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const Thumb& t = *tiles[i];
        const int x0 = kPad + static_cast<int>(i % static_cast<std::size_t>(cols)) * cell_w;
        const int y0 = kPad + static_cast<int>(i / static_cast<std::size_t>(cols)) * cell_h;
        for (int y = 0; y < t.h; ++y)
            std::copy_n(&t.rgb[static_cast<std::size_t>(y * t.w * 3)], t.w * 3,
                        frame->data[0] + (y0 + y) * frame->linesize[0] + x0 * 3);
        const int lw = std::min(tw, number_width(t.n, kLabelScale));
        label.assign(static_cast<std::size_t>(lw * kLabelHeight), 0);
        draw_number(label, lw, lw, kLabelHeight, 0, 0, kLabelScale, t.n, 255, 0);
        for (int y = 0; y < kLabelHeight; ++y)
            for (int x = 0; x < lw; ++x) {
                std::uint8_t* p = frame->data[0] + (y0 + t.h + y) * frame->linesize[0] + (x0 + x) * 3;
                p[0] = p[1] = p[2] = label[static_cast<std::size_t>(y * lw + x)];
            }
    }
    if (avcodec_send_frame(ctx.get(), frame.get()) < 0 || avcodec_send_frame(ctx.get(), nullptr) < 0) return false;
    if (avcodec_receive_packet(ctx.get(), pkt.get()) < 0) return false;
    const std::string part = path + ".part";
    std::FILE* out = std::fopen(part.c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(pkt->data, 1, static_cast<std::size_t>(pkt->size), out) ==
                    static_cast<std::size_t>(pkt->size);
    if (std::fclose(out) != 0 || !ok) {
        std::remove(part.c_str());
        return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
}

}  // namespace sim::media
