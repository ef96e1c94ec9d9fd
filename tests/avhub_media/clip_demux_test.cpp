// The demuxer avhub is linked with (its own small FFmpeg) must see a clip
// exactly as Debian's full FFmpeg does: the same streams, codec ids and time
// bases, and the same packets, byte for byte and in order, for every codec
// avhub maps to a decoder, in AVI and in MP4/MOV. A clip in any other
// container is refused at opening. ffprobe (Debian's FFmpeg, another
// process) is the reference.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
}

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string run_output(const std::string& cmd, bool& ok) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    ok = p != nullptr;
    if (!ok) return out;
    std::array<char, 4096> buf{};
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
    ok = ::pclose(p) == 0;
    return out;
}

struct Clip {
    const char* name;
    const char* video_size;  // H.261 takes only QCIF and CIF
    const char* video;
    const char* audio;  // "" for none
    int audio_rate;
};

// Every video and audio codec of avhub's media-type table, in both
// containers the box plays (MP4 takes none of these sounds).
constexpr Clip kClips[] = {
    {"h264_mulaw.avi", "128x96", "libx264 -preset ultrafast -g 5", "pcm_mulaw", 8000},
    {"h263_alaw.avi", "128x96", "h263", "pcm_alaw", 8000},
    {"h261_g722.avi", "176x144", "h261", "g722", 16000},
    {"h264_mulaw.mov", "128x96", "libx264 -preset ultrafast -g 5", "pcm_mulaw", 8000},
    {"h263_alaw.mov", "128x96", "h263", "pcm_alaw", 8000},
    {"h261_g722.mov", "176x144", "h261", "g722", 16000},
    {"h264.mp4", "128x96", "libx264 -preset ultrafast -g 5", "", 0},
};

class ClipDemux : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "clip_demux.XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string make(const Clip& c) {
        const std::string path = (dir_ / c.name).string();
        std::string cmd = std::string("ffmpeg -nostdin -hide_banner -loglevel error -y") +
                          " -f lavfi -i testsrc2=s=" + c.video_size + ":r=25:d=0.6";
        if (*c.audio != '\0')
            cmd += " -f lavfi -i sine=f=440:r=" + std::to_string(c.audio_rate) + ":d=0.6 -c:a " + c.audio + " -ac 1";
        cmd += " -c:v " + std::string(c.video) + " " + path + " 2>/dev/null";
        bool ok = false;
        (void)run_output(cmd, ok);
        return ok ? path : std::string();
    }

    fs::path dir_;
};

// "index,codec name,time base" per stream, then "stream,size,MD5:hex" per
// packet: ffprobe's CSV lines, made here from what avhub's library reads.
std::string own_view(const std::string& path, int& open_rc) {
    AVFormatContext* ctx = nullptr;
    open_rc = avformat_open_input(&ctx, path.c_str(), nullptr, nullptr);
    if (open_rc < 0) return {};
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> guard(&ctx, avformat_close_input);
    (void)avformat_find_stream_info(ctx, nullptr);
    std::string out;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        out += std::to_string(i) + "," + avcodec_get_name(st->codecpar->codec_id) + "," +
               std::to_string(st->time_base.num) + "/" + std::to_string(st->time_base.den) + "\n";
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        std::array<std::uint8_t, 16> md5{};
        av_md5_sum(md5.data(), pkt->data, pkt->size);
        std::array<char, 33> hex{};
        for (std::size_t i = 0; i < md5.size(); ++i) std::snprintf(&hex[2 * i], 3, "%02x", md5[i]);
        out += std::to_string(pkt->stream_index) + "," + std::to_string(pkt->size) + ",MD5:" + hex.data() + "\n";
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return out;
}

// ffprobe's flat output ("streams.stream.N.key=value", "packets.packet.N.
// key=value") in the lines above: its CSV would put a packet's side data
// between that packet's fields.
std::string reference_view(const std::string& path, bool& ok) {
    const std::string flat = run_output(
        "ffprobe -v error -show_data_hash MD5 -show_entries stream=index,codec_name,time_base:"
        "packet=stream_index,size,data_hash -of flat '" + path + "' 2>/dev/null",
        ok);
    std::map<std::pair<std::string, int>, std::map<std::string, std::string>> items;
    const std::regex line(R"(^(streams\.stream|packets\.packet)\.(\d+)\.(\w+)=\"?([^"]*)\"?$)");
    std::istringstream in(flat);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_match(l, m, line)) items[{m[1].str(), std::stoi(m[2].str())}][m[3].str()] = m[4].str();
    }
    std::string out;
    for (auto& [key, f] : items)
        if (key.first == "streams.stream") out += f["index"] + "," + f["codec_name"] + "," + f["time_base"] + "\n";
    for (auto& [key, f] : items)
        if (key.first == "packets.packet") out += f["stream_index"] + "," + f["size"] + "," + f["data_hash"] + "\n";
    return out;
}

TEST_F(ClipDemux, SeesEveryPlayedCodecAsTheFullLibraryDoes) {
    for (const Clip& c : kClips) {
        SCOPED_TRACE(c.name);
        const std::string path = make(c);
        ASSERT_FALSE(path.empty()) << "ffmpeg could not make the clip";
        bool ok = false;
        const std::string want = reference_view(path, ok);
        ASSERT_TRUE(ok) << "ffprobe failed";
        int rc = 0;
        const std::string got = own_view(path, rc);
        ASSERT_GE(rc, 0) << "the clip did not open";
        EXPECT_EQ(got, want);
    }
}

TEST_F(ClipDemux, RefusesOtherContainers) {
    constexpr Clip kOthers[] = {
        {"h264_mulaw.mkv", "128x96", "libx264 -preset ultrafast -g 5", "pcm_mulaw", 8000},
        {"h264_mp2.ts", "128x96", "libx264 -preset ultrafast -g 5", "mp2", 16000},
    };
    for (const Clip& c : kOthers) {
        SCOPED_TRACE(c.name);
        const std::string path = make(c);
        ASSERT_FALSE(path.empty()) << "ffmpeg could not make the clip";
        int rc = 0;
        (void)own_view(path, rc);
        EXPECT_EQ(rc, AVERROR_INVALIDDATA);
    }
}

}  // namespace
