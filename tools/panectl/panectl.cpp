// Hands one command to the quad display server: the arguments, each followed
// by a space, in one zero-padded 32-byte frame per connection.
#include <csignal>
#include <cstdio>
#include <cstring>

#include <array>
#include <span>
#include <string_view>

#include "libsocket/socket.h"
#include "tools/peer.hpp"

namespace {

constexpr const char* kQuadSocket = "/tmp/quad_socket";
constexpr std::size_t kFrameSize = 32;
// The frame keeps a terminating zero, so the text holds at most 31 bytes.
constexpr std::size_t kTextMax = kFrameSize - 1;

using Frame = std::array<char, kFrameSize>;

// Joins the words with a space after each; false when they do not fit.
bool build_frame(std::span<char* const> words, Frame& frame, std::size_t& len) {
    frame.fill('\0');
    len = 0;
    std::size_t needed = 0;
    for (const char* w : words) needed += std::strlen(w) + 1;
    if (needed > kTextMax) {
        len = needed;
        return false;
    }
    for (const char* w : words) {
        const std::size_t n = std::strlen(w);
        std::memcpy(frame.data() + len, w, n);
        len += n;
        frame[len++] = ' ';
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A server that hangs up early must not end us: the write just fails.
    std::signal(SIGPIPE, SIG_IGN);

    Frame frame{};
    std::size_t len = 0;
    const std::span<char* const> words(argv + 1, argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
    if (!build_frame(words, frame, len)) {
        std::fprintf(stderr, "panectl: command too long (%zu bytes with spaces, at most %zu), nothing sent\n", len,
                     kTextMax);
        return 0;
    }

    Socket_t* sock = create_socket(kQuadSocket, 0);
    // avhub waits for us around every tone: a server that neither accepts
    // nor reads may cost it a bounded moment only.
    if (sock->fd > 0) tools::bound_writes(sock->fd);
    const bool connected = sock->fd > 0 && open_socket(sock) != 0;
    if (connected && len > 0 && socket_writen(sock->fd, frame.data(), frame.size()) == static_cast<int>(frame.size())) {
        std::fprintf(stderr, "%s\n", frame.data());
    }
    close_socket(sock);
    return 0;
}
