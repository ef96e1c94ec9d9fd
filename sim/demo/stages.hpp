// What the stage files of the session share: the box's fixed paths, the
// call's and the players' channels, and small builders of expected bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace std::chrono_literals;

namespace demo::stage {

inline constexpr const char* kTivaneDir = "/mnt/project/Tivane";
inline constexpr const char* kClipOnBox = "/mnt/project/Tivane/animation.avi";
inline constexpr const char* kFifo = "/dev/avhub";
inline constexpr std::size_t kAudioBlock = 160;  // G.711: 20 ms at 8 kHz
inline constexpr int kToneKey = 5;
inline constexpr int kToneChannel = 1;
inline constexpr int kClipAudioChannel = 12;
inline constexpr const char* kCallBitRate = "2048";  // kbit/s

// How long a stage waits, once avhub has said the stage is over, for the
// encoders to stop and then for what they sent to arrive: a decoder at
// 1280x720 under the sanitizers on a loaded machine lags seconds behind.
inline constexpr auto kStopWait = 10s;
inline constexpr auto kArrivalWait = 30s;
// Records that have not grown for this long while items are missing: what
// is missing is not coming (boxsim writes a line for each chunk it takes).
inline constexpr auto kQuiet = 5s;

// A codec command as the codec servers must receive it: magic, code and
// channel, everything else zero.
std::string close_request(std::uint16_t code);
// text, zero-padded to size bytes.
std::string padded(const std::string& text, std::size_t size);

}  // namespace demo::stage
