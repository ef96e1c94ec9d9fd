// Clips cut short or damaged in the middle, played one after another on one
// avhub: each sequence still ends with "finish", the decoders only ever get
// well-framed packets, and an intact clip plays fully afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "media_box.hpp"

namespace media_test {
namespace {

struct Damaged {
    const char* name;
    // Keeps the first `keep` parts of the file (1.0: all of it), then
    // overwrites `noise` bytes at `at` of the whole.
    double keep;
    double at;
    std::size_t noise;
};

constexpr Damaged kDamage[] = {
    {"cut_in_half", 0.5, 0, 0},
    {"cut_after_header", 0.02, 0, 0},
    {"noise_in_middle", 1.0, 0.5, 4096},
    {"noise_at_start", 1.0, 0.0, 512},
    {"noise_near_end", 0.8, 0.7, 8192},
};

class ClipFaults : public MediaBox {
protected:
    harness::TempDir clips_;
    std::string good_;

    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        good_ = make_black_and_good(clips_.path(), 2.0);
        ASSERT_FALSE(good_.empty()) << "ffmpeg could not make the clips";
        MediaBox::SetUp();
    }

    std::string damaged_copy(const Damaged& d) {
        std::string bytes = harness::read_file(good_).value_or("");
        bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * d.keep));
        std::mt19937 rng(11);
        const auto at = static_cast<std::size_t>(static_cast<double>(bytes.size()) * d.at);
        for (std::size_t i = at; i < at + d.noise && i < bytes.size(); ++i) bytes[i] = static_cast<char>(rng());
        const std::string path = clips_ / (std::string(d.name) + ".avi");
        EXPECT_TRUE(harness::write_file(path, bytes));
        return path;
    }

    bool wait_finishes(std::size_t n) {
        return rec().wait([n](const boxsim::Records& r) { return r.events("ui").size() >= n; }, 30s);
    }
};

// The clip is cut short on disk while it plays.
TEST_F(ClipFaults, ClipTruncatedWhilePlaying) {
    const std::string clip = clips_ / "long.avi";
    ASSERT_TRUE(make_clip(clip, "libx264", "pcm_mulaw", 25, 8.0));
    const std::size_t video_before = rec().chunks("T_DecStrm").size();
    fifo("play " + clip + "\n");
    ASSERT_TRUE(rec().wait_chunks("T_DecStrm", video_before + 40, 10s));
    const std::string bytes = harness::read_file(clip).value_or("");
    ASSERT_EQ(::truncate(clip.c_str(), static_cast<off_t>(bytes.size() / 3)), 0);
    ASSERT_TRUE(wait_finishes(1)) << "no finish record";
    EXPECT_LT(rec().chunks("T_DecStrm").size(), video_before + packet_sizes(good_, "v").size() * 4);

    fifo("play " + good_ + "\n");
    ASSERT_TRUE(wait_finishes(2));
    for (const char* ep : {"T_DecStrm", "ado_dec_server_socket"}) {
        EXPECT_TRUE(rec().events("garbage", ep).empty()) << ep << " received bytes that were not a packet";
    }
    fifo("close");
    EXPECT_EQ(hub().wait_exit(10s), 0);
    EXPECT_EQ(hub().stderr_text().find("Sanitizer"), std::string::npos) << hub().stderr_text();
}

TEST_F(ClipFaults, DamagedClipsFinishAndAnIntactOnePlaysAfter) {
    std::size_t finishes = 0;
    for (const Damaged& d : kDamage) {
        SCOPED_TRACE(d.name);
        fifo("play " + damaged_copy(d) + "\n");
        ASSERT_TRUE(wait_finishes(++finishes)) << "no finish record";
        ASSERT_TRUE(hub().running());
    }

    const std::size_t video_before = rec().chunks("T_DecStrm").size();
    fifo("play " + good_ + "\n");
    ASSERT_TRUE(wait_finishes(++finishes));
    // The whole intact clip (50 frames) plus the two black ones.
    EXPECT_GE(rec().chunks("T_DecStrm").size(), video_before + packet_sizes(good_, "v").size());
    for (const char* ep : {"T_DecStrm", "ado_dec_server_socket"}) {
        EXPECT_TRUE(rec().events("garbage", ep).empty()) << ep << " received bytes that were not a packet";
    }

    fifo("close");
    EXPECT_EQ(hub().wait_exit(10s), 0);
    const std::string err = hub().stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

}  // namespace
}  // namespace media_test
