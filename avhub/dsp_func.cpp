// Codec command sending and channel closing.
#include "dsp_func.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "globals.hpp"
#include "log.hpp"

namespace avhub {

namespace {

constexpr char kModule[] = "dsp_func.c";

struct CloseRoute {
    std::uint16_t code;
    int* sock;          // command socket of the channel's server
    int* content_sock;  // used instead when the channel is the content one
    int content_chan;
};

// Kinds 1..6; the video kinds switch to the content server for its channel
// (encoder 2, decoder 3), the content kinds always use it.
const std::array<CloseRoute, 6> kCloseRoutes{{
    {wire::REQ_VDO_CLOSE, &s32VdoEncCmdSockFd, &s32H239EncCmdSockFd, 2},
    {wire::REQ_VDO_CLOSE, &s32VdoDecCmdSockFd, &s32H239DecCmdSockFd, 3},
    {wire::REQ_ADO_CLOSE, &s32AdoEncCmdSockFd, nullptr, -1},
    {wire::REQ_ADO_CLOSE, &s32AdoDecCmdSockFd, nullptr, -1},
    {wire::REQ_VDO_CLOSE, &s32H239EncCmdSockFd, nullptr, 2},
    {wire::REQ_VDO_CLOSE, &s32H239DecCmdSockFd, nullptr, 3},
}};

}  // namespace

long send_codec_cmd(int fd, const CodecCmd& cmd) {
    if (fd == 0) return -1;
    std::array<std::uint8_t, wire::kCodecCmdSize> bytes{};
    enc_socket_codec_cmd(bytes, cmd);
    // Never waits for a server that has stopped reading: a 48-byte request
    // goes into the socket whole or not at all (a UNIX stream socket takes
    // it in one piece or reports no room), and a full socket loses it.
    ssize_t n;
    do {
        n = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        AVHUB_LOG("Codec command %d lost: server not reading \n", cmd.u16Cmd);
    return static_cast<long>(n);
}

int close_codec_chan(int kind, std::uint8_t u8Chan) {
    if (kind < kKindVdoEnc || kind > kKindH239Dec) return -1;
    const CloseRoute& route = kCloseRoutes[static_cast<std::size_t>(kind - 1)];
    int fd = *route.sock;
    if (route.content_sock != nullptr && u8Chan == route.content_chan) fd = *route.content_sock;
    if (kind == kKindH239Enc && u8Chan != route.content_chan)
        AVHUB_LOG("Conflict Enc H239 Chan Index %d \n", u8Chan);
    if (kind == kKindH239Dec && u8Chan != route.content_chan)
        AVHUB_LOG("Conflict Dec H239 Chan Index %d \n", u8Chan);

    if (fd == 0) {
        AVHUB_SAY_TM("Enc Server is Disabled ..\n");
        return -1;
    }
    CodecCmd cmd;
    fill_close_chan_cmd_struct(cmd, route.code, u8Chan);
    send_codec_cmd(fd, cmd);
    AVHUB_LOG("Disable : waiting for codec's close ack \n");
    return 0;
}

int wait_socket_codec_cmd_ack(int /*fd*/) {
    return 0;
}

int check_fd_writable(int fd) {
    if (fd < 0 || fd >= 1024) return -1;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1) return -1;
    return (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLNVAL)) ? 1 : -1;
}

}  // namespace avhub
