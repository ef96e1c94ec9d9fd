// Commands on the codec command sockets: sending one 48-byte request,
// closing a codec channel, and the room test of a bitstream socket.
#pragma once

#include <cstdint>

#include "socket_cmd.hpp"

namespace avhub {

// Kinds of close_codec_chan.
enum CodecKind : int {
    kKindVdoEnc = 1,
    kKindVdoDec = 2,
    kKindAdoEnc = 3,
    kKindAdoDec = 4,
    kKindH239Enc = 5,
    kKindH239Dec = 6,
};

// Packs the record and writes its 48 bytes to fd in one write. A descriptor
// of 0 is an absent endpoint: nothing is sent and -1 is returned; otherwise
// the result of the write.
long send_codec_cmd(int fd, const CodecCmd& cmd);

// Sends the close request of one channel (kind 1..6, see CodecKind) to the
// command socket of its server. 0 when written, -1 when that socket is not
// connected.
int close_codec_chan(int kind, std::uint8_t u8Chan);

// No server reply is awaited on the codec link: 0 at once.
int wait_socket_codec_cmd_ack(int fd);

// 1 when fd can take data now, -1 otherwise (zero-timeout test).
int check_fd_writable(int fd);

}  // namespace avhub
