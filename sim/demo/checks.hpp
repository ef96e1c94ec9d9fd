// Comparison of what one side of the box sent with what the other side
// received: packet by packet in order, or as one byte stream cut into blocks.
// Pure functions, so that the matching itself is tested apart from the run.
#pragma once

#include <cstddef>
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

    // Everything sent arrived, nothing more, and all of it intact.
    bool ok() const { return sent > 0 && sent == arrived && arrived == matched; }
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

}  // namespace demo::checks
