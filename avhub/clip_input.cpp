// Clip demultiplexing within fixed bounds (see clip_input.hpp).
#include "clip_input.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_open.hpp"
#include "globals.hpp"
#include "log.hpp"

namespace avhub::clip_input {

namespace {

constexpr char kModule[] = "animation.c";

using Clock = std::chrono::steady_clock;
using IoOpen = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);

// Processor time this thread has used: the work a library call does, apart
// from the time a loaded machine gives to other processes.
milliseconds thread_cpu_now() {
    timespec ts{};
    (void)::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::duration_cast<milliseconds>(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

// What bounds the clip that is open (one at a time): the budget of the
// library call running now, and the files opened for it.
struct Guard {
    milliseconds work_end{};
    Clock::time_point wait_end{};
    bool timed_out = false;
    int opens = 0;
    IoOpen library_io_open = nullptr;
};

Guard g_guard;
bool g_first_open_done = false;

void arm(const Budget& b) {
    g_guard.work_end = thread_cpu_now() + b.work;
    g_guard.wait_end = Clock::now() + b.wait;
    g_guard.timed_out = false;
}

// The library asks this between the steps of every call that reads; a
// non-zero answer ends the call with AVERROR_EXIT.
int over_budget(void* opaque) {
    auto* g = static_cast<Guard*>(opaque);
    if (thread_cpu_now() < g->work_end && Clock::now() < g->wait_end) return 0;
    g->timed_out = true;
    return 1;
}

// Every file the demultiplexer opens, the clip and whatever its container
// names, comes here and is held to the same rule: a regular file on a file
// system whose reads end, at most kMaxOpensPerClip of them. The library
// then opens the descriptor just checked, so a name swapped for a FIFO after
// the check cannot block the open. A URL names no local file and is refused
// before any protocol runs; the protocol whitelist refuses every protocol
// but "file" behind it as well.
int checked_io_open(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** opts) {
    auto* g = static_cast<Guard*>(s->opaque);
    if (g == nullptr || g->library_io_open == nullptr || (flags & AVIO_FLAG_WRITE) != 0) return AVERROR(EPERM);
    if (++g->opens > kMaxOpensPerClip) {
        AVHUB_LOG("Clip opens too many files: %s refused \n", url);
        return AVERROR(EMLINK);
    }
    const char* path = url;
    if (std::strncmp(path, "file:", 5) == 0) path += 5;
    const int fd = open_regular_file(path);
    if (fd < 0) {
        const int err = errno;
        if (err == EMEDIUMTYPE || err == EINVAL)
            AVHUB_LOG("Clip file %s refused: %s \n", path,
                      err == EINVAL ? "not a regular file" : "not on a disk, flash, memory or network file system");
        return AVERROR(err);
    }
    std::array<char, 40> self{};
    std::snprintf(self.data(), self.size(), "file:/proc/self/fd/%d", fd);
    const int rc = g->library_io_open(s, pb, self.data(), flags, opts);
    ::close(fd);
    return rc;
}

// Largest picture a stream declares: its container's size, or the size the
// parser found in the bitstream itself, whichever is larger, so that a
// container cannot hide a larger picture.
struct Picture {
    int width = 0;
    int height = 0;
};

Picture picture_of(const AVStream* st) {
    Picture p{st->codecpar->width, st->codecpar->height};
    if (const AVCodecParserContext* parser = av_stream_get_parser(st)) {
        p.width = std::max({p.width, parser->width, parser->coded_width});
        p.height = std::max({p.height, parser->height, parser->coded_height});
    }
    return p;
}

bool picture_too_large(const AVStream* st) {
    const Picture p = picture_of(st);
    return static_cast<std::uint32_t>(p.width) > kMaxWidth || static_cast<std::uint32_t>(p.height) > kMaxHeight;
}

// The first video stream with a picture larger than the largest call, or -1.
int oversized_video_stream(const AVFormatContext* ctx) {
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && picture_too_large(st)) return static_cast<int>(i);
    }
    return -1;
}

void log_picture_refused(const AVStream* st) {
    const Picture p = picture_of(st);
    AVHUB_LOG("Clip picture %dx%d is larger than %ux%u: refused \n", p.width, p.height, kMaxWidth, kMaxHeight);
}

// The packet whose read failed for want of memory, from what the container
// declares where the demuxer stopped: an index entry (MP4/MOV samples) that
// begins there, or the AVI chunk header just before it ("NNxx" and the
// size, little-endian). The demuxer stopped before reading any of it.
DeclaredPacket declared_at_stop(AVFormatContext* ctx) {
    if (ctx->pb == nullptr) return {};
    const std::int64_t pos = avio_tell(ctx->pb);
    if (pos < 0) return {};
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVStream* st = ctx->streams[i];
        const int entries = avformat_index_get_entries_count(st);
        for (int k = 0; k < entries; ++k) {
            const AVIndexEntry* e = avformat_index_get_entry(st, k);
            if (e != nullptr && e->pos == pos && static_cast<std::size_t>(e->size) > kMaxLibraryAlloc)
                return {static_cast<int>(i), static_cast<std::uint32_t>(e->size)};
        }
    }
    if (std::strcmp(ctx->iformat->name, "avi") != 0 || pos < 8) return {};
    std::array<unsigned char, 8> head{};
    if (avio_seek(ctx->pb, pos - 8, SEEK_SET) != pos - 8 || avio_read(ctx->pb, head.data(), 8) != 8) return {};
    auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    if (!digit(head[0]) || !digit(head[1])) return {};
    const unsigned stream = static_cast<unsigned>(head[0] - '0') * 10 + static_cast<unsigned>(head[1] - '0');
    const std::uint32_t size = static_cast<std::uint32_t>(head[4]) | static_cast<std::uint32_t>(head[5]) << 8 |
                               static_cast<std::uint32_t>(head[6]) << 16 | static_cast<std::uint32_t>(head[7]) << 24;
    if (stream >= ctx->nb_streams || size <= kMaxLibraryAlloc) return {};
    return {static_cast<int>(stream), size};
}

