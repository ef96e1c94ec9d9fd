// Relay behaviour against socketpair encoders and decoders: de-framing,
// frame assembly and stamping, the channel filter, the recording file, audio
// blocks with the delay buffer, and survival of bad encoder output.
#include <cstdio>

#include "relay_fixture.hpp"

namespace call_test {
namespace {

using avhub::get_msec_count;

constexpr std::array<std::uint8_t, 4> kZeroGob{};

TEST_F(RelayTest, FramePiecesAreJoinedStampedAndSentOnce) {
    const Bytes a = pattern(1000, 1), b = pattern(1400, 2), c = pattern(77, 3);
    const auto before = static_cast<std::uint32_t>(get_msec_count());
    // Three pieces (first, middle, last) and a whole frame, all in one read.
    video_in(cat({chunk(0, 0, 11, 1, a), chunk(0, 0, 12, 0, b), chunk(0, 0, 13, 2, c), chunk(0, 0, 14, 3, a)}));
    pass();
    const auto after = static_cast<std::uint32_t>(get_msec_count());

    auto out = video_out();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].payload, cat({a, b, c}));
    EXPECT_EQ(out[1].payload, a);
    for (const Packet& p : out) {
        EXPECT_EQ(p.type, 0);
        EXPECT_EQ(p.ch, 0);
        EXPECT_EQ(p.gob, kZeroGob);
        // The time of the first piece, not the encoder's stamp.
        EXPECT_GE(p.ts, before);
        EXPECT_LE(p.ts, after);
    }
    EXPECT_EQ(avhub::u32VdoSockBuflen, 0u);
    EXPECT_EQ(avhub::u8VdoSockStatus, 0);
}

TEST_F(RelayTest, FrameTimeIsThatOfTheFirstPiece) {
    video_in(chunk(0, 0, 0, 1, pattern(10, 1)));
    pass();
    const auto first = static_cast<std::uint32_t>(get_msec_count());
    ASSERT_TRUE(harness::wait_until([&] { return static_cast<std::uint32_t>(get_msec_count()) > first + 20; },
                                    std::chrono::milliseconds(2000)));
    video_in(chunk(0, 0, 0, 2, pattern(10, 2)));
    pass();
    auto out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_LE(out[0].ts, first);
}

TEST_F(RelayTest, PacketSplitAcrossReadsIsCompletedByTheNextRead) {
    struct Case {
        std::uint8_t type;
        std::size_t cut;  // bytes of the packet in the first read
        std::uint8_t state;
    };
    avhub::u32AdoBlkSize = 600;
    for (const Case& k : {Case{0, 10, 0}, Case{0, 18, 1}, Case{0, 500, 1}, Case{1, 100, 2}}) {
        SCOPED_TRACE(testing::Message() << "type " << int(k.type) << " cut " << k.cut);
        const Bytes payload = pattern(600, 9);
        const Bytes pkt = chunk(k.type, 0, 5, 3, payload);
        const bool video = k.type == 0;
        const int in = video ? venc[1] : aenc[1];
        write_all(in, Bytes(pkt.begin(), pkt.begin() + static_cast<long>(k.cut)));
        pass();
        EXPECT_EQ(video ? avhub::u32VdoSockBuflen : avhub::u32AdoSockBuflen, k.cut);
        EXPECT_EQ(video ? avhub::u8VdoSockStatus : avhub::u8AdoSockStatus, k.state);
        EXPECT_TRUE(video_out().empty());
        EXPECT_TRUE(audio_out().empty());

        write_all(in, Bytes(pkt.begin() + static_cast<long>(k.cut), pkt.end()));
        pass();
        auto out = video ? video_out() : audio_out();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].payload, payload);
        EXPECT_EQ(video ? avhub::u8VdoSockStatus : avhub::u8AdoSockStatus, 0);
    }
}

TEST_F(RelayTest, QcifRelaysChannelOneOnlyAndRecordsEveryPayload) {
    avhub::u32RelayVdoChan = 1;
    avhub::Recording = 1;
    avhub::pRecFile = std::tmpfile();
    ASSERT_NE(avhub::pRecFile, nullptr);
    const Bytes big = pattern(2000, 4), small = pattern(500, 5), tail = pattern(300, 6);
    video_in(cat({chunk(0, 0, 0, 3, big), chunk(0, 1, 0, 1, small), chunk(0, 0, 0, 3, big), chunk(0, 1, 0, 2, tail)}));
    pass();

    auto out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ch, 0) << "relayed frames always carry channel 0";
    EXPECT_EQ(out[0].payload, cat({small, tail}));

    std::rewind(avhub::pRecFile);
    Bytes rec(10000);
    rec.resize(std::fread(rec.data(), 1, rec.size(), avhub::pRecFile));
    EXPECT_EQ(rec, cat({big, small, big, tail})) << "record.bin gets raw payloads of both channels";
}

