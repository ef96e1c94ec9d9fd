// The simulator's media pieces that a long call leans on: the contact sheet
// keeps a bounded set of pictures whatever the length, always the first and
// the last, and writes a PNG that decodes to the expected layout.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>
#include <vector>

#include "harness/util.hpp"
#include "media/av.hpp"
#include "media/picture.hpp"
#include "media/sheet.hpp"

namespace {

using sim::media::ContactSheet;

sim::media::Frame picture(int w, int h) {
    sim::media::Frame f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    return f;
}

TEST(ContactSheet, ShowsFirstLastAndEvenlySpacedPicturesOfAnyLength) {
    auto f = picture(64, 48);
    struct Case {
        std::uint32_t count;
        std::vector<std::uint32_t> want;  // empty: only the shape is checked
    };
    for (const Case& c : {Case{1, {0}}, Case{5, {0, 1, 2, 3, 4}}, Case{12, {}}, Case{13, {}}, Case{5000, {}}}) {
        SCOPED_TRACE(c.count);
        ContactSheet sheet;
        for (std::uint32_t n = 0; n < c.count; ++n) sheet.add(*f, n);
        const auto shown = sheet.numbers();
        if (!c.want.empty()) {
            EXPECT_EQ(shown, c.want);
        }
        ASSERT_FALSE(shown.empty());
        EXPECT_LE(shown.size(), ContactSheet::kTiles);
        EXPECT_GE(shown.size(), std::min<std::size_t>(c.count, ContactSheet::kTiles - 1));
        EXPECT_EQ(shown.front(), 0u);
        EXPECT_EQ(shown.back(), c.count - 1);
        // Evenly spread: no gap more than about twice the mean gap.
        for (std::size_t i = 1; i < shown.size(); ++i) {
            ASSERT_GT(shown[i], shown[i - 1]);
            EXPECT_LE(shown[i] - shown[i - 1], 2 * (c.count - 1) / (shown.size() - 1) + 1) << i;
        }
        EXPECT_EQ(sheet.pictures(), c.count);
    }
}

TEST(ContactSheet, WritesAPngOfFourColumnsWithALabelStripPerRow) {
    harness::TempDir dir;
    auto f = picture(320, 180);
    ContactSheet sheet;
    EXPECT_FALSE(sheet.write_png(dir / "empty.png")) << "no picture, no sheet";
    for (std::uint32_t n = 0; n < 30; ++n) {
        sim::media::draw_test_picture(*f, n);
        sheet.add(*f, n);
    }
    ASSERT_TRUE(sheet.write_png(dir / "s.png"));
    const std::string png = harness::read_file(dir / "s.png").value_or("");
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    sim::media::CodecCtx ctx(avcodec_alloc_context3(codec));
    ASSERT_EQ(avcodec_open2(ctx.get(), codec, nullptr), 0);
    sim::media::Packet pkt(av_packet_alloc());
    ASSERT_EQ(av_new_packet(pkt.get(), static_cast<int>(png.size())), 0);
    std::copy(png.begin(), png.end(), pkt->data);
    sim::media::Frame out(av_frame_alloc());
    ASSERT_EQ(avcodec_send_packet(ctx.get(), pkt.get()), 0);
    ASSERT_EQ(avcodec_receive_frame(ctx.get(), out.get()), 0);
    // 12 thumbnails of 160x90: 4 columns and 3 rows, 4-pixel gaps, a
    // 18-pixel label strip under each row.
    EXPECT_EQ(out->width, 4 * (160 + 4) + 4);
    EXPECT_EQ(out->height, 3 * (90 + 18 + 4) + 4);
}

}  // namespace