AVDictionary* open_options() {
    AVDictionary* opts = nullptr;
    (void)av_dict_set(&opts, "protocol_whitelist", "file", 0);
    (void)av_dict_set(&opts, "format_whitelist", kFormats, 0);
    // No decoder may open: stream information comes from the container and
    // the parsers alone, the same whether or not the library was built with
    // decoders, and a picture is never decoded on avhub's behalf.
    (void)av_dict_set(&opts, "codec_whitelist", "none", 0);
    (void)av_dict_set_int(&opts, "probesize", kProbeBytes, 0);
    (void)av_dict_set_int(&opts, "analyzeduration", kAnalyzeMicroseconds, 0);
    // The frame rate is taken from the time base: no frames are counted.
    (void)av_dict_set_int(&opts, "fpsprobesize", 0, 0);
    (void)av_dict_set_int(&opts, "max_streams", kMaxStreams, 0);
    return opts;
}

}  // namespace

void init_demuxer() {
    av_max_alloc(kMaxLibraryAlloc);
    // What registration was: the library's tables of codecs and containers
    // made now, not in the middle of the first clip's opening.
    void* it = nullptr;
    while (av_codec_iterate(&it) != nullptr) {
    }
    it = nullptr;
    while (av_demuxer_iterate(&it) != nullptr) {
    }
}

int open_clip_input(AVFormatContext** ctx, const char* path) {
    *ctx = avformat_alloc_context();
    if (*ctx == nullptr) return AVERROR(ENOMEM);
    g_guard = Guard{};
    g_guard.library_io_open = (*ctx)->io_open;
    (*ctx)->opaque = &g_guard;
    (*ctx)->io_open = checked_io_open;
    (*ctx)->interrupt_callback = AVIOInterruptCB{over_budget, &g_guard};

    arm(g_first_open_done ? kOpenBudget : kFirstOpenBudget);
    AVDictionary* opts = open_options();
    // On failure the library frees the context and clears the handle.
    int rc = avformat_open_input(ctx, path, nullptr, &opts);
    av_dict_free(&opts);
    if (rc >= 0) {
        // Its result is not used: a clip whose information is incomplete is
        // played all the same. Only running out of time refuses it.
        (void)avformat_find_stream_info(*ctx, nullptr);
        const int big = oversized_video_stream(*ctx);
        if (big >= 0) {
            log_picture_refused((*ctx)->streams[big]);
            rc = AVERROR(EOVERFLOW);
        }
    }
    // The one-time costs are paid once the library has read a file.
    if (g_guard.opens > 0 && rc != AVERROR(ENOENT)) g_first_open_done = true;
    if (g_guard.timed_out) {
        AVHUB_LOG("Clip opening over its time: refused \n");
        rc = AVERROR_EXIT;
    }
    if (rc < 0) close_clip_input(ctx);
    return rc;
}

int read_clip_packet(AVFormatContext* ctx, AVPacket* pkt, DeclaredPacket* refused) {
    *refused = DeclaredPacket{};
    arm(kReadBudget);
    const int rc = av_read_frame(ctx, pkt);
    if (rc < 0 && g_guard.timed_out) {
        AVHUB_LOG("Clip read over its time: clip ends \n");
    } else if (rc == AVERROR(ENOMEM)) {
        *refused = declared_at_stop(ctx);
        if (refused->stream < 0) AVHUB_LOG("Clip read needs more than %zu bytes at once: clip ends \n", kMaxLibraryAlloc);
    }
    if (rc < 0) return rc;
    const AVStream* st = ctx->streams[pkt->stream_index];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && picture_too_large(st)) {
        log_picture_refused(st);
        av_packet_unref(pkt);
        return AVERROR(EOVERFLOW);
    }
    return rc;
}

void close_clip_input(AVFormatContext** ctx) {
    if (*ctx != nullptr) avformat_close_input(ctx);
    *ctx = nullptr;
}

}  // namespace avhub::clip_input