TEST_F(RelayTest, AudioBlocksCarrySequenceNumbersAndLeaveAtOnceWithoutDelay) {
    avhub::u32AdoBlkSize = 160;
    avhub::u32AdoSeqNum = 7;
    const Bytes audio = pattern(480 + 50, 8);
    audio_in(chunk(1, 0, 99, 0, audio));
    pass();
    auto out = audio_out();
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].type, 1);
        EXPECT_EQ(out[i].ch, 0);
        EXPECT_EQ(out[i].ts, 7 + i);
        EXPECT_EQ(out[i].gob, kZeroGob);
        EXPECT_EQ(out[i].payload, Bytes(audio.begin() + static_cast<long>(160 * i),
                                        audio.begin() + static_cast<long>(160 * (i + 1))));
    }
    EXPECT_EQ(avhub::u32MainAdoBufLen[0], 50u);
    EXPECT_EQ(avhub::u32AdoSeqNum, 10u);
}

TEST_F(RelayTest, DelayBufferHoldsBackAudio) {
    struct Case {
        std::int32_t delay;
        std::uint32_t blk;
        int chunks;          // chunks of blk bytes fed one per pass
        std::size_t blocks;  // blocks out in total
        std::uint32_t held;
    };
    for (const Case& k : {Case{1600, 160, 9, 0, 1440}, Case{1600, 160, 10, 1, 1440}, Case{1600, 160, 14, 5, 1440},
                          Case{100, 160, 3, 3, 0}, Case{640, 640, 2, 2, 0}}) {
        SCOPED_TRACE(testing::Message() << "delay " << k.delay << " chunks " << k.chunks);
        avhub::DelayBuf = k.delay;
        avhub::u32AdoBlkSize = k.blk;
        avhub::u32MainAdoBufLen[0] = 0;
        Bytes all;
        for (int i = 0; i < k.chunks; ++i) {
            const Bytes p = pattern(k.blk, static_cast<std::uint8_t>(i));
            all.insert(all.end(), p.begin(), p.end());
            audio_in(chunk(1, 0, 0, 0, p));
            pass();
        }
        auto out = audio_out();
        ASSERT_EQ(out.size(), k.blocks);
        Bytes sent;
        for (const Packet& p : out) sent.insert(sent.end(), p.payload.begin(), p.payload.end());
        EXPECT_EQ(sent, Bytes(all.begin(), all.begin() + static_cast<long>(sent.size()))) << "oldest audio first";
        EXPECT_EQ(avhub::u32MainAdoBufLen[0], k.held);
    }
}

TEST_F(RelayTest, GarbageIsSkippedUpToTheNextMagicInTheSamePass) {
    const Bytes payload = pattern(64, 3);
    struct Case {
        const char* name;
        Bytes stream;
    };
    const Case cases[] = {
        {"leading 12 34", cat({Bytes{0x12, 0x34}, chunk(0, 0, 0, 3, payload)})},
        {"unknown stream type 7", cat({chunk(7, 0, 0, 3, pattern(30, 1)), chunk(0, 0, 0, 3, payload)})},
        {"magic-like garbage", cat({Bytes{0x00, 0x55, 0xAA, 0x00, 0x55}, Bytes(20, 0xEE), chunk(0, 0, 0, 3, payload)})},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        video_in(k.stream);
        pass();
        auto out = video_out();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].payload, payload);
        EXPECT_EQ(avhub::u32VdoSockBuflen, 0u);
    }
}

TEST_F(RelayTest, GarbageWithoutMagicKeepsOnlyTheLastFourBytes) {
    // The magic's first three bytes end the read: they are kept.
    const Bytes good = chunk(0, 0, 0, 3, pattern(5, 1));
    video_in(cat({Bytes(40, 0x99), Bytes(good.begin(), good.begin() + 3)}));
    pass();
    EXPECT_EQ(avhub::u32VdoSockBuflen, 4u);
    video_in(Bytes(good.begin() + 3, good.end()));
    pass();
    auto out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, pattern(5, 1));
}

