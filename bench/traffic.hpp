// Synthetic encoder and decoder ends of a video bitstream: frames of known
// bytes cut into framed pieces and written to one descriptor, read back,
// checked and timed on another.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

struct StreamPlan {
    std::uint32_t frames = 0;        // frames to offer (0: as many as fit in `seconds`)
    double seconds = 0;              // run length when frames is 0
    std::uint32_t frame_bytes = 4096;
    std::uint32_t piece_bytes = 1400;
    double fps = 0;                  // offered rate; 0: as fast as the path takes them
    bool drop_when_full = false;     // an encoder that drops a whole frame its socket cannot take now
    bool joined = false;             // the far end gets each frame as one packet (a frame relay)
    int src_sndbuf = 0;              // encoder socket send buffer to force (0: leave the default)
    double sink_bytes_per_s = 0;     // a decoder that reads no faster than this (0: as fast as it can)
};

struct StreamResult {
    std::uint64_t offered = 0;           // frames the encoder had
    std::uint64_t dropped_at_source = 0; // whole frames the encoder dropped (socket full)
    std::uint64_t received = 0;          // frames that arrived complete
    std::uint64_t corrupt = 0;           // frames that arrived with wrong bytes or size
    std::uint64_t lost = 0;              // frames written but never received
    std::uint64_t bytes = 0;             // payload bytes received intact
    double seconds = 0;                  // first write to last receipt
    std::vector<double> latency_us;      // last piece written -> frame received, per intact frame
};

// Streams the plan from src (encoder side) to dst (decoder side) and waits
// up to drain_ms after the last write for stragglers.
StreamResult run_stream(int src, int dst, const StreamPlan& plan, int drain_ms = 2000);

}  // namespace bench
