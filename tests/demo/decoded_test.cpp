// The demo's checks of decoded media, each against real coded media with a
// fault planted in it: a dropped frame, reordered pieces, the wrong DTMF
// key, a skipped clip frame. Each fault must fail its check, and the same
// media without the fault must pass it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "checks.hpp"
#include "clips.hpp"
#include "harness/util.hpp"
#include "media/codecs.hpp"
#include "media/wav.hpp"
#include "wire/codes.hpp"

namespace {

using sim::media::Bytes;
using Digests = std::vector<std::string>;

constexpr int kFrames = 8;

// kFrames coded frames of the test picture, and the encoder side's own
// decode of them (what the far end must show).
struct Coded {
    std::vector<Bytes> frames;
    Digests own;
};

Coded code_video(std::uint16_t type, int w, int h) {
    Coded c;
    std::string why;
    sim::media::VideoParams p{.type = type, .width = w, .height = h, .fps = 30, .kbps = 256};
    auto enc = sim::media::VideoEncoder::open(p, why);
    auto self = sim::media::VideoDecoder::open(type, why);
    EXPECT_TRUE(enc && self) << why;
    if (!enc || !self) return c;
    for (int n = 0; n < kFrames; ++n) {
        Bytes out;
        EXPECT_EQ(enc->encode(static_cast<std::uint32_t>(n), out), 0);
        EXPECT_FALSE(out.empty()) << "low delay: every frame comes out at once";
        EXPECT_EQ(self->decode(out, [&](const AVFrame&, const std::string& md5) { c.own.push_back(md5); }), 0);
        c.frames.push_back(out);
    }
    return c;
}

// What a decoder at the far end shows for the frames as they arrive.
demo::checks::Tally far_end(std::uint16_t type, const Coded& c, const std::vector<Bytes>& arrived) {
    std::string why;
    auto dec = sim::media::VideoDecoder::open(type, why);
    Digests got;
    long long errors = 0;
    for (const auto& f : arrived)
        errors += dec->decode(f, [&](const AVFrame&, const std::string& md5) { got.push_back(md5); });
    return demo::checks::match_digests("pictures", c.own, got, errors);
}

TEST(DecodedVideo, EveryCodecDecodesToTheEncoderSideAndAPlantedFaultFails) {
    struct Case {
        const char* name;
        std::uint16_t type;
        int w, h;
    };
    for (const Case& k : {Case{"h264", wire::STD_H264, 352, 288}, Case{"h263", wire::STD_H263, 176, 144},
                          Case{"h261", wire::STD_H261, 176, 144}}) {
        SCOPED_TRACE(k.name);
        const Coded c = code_video(k.type, k.w, k.h);
        ASSERT_EQ(c.own.size(), static_cast<std::size_t>(kFrames));
        EXPECT_TRUE(far_end(k.type, c, c.frames).ok()) << far_end(k.type, c, c.frames).note;

        // A frame dropped on the way.
        std::vector<Bytes> dropped = c.frames;
        dropped.erase(dropped.begin() + 3);
        EXPECT_FALSE(far_end(k.type, c, dropped).ok());

        // Two pieces of the first (intra) frame swapped, as a relay that
        // joined pieces out of order would deliver it.
        std::vector<Bytes> reordered = c.frames;
        Bytes& f = reordered.front();
        const std::size_t piece = f.size() / 4;
        ASSERT_GE(piece, 16u);
        const Bytes a = f.substr(piece, piece), b = f.substr(2 * piece, piece);
        f.replace(piece, piece, b);
        f.replace(2 * piece, piece, a);
        const auto t = far_end(k.type, c, reordered);
        EXPECT_FALSE(t.ok()) << t.note;
    }
}

TEST(DecodedVideo, SizesACodecCannotCodeAreRefusedWithAReason) {
    std::string why;
    sim::media::VideoParams p{.type = wire::STD_H263, .width = 1280, .height = 720};
    EXPECT_EQ(sim::media::VideoEncoder::open(p, why), nullptr);
    EXPECT_NE(why.find("h263 cannot code 1280x720"), std::string::npos) << why;
    p.type = wire::STD_H261;
    p.width = 704;
    p.height = 576;
    EXPECT_EQ(sim::media::VideoEncoder::open(p, why), nullptr);
    p.type = 60;
    EXPECT_EQ(sim::media::VideoEncoder::open(p, why), nullptr);
    EXPECT_NE(why.find("no codec"), std::string::npos) << why;
}

TEST(DecodedAudio, CodedBlocksHaveTheAskedLengthAndDecodeToTheToneSequence) {
    struct Case {
        std::uint16_t type;
        std::size_t block, samples;
    };
    for (const Case& k : {Case{wire::STD_G711U, 160, 160}, Case{wire::STD_G711A, 160, 160},
                          Case{wire::STD_G722, 160, 320}, Case{wire::STD_PCM, 640, 320}}) {
        SCOPED_TRACE(k.type);
        std::string why;
        auto enc = sim::media::AudioEncoder::open(k.type, k.block, why);
        auto dec = sim::media::AudioDecoder::open(k.type, why);
        ASSERT_TRUE(enc && dec) << why;
        std::vector<std::int16_t> pcm;
        for (int i = 0; i < 10; ++i) {
            Bytes b;
            ASSERT_EQ(enc->encode(b), 0);
            EXPECT_EQ(b.size(), k.block);
            EXPECT_EQ(dec->decode(b, pcm), 0);
        }
        ASSERT_EQ(pcm.size(), 10 * k.samples);
        // Linear PCM is exact; the others stay near the tone (G.722 after
        // its filter delay, so compare signal power instead of samples).
        double err = 0, power = 0;
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            const double want = sim::media::tone_sample(i, enc->standard().rate);
            power += std::abs(static_cast<double>(pcm[i]));
            err += std::abs(pcm[i] - want);
            if (k.type == wire::STD_PCM) {
                ASSERT_EQ(pcm[i], want) << i;
            }
        }
        EXPECT_GT(power / pcm.size(), 3000);
        if (k.type != wire::STD_G722) {
            EXPECT_LT(err / pcm.size(), 400);
        }
    }
    std::string why;
    EXPECT_EQ(sim::media::AudioEncoder::open(wire::STD_SILK, 20, why), nullptr);
    EXPECT_NE(why.find("no audio encoder"), std::string::npos);
}

