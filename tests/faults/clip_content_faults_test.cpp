// Clips whose content, not their name, used to hold avhub: containers that
// name a FIFO, avhub's own FIFO or themselves, a live playlist that waits for
// its next segment, a header followed by a gigabyte to search, regular files
// whose reads wait for an event, a black clip with one chunk of half a
// gigabyte or a gigabyte, and a picture of 8192x8192. Each is refused, or its packet dropped, while avhub goes on
// serving its FIFO between its prescribed sleeps, stays small and ends on
// "close" at once.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "media_box.hpp"

namespace media_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr long kMiB = 1024 * 1024;
// avhub's memory with any clip: the whole process on the box; under a
// sanitizer or an emulator, which carry memory of their own, what a clip
// adds to it.
constexpr long kRssBound = 64 * kMiB;
using Ms = std::chrono::milliseconds;

// Longest time a command may wait while a sequence plays: a clip opening's
// prescribed 100 ms sleep plus 200 ms, with room for a loaded machine; and
// the same with the end of playback's prescribed 1 s sleep.
constexpr Ms kPlayingBound{300 + 700};
constexpr Ms kEndingBound{1300 + 700};

long status_kib(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

// A figure for the record, printed at once (the log of a hung run keeps it).
[[gnu::format(printf, 1, 2)]] void measured(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::fputs("[ measured ] ", stdout);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

// True when the pid runs avhub itself, not an emulator running it.
bool runs_natively(pid_t pid) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return !ec && exe.filename() == "avhub";
}

class ClipContent : public MediaBox {
protected:
    harness::TempDir dir_;
    std::string good_;
    int width_ = 100;
    long rss_before_ = 0;
    bool served_ = true;

    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        good_ = make_black_and_good(dir_.path(), 0.3);
        ASSERT_FALSE(good_.empty()) << "ffmpeg could not make the clips";
        MediaBox::SetUp();
        if (HasFatalFailure()) return;
        rss_before_ = status_kib(hub().pid(), "VmRSS:") * 1024;
    }

    std::size_t finishes() { return rec().events("ui").size(); }

    // Sends a setting command and returns how long it took to be carried out.
    Ms command_wait() {
        const std::string want = "=> " + std::to_string(++width_) + " ";
        const auto t0 = Clock::now();
        fifo("width " + std::to_string(width_) + "\n");
        served_ = hub().wait_stdout(want, 30s).has_value();
        EXPECT_TRUE(served_) << "avhub stopped serving its FIFO";
        return std::chrono::duration_cast<Ms>(Clock::now() - t0);
    }

    // Longest waits of the commands served while the sequence played, and
    // of those that fell into the end of playback.
    struct Waits {
        Ms playing{0};
        Ms ending{0};
    };

    // Plays `name` and keeps commanding avhub until the sequence has ended
    // with its finish record; every command is served within its bound.
    void play_and_measure(const std::string& name) {
        const std::size_t before = finishes();
        const std::size_t ends = hub().count_stdout("Finish [");
        fifo("play " + name + "\n");
        Waits w;
        const auto end = Clock::now() + harness::scaled(30s);
        while (finishes() == before && Clock::now() < end && served_) {
            const Ms wait = command_wait();
            // From the line that begins the end of playback on, a command
            // may fall into its sleep.
            Ms& slot = hub().count_stdout("Finish [") == ends ? w.playing : w.ending;
            slot = std::max(slot, wait);
        }
        EXPECT_GT(finishes(), before) << "no finish record\n" << hub().stdout_text();
        EXPECT_LE(w.playing, harness::scaled(kPlayingBound));
        EXPECT_LE(w.ending, harness::scaled(kEndingBound));
        measured("%s: longest command wait %lld ms while playing, %lld ms at the end of playback\n", name.c_str(),
                 static_cast<long long>(w.playing.count()), static_cast<long long>(w.ending.count()));
    }

    void expect_small() {
        const long peak = status_kib(hub().pid(), "VmHWM:") * 1024;
        ASSERT_GT(peak, 0);
        if (!kSanitized && runs_natively(hub().pid())) {
            EXPECT_LE(peak, kRssBound) << "peak RSS " << peak / kMiB << " MiB";
        } else {
            EXPECT_LE(peak - rss_before_, kRssBound) << "peak RSS grew by " << (peak - rss_before_) / kMiB << " MiB";
        }
        measured("peak RSS %ld MiB (%ld MiB before the clips)\n", peak / kMiB, rss_before_ / kMiB);
    }

    void expect_close_at_once() {
        const auto t0 = Clock::now();
        fifo("close");
        EXPECT_EQ(hub().wait_exit(harness::scaled(1s)), 0) << "close did not end avhub at once";
        measured("close ended avhub in %lld ms\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
        EXPECT_EQ(hub().stderr_text().find("Sanitizer"), std::string::npos) << hub().stderr_text();
    }

    std::string put(const std::string& name, const std::string& text) {
        const std::string path = dir_ / name;
        EXPECT_TRUE(harness::write_file(path, text));
        return path;
    }
};

// Containers and files the box does not play: each is refused at its
// opening with the open-failure line, having opened nothing it names.
TEST_F(ClipContent, ContainersThatNameOtherFilesOrWaitAreRefused) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(::symlink("/dev/avhub", (dir_ / "hub_link").c_str()), 0);
    ASSERT_TRUE(run("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i color=c=black:s=128x96:r=25:d=0.2 "
                    "-c:v libx264 -preset ultrafast -f mpegts " + dir_ / "seg0.ts"));
    ASSERT_TRUE(run("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i color=c=black:s=8192x8192:r=25:d=0.08 "
                    "-c:v libx264 -preset ultrafast " + dir_ / "huge.avi"));
    ASSERT_TRUE(run("ffmpeg -nostdin -hide_banner -loglevel error -y -i " + dir_ / "huge.avi" + " -c copy " +
                    dir_ / "huge.mp4"));
    // The same picture behind a container that declares 128x96.
    std::string hidden = harness::read_file(dir_ / "huge.avi").value_or("");
    for (const char* chunk : {"avih", "strf"}) {
        const std::size_t at = hidden.find(chunk);
        ASSERT_NE(at, std::string::npos);
        const std::size_t dims = at + 8 + (std::string(chunk) == "avih" ? 32 : 4);
        const char w[8] = {char(128), 0, 0, 0, char(96), 0, 0, 0};
        hidden.replace(dims, 8, w, 8);
    }

    // A clip cut after its first chunk and extended sparsely: the demuxer
    // searches a gigabyte for the next chunk.
    const std::string zeros = dir_ / "zeros.avi";
    {
        const std::string black = harness::read_file(black_source_).value_or("");
        const std::size_t cut = black.find("01wb", black.find("00dc"));
        ASSERT_NE(cut, std::string::npos);
        ASSERT_TRUE(harness::write_file(zeros, black.substr(0, cut)));
        ASSERT_EQ(::truncate(zeros.c_str(), 1L << 30), 0);
    }

    struct Case {
        const char* what;
        std::string clip;
    };
    const Case cases[] = {
        {"playlist naming a FIFO", put("fifo.ffconcat", "ffconcat version 1.0\nfile fifo\n")},
        {"playlist naming a link to avhub's FIFO", put("hub.ffconcat", "ffconcat version 1.0\nfile hub_link\n")},
        {"playlist naming itself", put("self.ffconcat", "ffconcat version 1.0\nfile self.ffconcat\n")},
        {"live playlist, target duration one hour",
         put("live.m3u8", "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:3600\n#EXT-X-MEDIA-SEQUENCE:0\n"
                            "#EXTINF:3600.0,\nseg0.ts\n")},
        {"AVI header, then a gigabyte of zeros to search", zeros},
        {"8192x8192 picture in AVI", dir_ / "huge.avi"},
        {"8192x8192 picture in MP4", dir_ / "huge.mp4"},
        {"8192x8192 picture, container says 128x96", put("hidden.avi", hidden)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        play_and_measure(c.clip);
        EXPECT_GT(hub().count_stdout("can not open input file " + c.clip + "["), 0u) << hub().stdout_text();
    }
    expect_small();
    expect_close_at_once();
}

// Regular files whose reads wait for an event, and files of the kernel's
// pseudo file systems in general, are refused before anything reads them.
TEST_F(ClipContent, FilesOfPseudoFileSystemsAreRefusedUnread) {
    const std::string tracing = dir_ / "tracing";
    ASSERT_EQ(::mkdir(tracing.c_str(), 0755), 0);
    if (::mount("nodev", tracing.c_str(), "tracefs", 0, nullptr) != 0)
        GTEST_SKIP() << "tracefs cannot be mounted here: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{tracing};

    for (const std::string& clip : {tracing + "/trace_pipe", std::string("/proc/self/status"),
                                    std::string("/sys/kernel/uevent_seqnum")}) {
        SCOPED_TRACE(clip);
        play_and_measure(clip);
        EXPECT_GT(hub().count_stdout("Clip file " + clip + " refused"), 0u) << hub().stdout_text();
        EXPECT_GT(hub().count_stdout("can not open input file " + clip + "["), 0u);
    }
    expect_small();
    expect_close_at_once();
}

// A black clip whose third chunk declares 512 MiB or 1 GiB, the file
// extended sparsely behind it: the chunk is dropped unread, the clip ends
// there, and the sequence plays on.
TEST_F(ClipContent, ChunkLargerThanAnyPacketIsDroppedUnread) {
    const std::string intact = harness::read_file(black_source_).value_or("");
    for (const long chunk_mib : {512L, 1024L}) {
        SCOPED_TRACE(std::to_string(chunk_mib) + " MiB chunk");
        std::string bytes = intact;
        std::size_t at = bytes.find("movi");
        for (int i = 0; i < 3 && at != std::string::npos; ++i) at = bytes.find("00dc", at + 1);
        ASSERT_NE(at, std::string::npos);
        const std::uint32_t size = static_cast<std::uint32_t>(chunk_mib * kMiB);
        for (int b = 0; b < 4; ++b) bytes[at + 4 + static_cast<std::size_t>(b)] = static_cast<char>(size >> (8 * b));
        ASSERT_TRUE(harness::write_file(kBlackClip, bytes));
        ASSERT_EQ(::truncate(kBlackClip, static_cast<off_t>(chunk_mib * kMiB + 48 * kMiB)), 0);

        // The lead-in and the trailer each drop it, with its declared size.
        const std::string drop = "Drop oversized video packet " + std::to_string(size);
        const std::size_t drops = hub().count_stdout(drop);
        play_and_measure(good_);
        EXPECT_EQ(hub().count_stdout(drop), drops + 2) << hub().stdout_text();
    }
    expect_small();
    expect_close_at_once();
}

}  // namespace
}  // namespace media_test
