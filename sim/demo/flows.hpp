// The items of a stage's flows, read from one snapshot of boxsim's records:
// what an encoder sent between the start and the stop of each of its
// streams (boxsim records the stop when it acts on the close, so nothing of
// a stream comes after it), what a decoder or the bridge received, and the
// digests of what each side decoded.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "checks.hpp"
#include "snapshot.hpp"

namespace demo::flows {

// One stream of an encoder channel: event indices of its start and stop.
struct Stream {
    std::size_t begin = 0, end = 0;
    bool stopped = false;
};
std::vector<Stream> streams(const Snapshot& s, const std::string& ep, int ch);
// True when every stream begun in the snapshot has stopped (and one began).
bool stopped(const std::vector<Stream>& streams);

// Video frames an encoder endpoint sent on a channel in its streams: "frame
// ts=N" (", stream K" when there were several).
std::vector<checks::Sent> frames(const Snapshot& s, const std::string& ep, int ch);
// Audio an encoder endpoint sent on a channel in its streams, as one byte
// stream cut into `block`-byte blocks ("block ts=N", by the packet a block
// begins in); a packet it could not send is an item that never left.
std::vector<checks::Sent> blocks(const Snapshot& s, const std::string& ep, int ch, std::size_t block);
// Digests the encoder side recorded of its own output ("picture" or
// "sound" records of ep and ch) in its streams: "picture N" or "block N".
std::vector<checks::Sent> own_digests(const Snapshot& s, const std::string& kind, const std::string& ep, int ch);

// What a receiver got: on the channel looked at, and on its other channels.
struct Received {
    std::vector<checks::Arrival> on, elsewhere;
    std::vector<long long> t_us;  // arrival time of each of `on`
};
// Chunks a decoder endpoint received ("chunk" records).
Received chunks(const Snapshot& s, const std::string& ep, int ch);
// Digests a decoder recorded ("picture" or "sound" records of ep and ch).
Received digests(const Snapshot& s, const std::string& kind, const std::string& ep, int ch);
long long decode_errors(const Snapshot& s, const std::string& ep, int ch);

// Video packets the bridge sent on one connection ("packet ts=N").
std::vector<checks::Sent> bridge_sent(const Snapshot& s, int conn);
// Video packets the bridge received from avhub on one connection.
Received bridge_received(const Snapshot& s, int conn, int ch);

// The bytes ("hex") of every record of a kind: "quad" frames, "ui" records.
checks::Packets records(const Snapshot& s, const std::string& kind);

}  // namespace demo::flows