TEST_F(RelayTest, EmptyPacketsNeedNoPayload) {
    // An empty video packet is taken out without effect, flags ignored.
    video_in(cat({chunk(0, 0, 0, 1, pattern(10, 1)), chunk(0, 0, 0, 3, {}), chunk(0, 0, 0, 2, pattern(10, 2))}));
    pass();
    auto out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, cat({pattern(10, 1), pattern(10, 2)}));

    // Left alone at the front after another packet, it waits for more bytes.
    video_in(cat({chunk(0, 0, 0, 3, pattern(10, 3)), chunk(0, 0, 0, 3, {})}));
    pass();
    EXPECT_EQ(video_out().size(), 1u);
    EXPECT_EQ(avhub::u32VdoSockBuflen, 18u);
    video_in(chunk(0, 0, 0, 3, pattern(10, 4)));
    pass();
    EXPECT_EQ(video_out().size(), 1u);
    EXPECT_EQ(avhub::u32VdoSockBuflen, 0u);
}

TEST_F(RelayTest, BadEncoderOutputIsSurvivedAndLaterPacketsStillFlow) {
    avhub::u32AdoBlkSize = 160;
    const Bytes good = pattern(300, 7);
    // A header whose packet could never fit the receive buffer.
    Bytes huge = chunk(0, 0, 0, 3, {});
    wire::store_be32(&huge[10], 0x7FFFFFF0);
    video_in(cat({huge, pattern(100, 1), chunk(0, 0, 0, 3, good)}));
    pass();
    auto out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, good);

    // Pieces before any first piece, and after a last piece, are ignored.
    video_in(cat({chunk(0, 0, 0, 0, pattern(50, 1)), chunk(0, 0, 0, 2, pattern(50, 2)), chunk(0, 0, 0, 1, good),
                  chunk(0, 0, 0, 2, good), chunk(0, 0, 0, 2, pattern(50, 3))}));
    pass();
    out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, cat({good, good}));

    // A frame that overflows the assembly buffer is dropped whole; the next
    // frame goes out intact.
    const Bytes piece = pattern(60000, 9);
    video_in(chunk(0, 0, 0, 1, piece));
    pass();
    for (int i = 0; i < 5; ++i) {
        video_in(chunk(0, 0, 0, 0, piece));
        pass();
    }
    video_in(cat({chunk(0, 0, 0, 2, piece), chunk(0, 0, 0, 3, good)}));
    pass();
    out = video_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, good);

    // Audio for channel 10 and more is dropped; channels 4-9 are held, never
    // sent; an accumulator that is full drops the payload.
    audio_in(cat({chunk(1, 12, 0, 0, pattern(160, 1)), chunk(1, 5, 0, 0, pattern(160, 2))}));
    pass();
    EXPECT_TRUE(audio_out().empty());
    EXPECT_EQ(avhub::u32MainAdoBufLen[5], 160u);
    avhub::u32MainAdoBufLen[5] = static_cast<std::uint32_t>(avhub::kMainAdoBufSize - 100);
    audio_in(cat({chunk(1, 5, 0, 0, pattern(160, 2)), chunk(1, 0, 0, 0, pattern(160, 3))}));
    pass();
    EXPECT_EQ(avhub::u32MainAdoBufLen[5], avhub::kMainAdoBufSize - 100);
    out = audio_out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, pattern(160, 3));
}

TEST_F(RelayTest, VcbModeDropsAndABridgePeerTakesTheFrames) {
    avhub::u32VcbMode = 1;
    video_in(chunk(0, 0, 0, 3, pattern(100, 1)));
    pass();
    EXPECT_TRUE(video_out().empty());

    int peer[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, peer), 0);
    ::fcntl(peer[1], F_SETFL, O_NONBLOCK);
    avhub::BdgServer_t.u32VdoBtsmCnt = 1;
    avhub::BdgServer_t.stVdoBtsm[3].s32Fd = peer[0];
    video_in(chunk(0, 0, 0, 3, pattern(100, 2)));
    pass();
    avhub::BdgServer_t.stVdoBtsm[3].s32Fd = 0;
    avhub::BdgServer_t.u32VdoBtsmCnt = 0;
    stream_writer::stream_forget(peer[0]);

    EXPECT_TRUE(video_out().empty());
    auto out = parse_stream(drain(peer[1]));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload, pattern(100, 2));
    ::close(peer[0]);
    ::close(peer[1]);
}

}  // namespace
}  // namespace call_test
