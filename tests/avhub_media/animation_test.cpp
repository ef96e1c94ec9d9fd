// Animation playback end to end: clips made with the ffmpeg tool, played by
// avhub through FFmpeg onto boxsim's decoders, paced against the clip's
// timeline, and the "finish" record to the UI application's FIFO.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "media_box.hpp"
#include "wire/codes.hpp"

namespace media_test {
namespace {

constexpr const char* kVdoDecCmd = "T_DecCmd";
constexpr const char* kVdoDecStrm = "T_DecStrm";
constexpr const char* kAdoDecCmd = "ado_dec_cmd_socket";
constexpr const char* kAdoDecStrm = "ado_dec_server_socket";

// Tiny clips, made once for the whole binary.
struct Clips {
    harness::TempDir dir;
    std::string black, requested, h263, black_video_only, video_only, longer;
    bool ok = false;
};
Clips* g_clips = nullptr;

class Animation : public MediaBox {
public:
    static void SetUpTestSuite() {
        if (g_clips != nullptr || !harness::in_sandbox()) return;
        g_clips = new Clips;
        Clips& c = *g_clips;
        c.black = c.dir / "black25.avi";
        c.requested = c.dir / "clip30.avi";
        c.h263 = c.dir / "h263.avi";
        c.black_video_only = c.dir / "black_vonly.avi";
        c.video_only = c.dir / "vonly60.avi";
        c.longer = c.dir / "long.avi";
        c.ok = make_clip(c.black, "libx264", "pcm_mulaw", 25, 0.4) &&
               make_clip(c.requested, "libx264", "pcm_mulaw", 30, 0.5) &&
               make_clip(c.h263, "h263", "pcm_mulaw", 25, 0.2) &&
               make_clip(c.black_video_only, "libx264", "", 25, 0.2) &&
               make_clip(c.video_only, "libx264", "", 60, 0.3) &&
               // More frames than a queue holds, so reading is still inside
               // this clip while it plays.
               make_clip(c.longer, "libx264", "pcm_mulaw", 25, 8.0);
    }
    static void TearDownTestSuite() {
        delete g_clips;
        g_clips = nullptr;
    }

protected:
    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        ASSERT_TRUE(g_clips && g_clips->ok) << "the test clips could not be made with ffmpeg";
        if (black_source_.empty()) black_source_ = g_clips->black;
        MediaBox::SetUp();
    }

    const Clips& clips() const { return *g_clips; }

    bool wait_finish_record(harness::Ms timeout = 30s) {
        return rec().wait([](const boxsim::Records& r) { return !r.events("ui").empty(); }, timeout);
    }
};

std::vector<std::uint32_t> concat(std::initializer_list<std::vector<std::uint32_t>> parts) {
    std::vector<std::uint32_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<std::uint32_t> sizes_of(const std::vector<boxsim::ChunkEvent>& chunks, std::size_t from = 0) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = from; i < chunks.size(); ++i) out.push_back(chunks[i].hdr.u32PacketSize);
    return out;
}

// Video packets reach the decoder as whole frames (flags 3 in byte 14),
// stamped with a frame count from 0.
void expect_video_framing(const std::vector<boxsim::ChunkEvent>& chunks, std::size_t from = 0) {
    for (std::size_t i = from; i < chunks.size(); ++i) {
        const auto& c = chunks[i];
        EXPECT_EQ(c.hdr.u8StreamType, wire::kStreamVideo) << i;
        EXPECT_EQ(c.hdr.u8StreamCh, 0) << i;
        EXPECT_EQ(c.hdr.u32TimeStamp, i - from) << i;
        EXPECT_EQ(c.raw_header[14], 3) << i;
        EXPECT_EQ(c.raw_header[15] | c.raw_header[16] | c.raw_header[17], 0) << i;
        EXPECT_EQ(c.payload.size(), c.hdr.u32PacketSize) << i;
    }
}