std::vector<std::int16_t> dtmf(int key, double seconds, int rate = 8000) {
    const auto [row, col] = demo::checks::dtmf_tones(key);
    std::vector<std::int16_t> pcm;
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i) {
        const double t = static_cast<double>(i) / rate;
        pcm.push_back(static_cast<std::int16_t>(
            std::lround(10000 * (std::sin(2 * M_PI * row * t) + std::sin(2 * M_PI * col * t)))));
    }
    return pcm;
}

TEST(DtmfCheck, EachKeyIsDetectedAsItselfAndAWrongKeyFails) {
    for (int key = 0; key < demo::clips::kKeys; ++key)
        EXPECT_EQ(demo::checks::dtmf_key(dtmf(key, 0.5), 8000), key) << key;
    // The tone of key 8 where key 5 was asked for.
    const auto t = demo::checks::match_key("tone", 5, dtmf(8, 0.5), 8000);
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(t.note, "detected key 8");
    EXPECT_TRUE(demo::checks::match_key("tone", 5, dtmf(5, 0.5), 8000).ok());

    // No key: silence, one tone alone, a key tone drowned in another sound.
    std::vector<std::int16_t> silence(4000, 0), single, mixed = dtmf(5, 0.5);
    for (int i = 0; i < 4000; ++i) single.push_back(static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 770 * i / 8000.0)));
    for (std::size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = static_cast<std::int16_t>(mixed[i] / 2 + 12000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
    for (const auto* pcm : {&silence, &single, &mixed}) EXPECT_EQ(demo::checks::dtmf_key(*pcm, 8000), -1);
    EXPECT_FALSE(demo::checks::match_key("tone", 5, {}, 8000).ok());
}

TEST(DtmfCheck, TheDecoderWavFileReadsBackAsWritten) {
    harness::TempDir dir;
    const auto pcm = dtmf(11, 0.2, 16000);
    {
        sim::media::WavWriter w;
        ASSERT_TRUE(w.open(dir / "a.wav", 16000));
        w.write(pcm);
        w.sync();  // a file read while it grows holds what was written so far
        std::vector<std::int16_t> half;
        int rate = 0;
        ASSERT_TRUE(demo::checks::parse_wav(harness::read_file(dir / "a.wav").value_or(""), half, rate));
        EXPECT_EQ(half.size(), pcm.size());
        w.write(pcm);
    }
    std::vector<std::int16_t> back;
    int rate = 0;
    ASSERT_TRUE(demo::checks::parse_wav(harness::read_file(dir / "a.wav").value_or(""), back, rate));
    EXPECT_EQ(rate, 16000);
    ASSERT_EQ(back.size(), 2 * pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), back.begin()));
    EXPECT_EQ(demo::checks::dtmf_key(back, rate), 11);
    EXPECT_FALSE(demo::checks::parse_wav("RIFF", back, rate));
}

