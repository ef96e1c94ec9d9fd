// Codec-to-media-type mapping of clip streams: video and PCM codecs are
// matched by the codec they name, the two G.722 identifiers by number.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "animation.hpp"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

struct Case {
    bool video;
    int codec_id;
    std::uint16_t type;
    const char* word;
};

TEST(MediaType, TableOfCodecs) {
    const Case cases[] = {
        {true, AV_CODEC_ID_H264, 54, "VDO_H264"},
        {true, AV_CODEC_ID_H261, 51, "VDO_H261"},
        {true, AV_CODEC_ID_H263, 52, "VDO_H263"},
        {true, AV_CODEC_ID_MPEG4, 0xFFFF, "Unknow Video Codec Type"},
        {true, AV_CODEC_ID_PCM_MULAW, 0xFFFF, "Unknow Video Codec Type"},
        {false, AV_CODEC_ID_PCM_MULAW, 1, "G.711-u"},
        {false, AV_CODEC_ID_PCM_ALAW, 2, "G.711-a"},
        {false, 101, 3, "G.722"},
        {false, 52481, 3, "G.722"},
        {false, AV_CODEC_ID_PCM_S16LE, 0xFFFF, "Unknow Audio Codec Type"},
        {false, AV_CODEC_ID_H264, 0xFFFF, "Unknow Audio Codec Type"},
    };
    for (const Case& c : cases) {
        const auto m = c.video ? avhub::video_media_type(c.codec_id) : avhub::audio_media_type(c.codec_id);
        EXPECT_EQ(m.u16Type, c.type) << c.codec_id;
        EXPECT_EQ(std::string(m.word), c.word) << c.codec_id;
    }
}

}  // namespace
