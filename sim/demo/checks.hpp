// The rows of the demo's stages: flows matched item by item (match.hpp),
// decoded media, DTMF keys, black pictures and lip sync. Pure functions, so
// that the checks themselves are tested apart from the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "match.hpp"

namespace demo::checks {

using Packets = std::vector<std::string>;

// Items named "<name> N" by their place, N counting from `first`.
std::vector<Sent> numbered(const Packets& items, const std::string& name, std::size_t first = 0);
// The whole `block`-byte blocks of a byte stream, named "<name> N".
std::vector<Sent> cut_blocks(const std::string& stream, std::size_t block, const std::string& name);
// Arrivals named "arrival N" by their place.
std::vector<Arrival> arrivals(const Packets& items);

// A byte stream sent in packets of any size and delivered in blocks of
// `block` bytes: each whole block of the stream ("block N") is an item;
// a trailing part shorter than a block is never delivered.
Tally match_blocks(std::string flow, const std::string& sent, const Packets& arrived, std::size_t block);

// Decoded media, compared by the MD5 of each picture or block ("picture
// N"); decode errors fail the row.
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

// Lip sync as delivered: how far the clip's video runs ahead of or behind
// its sound at the decoders. Each item's arrival less its place in its
// stream's timeline gives that stream's lag; the offset is the median video
// lag less the median sound lag, so that a packet held up on a loaded
// machine does not count as the clip being out of sync. Matched while
// within kLipSyncToleranceMs.
struct Timed {
    long long arrival_us = -1;  // -1: it never came
    long long place_us = 0;     // where it belongs in its stream
};
inline constexpr long long kLipSyncToleranceMs = 200;
Tally lip_sync(std::string flow, const std::vector<Timed>& video, const std::vector<Timed>& audio);

// The row and column frequencies of a key index.
std::pair<int, int> dtmf_tones(int key);

// The samples and rate of a mono 16-bit WAV file's bytes; false when it is
// not one.
bool parse_wav(const std::string& bytes, std::vector<std::int16_t>& pcm, int& rate);

}  // namespace demo::checks
