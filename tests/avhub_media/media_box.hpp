// Shared set-up of the playback tests: clips and tone files made at test
// time, boxsim with the codec servers, the UI FIFO and the quad display, and
// avhub started against them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace media_test {

using namespace std::chrono_literals;

inline constexpr const char* kTivaneDir = "/mnt/project/Tivane";
inline constexpr const char* kBlackClip = "/mnt/project/Tivane/black.avi";

// Runs a command line through the shell; true when it exited 0.
bool run(const std::string& cmd);

// Makes a clip with the ffmpeg tool. video: an ffmpeg video encoder name or
// "" for none; audio likewise. rate is the frame rate (the video time base
// is 1/rate), seconds its length.
bool make_clip(const std::string& path, const std::string& video, const std::string& audio, int rate,
               double seconds);

// Sizes of the packets of one stream kind ("v" or "a"), in file order.
std::vector<std::uint32_t> packet_sizes(const std::string& clip, const std::string& kind);
// The payload bytes of the clip's audio stream, in file order.
std::string audio_payload(const std::string& clip);

struct Decoded {
    std::uint16_t cmd;
    std::uint16_t type;
    std::uint8_t chan;
};
std::vector<Decoded> decoded(const std::vector<boxsim::CmdEvent>& cmds);

class MediaBox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes one command into avhub's FIFO.
    void fifo(const std::string& text);
    // Runs a harmless command and waits for its line: every command written
    // before it has then been carried out completely.
    void sync();
    // The clips of a fault test, made in dir (H.264 and G.711 u-law at 25
    // frames/s): a black clip of 0.3 s as black_source_, and a good clip of
    // `seconds`, whose path is returned (empty when ffmpeg failed).
    std::string make_black_and_good(const std::string& dir, double seconds);

    boxsim::Records& rec() { return sim_->records(); }
    harness::Proc& hub() { return *hub_; }

    // Copies the prepared black clip into place (tests that want it missing
    // skip this).
    bool black_in_place_ = true;
    // boxsim roles; a test that stands in for the UI application itself
    // leaves out ui_app.
    std::string roles_ = "codec,ui_app,quad_display";
    std::string black_source_;

    std::unique_ptr<harness::TempDir> records_dir_;
    std::unique_ptr<boxsim::Boxsim> sim_;
    std::unique_ptr<harness::Proc> hub_;
};

}  // namespace media_test
