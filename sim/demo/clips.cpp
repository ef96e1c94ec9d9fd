#include "clips.hpp"

#include <stdio.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "media/av.hpp"
#include <utility>
#include <vector>

namespace demo::clips {

namespace fs = std::filesystem;

namespace {

struct Recipe {
    const char* name;
    const char* args;  // ffmpeg input and output options; the output path follows
};

// Small pictures keep the clips quick to make; the box's player cares about
// the codec (H.264 video, G.711 u-law audio at 8 kHz) and the time bases.
// 800-sample audio frames give 800-byte packets: whole 160-byte blocks.
constexpr std::array<Recipe, 2> kRecipes{{
    {kBlack,
     "-f lavfi -i color=c=black:s=320x180:r=25:d=1 "
     "-f lavfi -i sine=f=440:r=8000:samples_per_frame=800:d=1,volume=0 "
     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a pcm_mulaw -ar 8000 -ac 1 -f avi"},
    {kAnimation,
     "-f lavfi -i testsrc2=s=320x180:r=25:d=3 "
     "-f lavfi -i sine=f=440:r=8000:samples_per_frame=800:d=3 "
     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a pcm_mulaw -ar 8000 -ac 1 -f avi"},
}};

// A key's tone: its row and column frequencies, half a second of raw u-law.
std::string tone_args(int key) {
    const auto [row, col] = checks::dtmf_tones(key);
    return "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*" + std::to_string(row) + "*t)+0.4*sin(2*PI*" + std::to_string(col) +
           "*t):s=8000:d=0.5' -ar 8000 -ac 1 -f mulaw";
}

}  // namespace

std::string tone_file(int key) { return "snd" + std::to_string(key) + ".711"; }

bool ensure(const std::string& cache_dir, std::string& made, std::string& error) {
    std::error_code ec;
    fs::create_directories(cache_dir, ec);
    if (ec) {
        error = "cannot make " + cache_dir + ": " + ec.message();
        return false;
    }
    made.clear();
    std::vector<std::pair<std::string, std::string>> recipes;
    for (const auto& r : kRecipes) recipes.emplace_back(r.name, r.args);
    for (int key = 0; key < kKeys; ++key) recipes.emplace_back(tone_file(key), tone_args(key));
    for (const auto& [name, args] : recipes) {
        const std::string path = cache_dir + "/" + name;
        if (fs::file_size(path, ec) > 0 && !ec) continue;
        // Made under a temporary name of this process and renamed, so an
        // interrupted run never leaves a half-written clip in the cache, and
        // runs that fill the cache side by side never write the same file.
        // (mkstemp: processes in other pid namespaces share the folder.)
        std::string part = path + ".part-XXXXXX";
        const int fd = ::mkstemp(part.data());
        if (fd < 0) {
            error = "cannot make a file in " + cache_dir;
            return false;
        }
        ::close(fd);
        const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " '" + part + "' </dev/null";
        if (std::system(cmd.c_str()) != 0) {
            error = "ffmpeg could not make " + name;
            fs::remove(part, ec);
            return false;
        }
        fs::rename(part, path, ec);
        if (ec) {
            error = "cannot keep " + path + ": " + ec.message();
            return false;
        }
        made += made.empty() ? name : ", " + name;
    }
    return true;
}

bool demux(const std::string& path, Demuxed& out, std::string& error) {
    out = {};
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) {
        error = "cannot open " + path;
        return false;
    }
    bool ok = avformat_find_stream_info(ctx, nullptr) >= 0;
    AVPacket* pkt = ok ? av_packet_alloc() : nullptr;
    if (pkt == nullptr) {
        error = "cannot read " + path;
        avformat_close_input(&ctx);
        return false;
    }
    // The first stream of each kind, as the player picks them.
    const int video = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video >= 0) {
        const AVRational rate = ctx->streams[video]->avg_frame_rate;
        if (rate.num > 0) out.frame_us = av_rescale(1000000, rate.den, rate.num);
    }
    if (audio >= 0) {
        const AVCodecParameters* par = ctx->streams[audio]->codecpar;
        out.audio_bytes_s = static_cast<long long>(par->sample_rate) * par->ch_layout.nb_channels *
                            av_get_bits_per_sample(par->codec_id) / 8;
    }
    while (av_read_frame(ctx, pkt) >= 0) {
        const auto* data = reinterpret_cast<const char*>(pkt->data);
        const auto size = static_cast<std::size_t>(pkt->size > 0 ? pkt->size : 0);
        if (pkt->stream_index == video && video >= 0) out.video.emplace_back(data, size);
        else if (pkt->stream_index == audio && audio >= 0) {
            out.audio_packets.push_back(out.audio.size());
            out.audio.append(data, size);
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return true;
}

bool framemd5(const std::string& path, Digests& out, std::string& error) {
    out = {};
    // passthrough: every decoded picture once, none doubled or dropped to
    // fit a frame rate.
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + path +
                            "' -map 0:v:0 -fps_mode passthrough -f framemd5 - </dev/null";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        error = "cannot run ffmpeg";
        return false;
    }
    std::string text;
    std::array<char, 4096> buf{};
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) text.append(buf.data(), n);
    if (::pclose(p) != 0) {
        error = "ffmpeg could not decode " + path;
        return false;
    }
    out.md5 = checks::framemd5_digests(text);
    const auto at = text.find("#dimensions 0: ");
    if (at != std::string::npos) std::sscanf(text.c_str() + at, "#dimensions 0: %dx%d", &out.width, &out.height);
    return true;
}

std::string black_md5(int width, int height) {
    const auto luma = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::basic_string<std::uint8_t> frame(luma, 16);
    frame.append(2 * static_cast<std::size_t>((width + 1) / 2) * static_cast<std::size_t>((height + 1) / 2), 128);
    return sim::media::md5_hex(frame);
}

}  // namespace demo::clips
