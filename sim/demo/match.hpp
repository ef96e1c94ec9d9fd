// What a flow was to carry against what reached its receiver, matched by
// identity: each item sent is found again by its bytes (or digest) wherever
// it arrived, so that a missing, extra, duplicated, reordered, corrupted or
// misdirected item shows as itself, with its name, and never shifts the
// items around it. Pure functions, tested apart from the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace demo::checks {

// One row of a stage's summary: a flow of items from a sender to a receiver.
struct Tally {
    std::string flow;
    long long sent = 0;
    long long arrived = 0;
    long long matched = 0;  // arrived items equal, byte for byte, to one sent, once and in order
    std::string note;       // what went wrong, or what is worth knowing, for a person reading the table
    long long errors = 0;   // decode errors on the way
    long long faults = 0;   // kinds of fault the note names (a sent item that left broken, ...)

    // Everything sent arrived once, in order, intact and decodable.
    bool ok() const { return sent > 0 && sent == arrived && arrived == matched && errors == 0 && faults == 0; }
    // Adds a part to the note.
    void say(const std::string& text);
};

// An item the sender's records say it sent.
struct Sent {
    std::string label;   // its name in the report: "frame ts=57", "block ts=3", "picture 12"
    std::string data;    // the bytes that left (or a digest)
    std::string broken;  // why it did not leave whole; fails the row
    bool left = true;    // false: nothing of it left, so it cannot arrive
};

// An item the receiver's records say it got.
struct Arrival {
    std::string label;         // its name when nothing sent matches it: "arrival 12 (ts=81234)"
    std::string data;
    bool after_close = false;  // the receiver's channel was closed when it came
    int channel = -1;          // the channel it came on (for one that came on another)
};

enum class Compare { Bytes, Digests };

struct Matching {
    Tally tally;
    std::vector<long> arrival_of;  // per sent item: the arrival matched to it, -1 when none
    long long unaccounted = 0;     // sent items that left and were seen nowhere (yet)
    std::vector<long> unsent;      // arrivals that are no item sent
};

// Matches arrivals to the items sent. `elsewhere` holds what the same
// receiver got on its other channels: a sent item found only there arrived
// on the wrong channel.
Matching match_items(std::string flow, const std::vector<Sent>& sent, const std::vector<Arrival>& arrived,
                     Compare compare, const std::vector<Arrival>& elsewhere = {});

// One packet of an encoder's records: sent, or dropped because its client
// was not reading.
struct Piece {
    int conn = 0;
    int ch = 0;
    int stream = 0;              // which stream of the channel (an encoder restarted numbers from 0)
    std::uint32_t ts = 0;        // the frame or block number
    int index = -1, count = -1;  // piece of the frame, and how many it has (-1: not recorded)
    unsigned flags = 3;          // 1 first, 0 middle, 2 last, 3 whole frame
    bool dropped = false;
    std::string data;
};

// A frame as it left the encoder: its pieces that were sent, joined in
// order, and why it did not leave whole.
struct Frame {
    int conn = 0;
    int ch = 0;
    int stream = 0;
    std::uint32_t ts = 0;
    std::string data;
    std::string broken;  // "" when every piece left
};

// Gathers the pieces of each frame (by connection, channel, stream and
// number, in the order frames began). A frame left whole when each of its pieces was
// sent: by their index and count where the records have them, else by the
// flags from first to last.
std::vector<Frame> join_frames(const std::vector<Piece>& pieces);

}  // namespace demo::checks
