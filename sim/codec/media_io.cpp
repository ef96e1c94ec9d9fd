// Real media in the codec servers (--real-media): the encoders code a test
// picture and a tone sequence with libavcodec and decode their own output
// (what the far end must see), the decoders decode what they receive. Both
// sides record an MD5 per decoded picture (ev=picture) and per decoded
// audio block (ev=sound); the decoders keep a contact sheet PNG per video
// stream and a WAV file per audio channel in the record directory.
#include <cstdio>
#include <string>

#include "codec/codec_role.hpp"
#include "media/av.hpp"

namespace sim::codec {

namespace {

// WAV headers are brought up to date about once a second of sound.
constexpr std::uint32_t kWavSyncBlocks = 50;
// Payload bytes waiting to be decoded beyond which the reader decodes
// before it reads on: the queue stays bounded however far decoding lags.
constexpr std::size_t kMaxQueuedBytes = 64u << 20;

std::span<const std::uint8_t> as_bytes(std::span<const std::int16_t> pcm) {
    return {reinterpret_cast<const std::uint8_t*>(pcm.data()), pcm.size_bytes()};
}

}  // namespace

std::string CodecRole::wav_path(std::size_t strm, std::uint8_t ch) const {
    return ctx_.settings.record_dir + "/" + std::string(kEndpoints[strm].name) + ".ch" + std::to_string(ch) + ".wav";
}

void CodecRole::open_real_encoder(Stream& s) {
    s.venc.reset();
    s.vself.reset();
    s.aenc.reset();
    s.aself.reset();
    s.decoded = 0;
    std::string why;
    if (s.video) {
        media::VideoParams p;
        p.type = s.type;
        p.width = s.width;
        p.height = s.height;
        p.fps = s.fps ? s.fps : 30;
        p.kbps = s.bitrate;
        s.venc = media::VideoEncoder::open(p, why);
        if (s.venc) s.vself = media::VideoDecoder::open(s.type, why);
        if (s.venc && s.vself) {
            s.media = s.venc->name();
            return;
        }
    } else if (s.bytes > 0) {
        s.aenc = media::AudioEncoder::open(s.type, s.bytes, why);
        if (s.aenc) s.aself = media::AudioDecoder::open(s.type, why);
        if (s.aenc && s.aself) {
            s.media = s.aenc->standard().name;
            return;
        }
    } else {
        why = "no block length";
    }
    s.venc.reset();
    s.aenc.reset();
    // The record says why this stream carries synthetic bytes.
    s.media = "synthetic(" + why + ")";
    for (auto& c : s.media)
        if (c == ' ') c = '_';
}

bool CodecRole::real_payload(Stream& s, media::Bytes& out) {
    if (s.venc) {
        if (s.venc->encode(s.number, out) < 0) out.clear();
        s.vself->decode(out, [&](const AVFrame&, const std::string& md5) {
            record_picture(s.ep, s.ch, s.decoded++, md5);
        });
        return true;
    }
    if (s.aenc) {
        if (s.aenc->encode(out) < 0) out.assign(s.bytes, 0);
        pcm_.clear();
        s.aself->decode(out, pcm_);
        record_sound(s.ep, s.ch, s.decoded++, pcm_);
        return true;
    }
    return false;
}

void CodecRole::record_picture(std::size_t ep, std::uint8_t ch, std::uint32_t n, const std::string& md5) {
    core::Line line("picture");
    line.kv("ep", kEndpoints[ep].name).kv("t", core::now_us()).kv("ch", ch).kv("n", n).kv("md5", md5);
    ctx_.rec.write(line);
}

void CodecRole::record_sound(std::size_t ep, std::uint8_t ch, std::uint32_t n, std::span<const std::int16_t> pcm) {
    core::Line line("sound");
    line.kv("ep", kEndpoints[ep].name).kv("t", core::now_us()).kv("ch", ch).kv("n", n)
        .kv("samples", static_cast<long long>(pcm.size())).kv("md5", media::md5_hex(as_bytes(pcm)));
    ctx_.rec.write(line);
}

void CodecRole::open_decoding(std::size_t strm, std::uint8_t ch, std::uint16_t type) {
    queue_decoding({.kind = DecodeWork::Open, .strm = strm, .ch = ch, .type = type});
}

void CodecRole::close_decoding(std::size_t strm, std::uint8_t ch) {
    queue_decoding({.kind = DecodeWork::Close, .strm = strm, .ch = ch});
}

void CodecRole::decode_chunk(std::size_t strm, const wire::PacketHeader& h, std::span<const std::uint8_t> payload) {
    queue_decoding({.kind = DecodeWork::Chunk,
                    .strm = strm,
                    .ch = h.u8StreamCh,
                    .header = h,
                    .payload = {payload.begin(), payload.end()}});
}

void CodecRole::queue_decoding(DecodeWork work) {
    if (!ctx_.settings.real_media) return;
    queued_bytes_ += work.payload.size();
    decode_queue_.push_back(std::move(work));
    while (queued_bytes_ > kMaxQueuedBytes) decode_next();
    schedule_decoding();
}

// One item a loop turn, after the turn's reads.
void CodecRole::schedule_decoding() {
    if (decode_timer_ != 0 || decode_queue_.empty()) return;
    decode_timer_ = ctx_.loop.after_ms(0, [this] {
        decode_timer_ = 0;
        decode_next();
        schedule_decoding();
    });
}

void CodecRole::decode_next() {
    if (decode_queue_.empty()) return;
    DecodeWork w = std::move(decode_queue_.front());
    decode_queue_.pop_front();
    queued_bytes_ -= w.payload.size();
    if (w.kind == DecodeWork::Open) {
        start_decoding(w.strm, w.ch, w.type);
    } else if (w.kind == DecodeWork::Close) {
        auto it = decoding_.find({w.strm, w.ch});
        if (it != decoding_.end()) end_sheet(w.strm, w.ch, it->second);
    } else {
        decode_now(w.strm, w.header, w.payload);
    }
}

void CodecRole::start_decoding(std::size_t strm, std::uint8_t ch, std::uint16_t type) {
    const StreamKey key{strm, ch};
    auto it = decoding_.find(key);
    if (it != decoding_.end()) end_sheet(strm, ch, it->second);
    Decoding d;
    std::string why;
    const bool video = kEndpoints[strm].group != Group::Audio;
    // An open of the same standard keeps the decoder itself, as a hardware
    // decoder would: what is still on its way from the stream before
    // decodes on, and a restarted encoder begins with an intra picture.
    if (it != decoding_.end() && it->second.type == type) {
        d.video = std::move(it->second.video);
        d.audio = std::move(it->second.audio);
    } else if (video) {
        d.video = media::VideoDecoder::open(type, why);
    } else {
        d.audio = media::AudioDecoder::open(type, why);
    }
    if (video) d.sheet = std::make_unique<media::ContactSheet>();
    d.type = type;
    d.serial = ++sheet_serial_[key];
    core::Line line("decoder");
    line.kv("ep", kEndpoints[strm].name).kv("t", core::now_us()).kv("ch", ch).kv("state", "open")
        .kv("u16Type", type).kv("media", d.video ? d.video->name() : d.audio ? d.audio->standard().name : "none");
    if (!why.empty()) line.kv("why", why);
    ctx_.rec.write(line);
    decoding_.insert_or_assign(key, std::move(d));
}

// Closes the stream's contact sheet (and brings its WAV file up to date);
// the decoder stays, so frames still in flight after a close are decoded
// and counted too, until the next open or the end of the run.
void CodecRole::end_sheet(std::size_t strm, std::uint8_t ch, Decoding& d) {
    if (d.ended && d.ended_at == d.decoded + d.errors) return;
    d.ended = true;
    d.ended_at = d.decoded + d.errors;
    core::Line line("decoder");
    line.kv("ep", kEndpoints[strm].name).kv("t", core::now_us()).kv("ch", ch).kv("state", "end")
        .kv("serial", d.serial).kv("decoded", d.decoded).kv("errors", d.errors);
    if (d.sheet && d.sheet->pictures() > 0) {
        const std::string path = ctx_.settings.record_dir + "/" + std::string(kEndpoints[strm].name) + ".ch" +
                                 std::to_string(ch) + "." + std::to_string(d.serial) + ".png";
        line.kv("sheet", d.sheet->write_png(path) ? path : "unwritten");
    }
    auto wav = wavs_.find(ch);
    if (d.audio && wav != wavs_.end()) {
        wav->second.sync();
        line.kv("wav", wav_path(strm, ch));
    }
    ctx_.rec.write(line);
}

void CodecRole::finish_decoding() {
    while (!decode_queue_.empty()) decode_next();
    for (auto& [key, d] : decoding_) end_sheet(key.first, key.second, d);
    for (auto& [ch, wav] : wavs_) wav.close();
}

void CodecRole::decode_now(std::size_t strm, const wire::PacketHeader& h, std::span<const std::uint8_t> payload) {
    auto it = decoding_.find({strm, h.u8StreamCh});
    if (it == decoding_.end()) return;
    Decoding& d = it->second;
    int errors = 0;
    if (d.video) {
        errors = d.video->decode(payload, [&](const AVFrame& f, const std::string& md5) {
            d.sheet->add(f, d.decoded);
            record_picture(strm, h.u8StreamCh, d.decoded++, md5);
        });
    } else if (d.audio) {
        pcm_.clear();
        errors = d.audio->decode(payload, pcm_);
        record_sound(strm, h.u8StreamCh, d.decoded++, pcm_);
        media::WavWriter& wav = wavs_[h.u8StreamCh];
        if (!wav.is_open()) wav.open(wav_path(strm, h.u8StreamCh), d.audio->standard().rate);
        // One file per channel; sound at another rate than the file's is
        // left out rather than played at the wrong speed.
        if (wav.rate() == d.audio->standard().rate) wav.write(pcm_);
        if (d.decoded % kWavSyncBlocks == 0) wav.sync();
    }
    if (errors > 0) {
        d.errors += static_cast<std::uint32_t>(errors);
        core::Line line("decode_error");
        line.kv("ep", kEndpoints[strm].name).kv("t", core::now_us()).kv("ch", h.u8StreamCh)
            .kv("u32TimeStamp", h.u32TimeStamp).kv("errors", errors);
        ctx_.rec.write(line);
    }
}

}  // namespace sim::codec
