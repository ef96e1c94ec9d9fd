// The media the session plays: the black lead-in clip, the animation clip and
// the DTMF tones of the twelve keys. They are made once with the ffmpeg tool and kept in a
// cache folder; later runs reuse them.
#pragma once

#include <string>
#include <vector>

#include "checks.hpp"

namespace demo::clips {

inline constexpr const char* kBlack = "black.avi";
inline constexpr const char* kAnimation = "animation.avi";
inline constexpr int kKeys = 12;
// The tone file of a key index as the box names it: "snd5.711".
std::string tone_file(int key);

// Makes whatever is missing in cache_dir. made: the names made now (empty
// when everything was cached). false, with error set, when ffmpeg failed.
bool ensure(const std::string& cache_dir, std::string& made, std::string& error);

// A clip taken apart as the box's player takes it: video packets in file
// order, and the audio packets' bytes as one stream.
struct Demuxed {
    checks::Packets video;
    std::string audio;
    std::vector<std::size_t> audio_packets;  // where each audio packet begins in `audio`
    long long frame_us = 0;                  // one video packet's time (from the frame rate)
    long long audio_bytes_s = 0;             // audio bytes per second
};
bool demux(const std::string& path, Demuxed& out, std::string& error);

// The clip's video decoded by the ffmpeg tool (`-f framemd5`): the MD5 of
// every picture in order, and the picture size.
struct Digests {
    std::vector<std::string> md5;
    int width = 0, height = 0;
};
bool framemd5(const std::string& path, Digests& out, std::string& error);

// MD5 of a black YUV 4:2:0 picture of that size, as a decoder gives it.
std::string black_md5(int width, int height);

}  // namespace demo::clips
