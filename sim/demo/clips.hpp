// The media the session plays: the black lead-in clip, the animation clip and
// the tone of key 5. They are made once with the ffmpeg tool and kept in a
// cache folder; later runs reuse them.
#pragma once

#include <string>

#include "checks.hpp"

namespace demo::clips {

inline constexpr const char* kBlack = "black.avi";
inline constexpr const char* kAnimation = "animation.avi";
inline constexpr const char* kTone5 = "snd5.711";

// Makes whatever is missing in cache_dir. made: the names made now (empty
// when everything was cached). false, with error set, when ffmpeg failed.
bool ensure(const std::string& cache_dir, std::string& made, std::string& error);

// A clip taken apart as the box's player takes it: video packets in file
// order, and the audio packets' bytes as one stream.
struct Demuxed {
    checks::Packets video;
    std::string audio;
};
bool demux(const std::string& path, Demuxed& out, std::string& error);

}  // namespace demo::clips
