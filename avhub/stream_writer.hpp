// Whole-or-nothing packet writer for every bitstream socket avhub feeds
// (decoder bitstream sockets, bridge bitstream connections). A peer's stream
// must never be left holding part of a packet: a short write would put the
// peer out of frame for every later packet. The writer keeps the unwritten
// rest of a packet per socket and finishes it, when the socket can take it,
// before any later packet goes there; while a rest is pending a later packet
// for that socket is dropped whole, counted and logged (throttled).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace stream_writer {

// Largest packet the writer accepts: the bridge forward buffer, which is
// also larger than a relayed frame (18 + 262,262 bytes).
inline constexpr std::size_t kMaxPacket = 655360;

// Sockets tracked at the same time: three decoder bitstream sockets and the
// twenty bridge bitstream slots, with room to spare.
inline constexpr std::size_t kMaxSockets = 32;

// Send buffer asked for on every socket the writer first sees, so that a
// peer that keeps up never sees a drop: several of the largest relayed
// frames fit.
inline constexpr int kSendBufferBytes = 4 * 262280;

// Result of stream_write when the packet was not sent because an earlier
// packet's rest is still pending (or the packet can never be kept whole).
inline constexpr int kDropped = -2;

// Writes one whole packet to fd without blocking.
// Returns what the write itself returned, as a plain write would:
//   len          the packet went out whole;
//   0..len-1     a short write: the rest is kept and finished later;
//   -1 (errno)   the write failed; on EAGAIN/EWOULDBLOCK nothing went out
//                and the whole packet is kept and sent later, on any other
//                error nothing is kept;
//   kDropped     a rest is pending on fd (or the packet is larger than
//                kMaxPacket, or no slot is free): the packet is dropped whole.
// fd <= 0 sends nothing and returns -1.
int stream_write(int fd, std::span<const std::uint8_t> packet);

// Tries to finish every pending rest; called once per pass of the poll loop.
void stream_flush_pending();

// Tries to finish the pending rest of one socket. Returns the bytes still
// pending afterwards (0 when the socket is clear).
std::size_t stream_flush_fd(int fd);

// True while a rest is pending on fd.
bool stream_has_pending(int fd);

// Forgets fd: drops any pending rest and frees the slot for reuse. Must be
// called before a tracked socket is closed, so that a later connection that
// gets the same descriptor never receives the old stream's rest.
void stream_forget(int fd);

// Packets dropped whole on fd since it was first seen (0 for an unknown fd).
std::uint32_t stream_dropped_count(int fd);

// Asks for kSendBufferBytes of send buffer on fd (forced when permitted).
// The writer does this itself the first time it sees a socket; exposed for
// start-up and for tests. Returns the send buffer size in effect.
int stream_size_send_buffer(int fd);

}  // namespace stream_writer