void expect_audio_blocks(const std::vector<boxsim::ChunkEvent>& chunks) {
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].hdr.u8StreamType, wire::kStreamAudio) << i;
        EXPECT_EQ(chunks[i].hdr.u8StreamCh, 12) << i;
        EXPECT_EQ(chunks[i].hdr.u32TimeStamp, i) << i;
        EXPECT_EQ(chunks[i].hdr.u32PacketSize, 160u) << i;
        EXPECT_EQ(chunks[i].hdr.u32Gob, 0u) << i;
    }
}

void expect_finish_record(const boxsim::Records& r) {
    const auto ui = r.events("ui");
    ASSERT_EQ(ui.size(), 1u);
    EXPECT_EQ(ui[0].get("text"), "finish");
    EXPECT_EQ(ui[0].get("hex"), "66696e697368" + std::string(2 * 122, '0'));
}

TEST_F(Animation, SequenceReachesTheDecodersPacedAndEndsWithFinish) {
    fifo("play " + clips().requested + "\n");
    ASSERT_TRUE(wait_finish_record()) << hub().stdout_text();
    ASSERT_TRUE(rec().wait_commands(kVdoDecCmd, 2, 10s));
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 2, 10s));
    expect_finish_record(rec());

    const auto vcmds = rec().commands(kVdoDecCmd);
    ASSERT_EQ(vcmds.size(), 2u);
    EXPECT_EQ(vcmds[0].cmd.u16Cmd, wire::REQ_VDO_DEC);
    EXPECT_EQ(vcmds[0].cmd.u16Type, wire::STD_H264);
    EXPECT_EQ(vcmds[0].cmd.u8ChanIdx, 0);
    EXPECT_EQ(vcmds[1].cmd.u16Cmd, wire::REQ_VDO_CLOSE);
    EXPECT_EQ(vcmds[1].cmd.u8ChanIdx, 0);
    const auto acmds = rec().commands(kAdoDecCmd);
    ASSERT_EQ(acmds.size(), 2u);
    EXPECT_EQ(acmds[0].cmd.u16Cmd, wire::REQ_ADO_DEC);
    EXPECT_EQ(acmds[0].cmd.u16Type, wire::STD_G711U);
    EXPECT_EQ(acmds[0].cmd.u16ByteNumPerBlk, 160);
    EXPECT_EQ(acmds[0].cmd.u16BitRate, 8);
    EXPECT_EQ(acmds[0].cmd.u8ChanIdx, 12);
    EXPECT_EQ(acmds[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
    EXPECT_EQ(acmds[1].cmd.u8ChanIdx, 12);

    // Lead-in, clip and trailer as one stream, packet for packet.
    const auto black_v = packet_sizes(clips().black, "v");
    const auto clip_v = packet_sizes(clips().requested, "v");
    ASSERT_EQ(black_v.size(), 10u);
    ASSERT_EQ(clip_v.size(), 15u);
    const auto video = rec().chunks(kVdoDecStrm);
    EXPECT_EQ(sizes_of(video), concat({black_v, clip_v, black_v}));
    expect_video_framing(video);

    const std::string black_a = audio_payload(clips().black);
    const std::string clip_a = audio_payload(clips().requested);
    ASSERT_EQ(black_a.size(), 3200u);
    const auto audio = rec().chunks(kAdoDecStrm);
    EXPECT_EQ(audio.size(), (2 * black_a.size() + clip_a.size()) / 160);
    expect_audio_blocks(audio);
    EXPECT_TRUE(rec().rx_bytes(kAdoDecStrm) == black_a + clip_a + black_a) << "audio bytes differ";

    // Paced against the timeline: frame i is due 40 ms (1/25) or 33 ms
    // (1/30) after frame i-1 and may leave 20 ms early; 60 ms more allow for
    // a late first frame on a busy machine.
    ASSERT_EQ(video.size(), 35u);
    long long due_ms = 0;
    for (std::size_t i = 0; i < video.size(); ++i) {
        const long long since_first_ms = (video[i].t_us - video[0].t_us) / 1000;
        EXPECT_GE(since_first_ms, due_ms - 80) << "frame " << i << " left too early";
        due_ms += (i >= 10 && i < 25) ? 33 : 40;
    }
    EXPECT_LT((video.back().t_us - video[0].t_us) / 1000, 1255 + 5000);
    EXPECT_TRUE(hub().wait_stdout("Finish Animation [0]", 1s));
    EXPECT_TRUE(hub().wait_stdout("Finish [1 1]", 1s));
    // Frame periods from the time bases 1/25 and 1/30; 1/8000 audio gives 0.
    EXPECT_GE(hub().count_stdout("u32VdoTmStamp 40"), 2u);
    EXPECT_EQ(hub().count_stdout("u32VdoTmStamp 33"), 1u);
    EXPECT_GE(hub().count_stdout("u32AdoTmStamp 0"), 3u);
}

TEST_F(Animation, UnsupportedClipIsReplacedByTheBlackClip) {
    fifo("play " + clips().h263 + "\n");
    ASSERT_TRUE(wait_finish_record()) << hub().stdout_text();
    EXPECT_EQ(hub().count_stdout("Video Codec not support"), 1u);
    EXPECT_EQ(hub().count_stdout("Skip unsupported animation file"), 1u);
    const auto black_v = packet_sizes(clips().black, "v");
    const auto video = rec().chunks(kVdoDecStrm);
    EXPECT_EQ(sizes_of(video), concat({black_v, black_v, black_v}));
    expect_video_framing(video);
    EXPECT_TRUE(rec().wait_commands(kVdoDecCmd, 2, 10s));
    const auto vcmds = rec().commands(kVdoDecCmd);
    ASSERT_EQ(vcmds.size(), 2u);
    EXPECT_EQ(vcmds[0].cmd.u16Type, wire::STD_H264);
}

TEST_F(Animation, MissingClipPlaysTheLeadInOnlyAndStillFinishes) {
    fifo("play /mnt/project/none.avi\n");
    ASSERT_TRUE(wait_finish_record()) << hub().stdout_text();
    EXPECT_TRUE(hub().wait_stdout("can not open input file /mnt/project/none.avi[", 1s));
    expect_finish_record(rec());
    EXPECT_EQ(sizes_of(rec().chunks(kVdoDecStrm)), packet_sizes(clips().black, "v"));
    ASSERT_TRUE(rec().wait_commands(kVdoDecCmd, 2, 10s));
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 2, 10s));
    EXPECT_EQ(rec().commands(kVdoDecCmd)[1].cmd.u16Cmd, wire::REQ_VDO_CLOSE);
    EXPECT_EQ(rec().commands(kAdoDecCmd)[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
}

class AnimationNoBlack : public Animation {
public:
    AnimationNoBlack() { black_in_place_ = false; }
};

TEST_F(AnimationNoBlack, NothingStartsAndFinishWhileIdleDoesNothing) {
    fifo("play " + clips().requested + "\n");
    EXPECT_TRUE(hub().wait_stdout("can not open input file /mnt/project/Tivane/black.avi[", 10s));
    fifo("finish\n");
    sync();
    EXPECT_EQ(hub().count_stdout("Finish ....."), 0u);
    EXPECT_TRUE(rec().commands(kVdoDecCmd).empty());
    EXPECT_TRUE(rec().commands(kAdoDecCmd).empty());
    EXPECT_TRUE(rec().events("ui").empty());
}

class AnimationVideoOnly : public Animation {
protected:
    void SetUp() override {
        if (g_clips) black_source_ = g_clips->black_video_only;
        Animation::SetUp();
    }
};

TEST_F(AnimationVideoOnly, NeverStartsTheAudioDecoder) {
    fifo("play " + clips().video_only + "\n");
    ASSERT_TRUE(wait_finish_record()) << hub().stdout_text();
    EXPECT_TRUE(hub().wait_stdout("Finish [1 0]", 1s));
    // A 1/60 time base gives 16 ms, raised to 30.
    EXPECT_EQ(hub().count_stdout("u32VdoTmStamp 16"), 1u);
    EXPECT_EQ(hub().count_stdout("u32VdoTmStamp 30"), 1u);
    const auto bv = packet_sizes(clips().black_video_only, "v");
    const auto video = rec().chunks(kVdoDecStrm);
    EXPECT_EQ(sizes_of(video), concat({bv, packet_sizes(clips().video_only, "v"), bv}));
    expect_video_framing(video);
    ASSERT_TRUE(rec().wait_commands(kVdoDecCmd, 2, 10s));
    sync();
    EXPECT_TRUE(rec().commands(kAdoDecCmd).empty());
    EXPECT_TRUE(rec().chunks(kAdoDecStrm).empty());
}

TEST_F(Animation, FinishStopsAtOnceWithoutARecord) {
    fifo("play " + clips().longer + "\n");
    ASSERT_TRUE(rec().wait_chunks(kVdoDecStrm, 15, 20s));
    fifo("finish\n");
    EXPECT_TRUE(hub().wait_stdout("Finish .....", 5s));
    ASSERT_TRUE(rec().wait_commands(kVdoDecCmd, 2, 10s));
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 2, 10s));
    EXPECT_EQ(rec().commands(kVdoDecCmd)[1].cmd.u16Cmd, wire::REQ_VDO_CLOSE);
    EXPECT_EQ(rec().commands(kAdoDecCmd)[1].cmd.u16Cmd, wire::REQ_ADO_CLOSE);
    EXPECT_EQ(rec().commands(kAdoDecCmd)[1].cmd.u8ChanIdx, 12);
    // Several loop passes later nothing more has been played.
    sync();
    sync();
    EXPECT_LT(rec().chunks(kVdoDecStrm).size(), 10u + 200u);
    EXPECT_EQ(hub().count_stdout("Finish ["), 0u);
    EXPECT_TRUE(rec().events("ui").empty());
}

