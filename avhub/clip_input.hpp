// The demultiplexer's side of a clip, held within bounds that do not depend
// on the clip's content: only the containers the box plays (AVI and
// MP4/MOV) and only plain local files are opened, whatever file a container
// names goes through the same checks as the clip itself, every library call
// that reads ends within a budget of time, no single allocation of the library grows
// past a fixed size, stream information is taken without decoding a
// picture, and pictures larger than the largest call are refused.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

struct AVFormatContext;
struct AVPacket;

namespace avhub::clip_input {

using std::chrono::milliseconds;

// Container formats opened (demuxer names).
inline constexpr const char* kFormats = "avi,mov";

// Largest block the library may allocate in one piece. The largest packet
// avhub forwards (a video frame the bitstream writer keeps whole, 640 KiB)
// and the probe buffer fit; a packet declared larger fails its read before
// any of it is allocated or read.
inline constexpr std::size_t kMaxLibraryAlloc = std::size_t{1} << 20;

// Stream information: bytes and stream time read at most, and streams a clip
// may declare.
inline constexpr int kProbeBytes = 256 * 1024;
inline constexpr int kAnalyzeMicroseconds = 500000;
inline constexpr int kMaxStreams = 8;

// Files one clip may have opened (the clip and whatever its container
// names), so that a container referring to itself ends at once.
inline constexpr int kMaxOpensPerClip = 4;

// Budgets of the library calls that read: opening a clip (the open and the
// stream information together) and reading one packet. `work` is processor
// time of avhub's thread, what a clip's content can make the library spend;
// `wait` is time on the clock, what a slow disk or file server can add. The
// first opening in the process also pays the library's one-time costs (code
// paged in, or translated under emulation) and gets a larger budget once.
struct Budget {
    milliseconds work;
    milliseconds wait;
};
inline constexpr Budget kOpenBudget{milliseconds{150}, milliseconds{1000}};
inline constexpr Budget kFirstOpenBudget{milliseconds{1500}, milliseconds{5000}};
inline constexpr Budget kReadBudget{milliseconds{40}, milliseconds{250}};

// One-time set-up at start-up: the library's own registration work and the
// allocation bound for the process (avhub uses the library for nothing but
// demultiplexing clips).
void init_demuxer();

// Opens a clip and reads its stream information within the bounds. Returns
// 0, or a negative library code with *ctx null.
int open_clip_input(AVFormatContext** ctx, const char* path);

// A packet the container declares larger than the library may allocate,
// named once its read has failed: its stream and declared size.
struct DeclaredPacket {
    int stream = -1;  // -1: no such packet was found
    std::uint32_t size = 0;
};

// Reads one packet within the read budget; av_read_frame's result. A read
// that failed on a packet larger than kMaxLibraryAlloc names it in *refused
// (nothing of it was allocated or read). A video packet whose picture is
// larger than the largest call is not returned: the read fails instead,
// since the clip can no longer be played.
int read_clip_packet(AVFormatContext* ctx, AVPacket* pkt, DeclaredPacket* refused);

// Closes a clip opened by open_clip_input; nothing when *ctx is null.
void close_clip_input(AVFormatContext** ctx);

}  // namespace avhub::clip_input
