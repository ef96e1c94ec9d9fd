// Comparison of what one side of the box sent with what the other side
// received: packet by packet in order, or as one byte stream cut into blocks.
// Pure functions, so that the matching itself is tested apart from the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "boxsim/client.hpp"

namespace demo::checks {

// One row of a stage's summary: a flow of packets from a sender to a receiver.
struct Tally {
    std::string flow;
    long long sent = 0;
    long long arrived = 0;
    long long matched = 0;  // arrived packets equal, byte for byte, to the one sent in that place
    std::string note;       // why it did not match, for a person reading the table
    long long errors = 0;   // decode errors on the way

    // Everything sent arrived, nothing more, all of it intact and decodable.
    bool ok() const { return sent > 0 && sent == arrived && arrived == matched && errors == 0; }
};

using Packets = std::vector<std::string>;

// Joins an encoder's pieces into frames by the piece flags: 3 is a whole
// frame, 1 opens one, 0 continues it and 2 closes it. Pieces outside an open
// frame and a frame left open at the end are not frames and are left out.
Packets join_frames(const std::vector<boxsim::ChunkEvent>& pieces);

// Payloads of chunks, in order.
Packets payloads(const std::vector<boxsim::ChunkEvent>& chunks);

// Packet i that arrived must equal packet i that was sent. The note names
// the first packet that differs and any count that does not agree.
Tally match_packets(std::string flow, const Packets& sent, const Packets& arrived);

// A byte stream sent in packets of any size and delivered in blocks of
// `block` bytes: sent counts the whole blocks in the stream, matched the
// arrived blocks equal to the stream's bytes in that place.
Tally match_blocks(std::string flow, const std::string& sent, const Packets& arrived, std::size_t block);

// Decoded media, compared by the MD5 of each picture or block: digest i
// that arrived must equal digest i expected; decode errors fail the row.
Tally match_digests(std::string flow, const std::vector<std::string>& want, const std::vector<std::string>& got,
                    long long errors);

// The picture MD5s of stream 0 in the output of `ffmpeg -f framemd5`.
std::vector<std::string> framemd5_digests(const std::string& text);

// The key index (0-9, 10 for *, 11 for #) whose row and column tones are
// the two strongest of the eight DTMF frequencies over the whole sound
// (Goertzel over 40 ms blocks, summed); -1 when no key stands out: each
// tone 10 dB above the others of its group, both together most of the
// sound's energy.
int dtmf_key(std::span<const std::int16_t> pcm, int rate);
// One row for a tone: the key asked for against the key detected in pcm.
Tally match_key(std::string flow, int want, std::span<const std::int16_t> pcm, int rate);
// Pictures [0, lead) and the last `lead` after `clip` more must be black.
Tally match_black(std::string flow, const std::vector<std::string>& got, std::size_t lead, std::size_t clip,
                  const std::string& black);

// The offset between the arrival of a clip's first picture and its first
// sound (microseconds; -1 when one never came); matched while within
// kLipSyncToleranceMs.
inline constexpr long long kLipSyncToleranceMs = 200;
Tally lip_sync(std::string flow, long long video_us, long long audio_us);

// The row and column frequencies of a key index.
std::pair<int, int> dtmf_tones(int key);

// The samples and rate of a mono 16-bit WAV file's bytes; false when it is
// not one.
bool parse_wav(const std::string& bytes, std::vector<std::int16_t>& pcm, int& rate);

}  // namespace demo::checks