TEST_F(Animation, PlayDuringPlaybackRestartsTheSequence) {
    fifo("play " + clips().longer + "\n");
    ASSERT_TRUE(rec().wait_chunks(kVdoDecStrm, 15, 20s));
    fifo("play " + clips().requested + "\n");
    EXPECT_TRUE(hub().wait_stdout("PlaySt Err 2", 5s)) << hub().stdout_text();
    ASSERT_TRUE(wait_finish_record()) << hub().stdout_text();
    ASSERT_TRUE(rec().wait_commands(kVdoDecCmd, 4, 10s));
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 4, 10s));
    expect_finish_record(rec());

    std::vector<std::uint16_t> vcodes, acodes;
    for (const auto& c : rec().commands(kVdoDecCmd)) vcodes.push_back(c.cmd.u16Cmd);
    for (const auto& c : rec().commands(kAdoDecCmd)) acodes.push_back(c.cmd.u16Cmd);
    EXPECT_EQ(vcodes, (std::vector<std::uint16_t>{wire::REQ_VDO_DEC, wire::REQ_VDO_CLOSE, wire::REQ_VDO_DEC,
                                                  wire::REQ_VDO_CLOSE}));
    EXPECT_EQ(acodes, (std::vector<std::uint16_t>{wire::REQ_ADO_DEC, wire::REQ_ADO_CLOSE, wire::REQ_ADO_DEC,
                                                  wire::REQ_ADO_CLOSE}));

    // The second sequence starts from frame 0 with a fresh lead-in; nothing
    // of the first one is left in the queues.
    const auto video = rec().chunks(kVdoDecStrm);
    std::size_t restart = 0;
    for (std::size_t i = 1; i < video.size(); ++i)
        if (video[i].hdr.u32TimeStamp == 0) restart = i;
    ASSERT_GT(restart, 0u);
    const auto black_v = packet_sizes(clips().black, "v");
    EXPECT_EQ(sizes_of(video, restart), concat({black_v, packet_sizes(clips().requested, "v"), black_v}));
    expect_video_framing(video, restart);
}

}  // namespace
}  // namespace media_test
