// Real encoders and decoders (libavcodec) for the media standards of the
// codec link, with the settings a live call needs: one thread each, no
// frame delay. A standard without an encoder here is left to the caller's
// synthetic payload; open() then says why.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "media/av.hpp"

namespace sim::media {

using Bytes = std::basic_string<std::uint8_t>;

// Keeps libav's own messages off the simulator's output: errors are
// counted and recorded instead.
void quiet_libav();

struct VideoParams {
    std::uint16_t type = 54;  // u16Type: 51 H.261, 52 H.263, 53 and 54 H.264
    int width = 0, height = 0, fps = 30;
    int kbps = 0;
    int gop = 0;  // intra picture every gop frames; 0: every 2 s
};

class VideoEncoder {
public:
    static std::unique_ptr<VideoEncoder> open(const VideoParams& p, std::string& why);
    ~VideoEncoder();
    const char* name() const { return name_; }
    // Encodes test picture n; `out` receives the coded frame (empty when
    // the encoder held it back). Returns 0, or -1 on an encoder error.
    int encode(std::uint32_t n, Bytes& out);

private:
    VideoEncoder() = default;
    CodecCtx ctx_;
    Frame frame_;
    Packet pkt_;
    const char* name_ = "";
};

// One decoded picture: the frame (valid during the call) and its MD5.
using PictureSink = std::function<void(const AVFrame& f, const std::string& md5)>;

class VideoDecoder {
public:
    static std::unique_ptr<VideoDecoder> open(std::uint16_t type, std::string& why);
    ~VideoDecoder();
    const char* name() const { return name_; }
    // Decodes one coded frame; every picture that comes out goes to sink.
    // Returns the decode errors this chunk caused (refused input, or a
    // picture flagged corrupt).
    int decode(std::span<const std::uint8_t> chunk, const PictureSink& sink);

private:
    VideoDecoder() = default;
    int drain(const PictureSink& sink);
    CodecCtx ctx_;
    Frame frame_;
    Packet pkt_;
    Bytes scratch_;
    const char* name_ = "";
};

// The audio standards with a codec here: G.711 u-law and A-law (8 kHz),
// G.722 (16 kHz) and linear PCM (16-bit little-endian, 16 kHz).
struct AudioStandard {
    std::uint16_t type;
    int codec_id;  // AVCodecID
    int rate;
    const char* name;
    int samples_per_byte_num, samples_per_byte_den;  // samples = bytes * num / den
};
const AudioStandard* audio_standard(std::uint16_t type);

class AudioEncoder {
public:
    static std::unique_ptr<AudioEncoder> open(std::uint16_t type, std::size_t block_bytes, std::string& why);
    ~AudioEncoder();
    const AudioStandard& standard() const { return *std_; }
    // Encodes the next block of the tone sequence into exactly block_bytes.
    int encode(Bytes& out);

private:
    AudioEncoder() = default;
    const AudioStandard* std_ = nullptr;
    CodecCtx ctx_;
    Frame frame_;
    Packet pkt_;
    std::size_t block_ = 0;
    int samples_ = 0;
    std::uint64_t sample_no_ = 0;
};

// The tone sequence: eight notes of a quarter second each, over and over.
std::int16_t tone_sample(std::uint64_t n, int rate);

class AudioDecoder {
public:
    static std::unique_ptr<AudioDecoder> open(std::uint16_t type, std::string& why);
    ~AudioDecoder();
    const AudioStandard& standard() const { return *std_; }
    // Decodes one block to 16-bit samples (appended to pcm); returns the
    // decode errors (0 or 1).
    int decode(std::span<const std::uint8_t> block, std::vector<std::int16_t>& pcm);

private:
    AudioDecoder() = default;
    const AudioStandard* std_ = nullptr;
    CodecCtx ctx_;
    Frame frame_;
    Packet pkt_;
};

}  // namespace sim::media
