// A client of the launcher daemon for the fault tests: its socket, framed
// requests, a connect and a whole-buffer send.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace faults {

inline constexpr const char* kLauncherSocket = "/tmp/launcher.skt";
inline constexpr const char* kLauncherPid = "/var/run/launcher.pid";

// The request frame: two marker bytes, the declared length (little-endian)
// and the body, which need not be as long as declared.
inline std::string frame(std::uint16_t declared, const std::string& body) {
    return std::string{'\x70', '\x50', static_cast<char>(declared & 0xFF), static_cast<char>(declared >> 8)} + body;
}
inline std::string frame(const std::string& body) { return frame(static_cast<std::uint16_t>(body.size()), body); }

// -1 when it could not connect; a non-blocking connect refuses on a full
// backlog instead of waiting.
inline int connect_launcher(bool nonblocking = false) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kLauncherSocket, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace faults
