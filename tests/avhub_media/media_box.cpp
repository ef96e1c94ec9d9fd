#include "media_box.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "wire/codes.hpp"

namespace media_test {

namespace fs = std::filesystem;

bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

bool make_clip(const std::string& path, const std::string& video, const std::string& audio, int rate,
               double seconds) {
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -hide_banner -loglevel error -y";
    if (!video.empty()) cmd << " -f lavfi -i color=c=black:s=128x96:r=" << rate << ":d=" << seconds;
    // 800-byte audio packets: whole 160-byte blocks, 100 ms each.
    if (!audio.empty()) cmd << " -f lavfi -i sine=f=440:r=8000:samples_per_frame=800:d=" << seconds;
    if (!video.empty()) {
        cmd << " -c:v " << video;
        if (video == "libx264") cmd << " -preset ultrafast -g 5";
    }
    if (!audio.empty()) cmd << " -c:a " << audio << " -ar 8000 -ac 1";
    cmd << " " << path;
    return run(cmd.str());
}

std::vector<std::uint32_t> packet_sizes(const std::string& clip, const std::string& kind) {
    std::vector<std::uint32_t> sizes;
    const std::string cmd =
        "ffprobe -v error -select_streams " + kind + " -show_entries packet=size -of csv=p=0 " + clip;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return sizes;
    unsigned long v = 0;
    while (std::fscanf(p, "%lu", &v) == 1) sizes.push_back(static_cast<std::uint32_t>(v));
    ::pclose(p);
    return sizes;
}

std::string audio_payload(const std::string& clip) {
    const std::string out = clip + ".raw";
    if (!run("ffmpeg -nostdin -hide_banner -loglevel error -y -i " + clip + " -map 0:a -c copy -f mulaw " + out))
        return {};
    return harness::read_file(out).value_or("");
}

std::vector<Decoded> decoded(const std::vector<boxsim::CmdEvent>& cmds) {
    std::vector<Decoded> out;
    for (const auto& c : cmds) out.push_back({c.cmd.u16Cmd, c.cmd.u16Type, c.cmd.u8ChanIdx});
    return out;
}

std::string MediaBox::make_black_and_good(const std::string& dir, double seconds) {
    black_source_ = dir + "/black.avi";
    const std::string good = dir + "/good.avi";
    if (!make_clip(black_source_, "libx264", "pcm_mulaw", 25, 0.3)) return {};
    if (!make_clip(good, "libx264", "pcm_mulaw", 25, seconds)) return {};
    return good;
}

void MediaBox::SetUp() {
    HARNESS_REQUIRE_SANDBOX();
    fs::create_directories(kTivaneDir);
    if (black_in_place_ && !black_source_.empty()) fs::copy_file(black_source_, kBlackClip, fs::copy_options::overwrite_existing);

    records_dir_ = std::make_unique<harness::TempDir>();
    boxsim::Options opts;
    opts.args = {"--roles", roles_};
    opts.record_dir = records_dir_->path();
    sim_ = boxsim::Boxsim::start(opts);
    ASSERT_TRUE(sim_) << "boxsim did not come up";

    // avhub runs panectl through the shell: it must be found on the path.
    const std::string bin_dir = fs::path(harness::bin("avhub")).parent_path().string();
    const char* path = std::getenv("PATH");
    harness::ProcOptions popts;
    popts.env["PATH"] = bin_dir + ":" + (path ? path : "/usr/bin:/bin");
    hub_ = harness::Proc::start("avhub", {"54", "1280", "720", "30", "1024", "1", "0", "0", "0"}, popts);
    ASSERT_TRUE(hub_->wait_stdout("AvHub PID", 15s)) << hub_->stdout_text();
    ASSERT_TRUE(hub_->wait_stdout("waiting", 5s));
}

void MediaBox::TearDown() {
    if (hub_) {
        if (hub_->running()) {
            fifo("close");
            if (!hub_->wait_exit(10s)) hub_->kill_now();
        }
        hub_.reset();
    }
    if (sim_) {
        sim_->stop();
        sim_.reset();
    }
    records_dir_.reset();
    std::error_code ec;
    fs::remove_all(kTivaneDir, ec);
    fs::remove("/dev/tivane_in", ec);
}

void MediaBox::fifo(const std::string& text) {
    // One command per read: wait until avhub has read this one, so that the
    // next write can never be merged into the same read.
    const std::size_t before = hub_->count_stdout("fifo [");
    const int fd = ::open("/dev/avhub", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "avhub's FIFO is not there";
    const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    ASSERT_EQ(n, static_cast<ssize_t>(text.size()));
    ASSERT_TRUE(harness::wait_until([&] { return hub_->count_stdout("fifo [") > before; }, 30s))
        << "avhub did not read " << text;
}

void MediaBox::sync() {
    // An unknown word is only echoed; avhub reads it only after every
    // earlier command has run to its end.
    fifo("media_sync\n");
}

}  // namespace media_test