TEST(ClipCheck, DecodedClipEqualsFramemd5AndASkippedFrameFails) {
    harness::TempDir dir;
    const std::string clip = dir / "clip.avi";
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=s=96x64:r=25:d=0.4 "
                            "-c:v libx264 -preset ultrafast -g 5 -pix_fmt yuv420p -f avi '" + clip + "' </dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    demo::clips::Digests want;
    demo::clips::Demuxed packets;
    std::string error;
    ASSERT_TRUE(demo::clips::framemd5(clip, want, error)) << error;
    ASSERT_TRUE(demo::clips::demux(clip, packets, error)) << error;
    ASSERT_EQ(want.md5.size(), 10u);
    EXPECT_EQ(want.width, 96);

    auto decode = [&](std::size_t skip) {
        std::string why;
        auto dec = sim::media::VideoDecoder::open(wire::STD_H264, why);
        Digests got;
        long long errors = 0;
        for (std::size_t i = 0; i < packets.video.size(); ++i) {
            if (i == skip) continue;
            const auto& p = packets.video[i];
            errors += dec->decode({reinterpret_cast<const std::uint8_t*>(p.data()), p.size()},
                                  [&](const AVFrame&, const std::string& md5) { got.push_back(md5); });
        }
        return demo::checks::match_digests("clip", want.md5, got, errors);
    };
    const auto whole = decode(SIZE_MAX);
    EXPECT_TRUE(whole.ok()) << whole.note;
    EXPECT_FALSE(decode(7).ok());

    // Lead-in and trailer: black pictures around the clip.
    const std::string black = demo::clips::black_md5(96, 64);
    const Digests framed{black, black, "c1", "c2", black, black};
    EXPECT_TRUE(demo::checks::match_black("black", framed, 2, 2, black).ok());
    Digests lit = framed;
    lit[4] = "c3";
    EXPECT_FALSE(demo::checks::match_black("black", lit, 2, 2, black).ok());
}

TEST(LipSync, OffsetsBeyondTheToleranceOrAMissingStreamFailAndOneLatePacketDoesNot) {
    // A stream's items: item k belongs at k * step and arrives at start + k * step.
    using Items = std::vector<demo::checks::Timed>;
    auto stream = [](long long start, long long step, int n) {
        Items t;
        for (int k = 0; k < n; ++k) t.push_back({start + k * step, k * step});
        return t;
    };
    const auto video = stream(1000000, 40000, 25);  // 25 frames/s
    auto stalled = video;
    stalled[0].arrival_us += 300000;  // the first picture held up 300 ms, the rest on time
    auto lost = video;
    lost[3].arrival_us = -1;
    auto none = video;
    for (auto& i : none) i.arrival_us = -1;
    struct Case {
        Items video, audio;
        bool ok;
        const char* note;
    };
    for (const Case& c : {Case{video, stream(1012000, 20000, 50), true, "video 12 ms before audio"},
                          Case{video, stream(850000, 20000, 50), true, "video 150 ms after audio"},
                          Case{stalled, stream(1012000, 20000, 50), true, "video 12 ms before audio"},
                          Case{lost, stream(1012000, 20000, 50), true, "video 12 ms before audio"},
                          Case{video, stream(1250000, 20000, 50), false, "video 250 ms before audio"},
                          Case{none, stream(0, 20000, 50), false, "no clip picture arrived"},
                          Case{video, {}, false, "no clip sound arrived"}}) {
        const auto t = demo::checks::lip_sync("sync", c.video, c.audio);
        EXPECT_EQ(t.ok(), c.ok) << c.note;
        EXPECT_EQ(t.note, c.note);
    }
}

}  // namespace
