#include "notify/ready.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace notify {

bool ready() {
    const char* env = std::getenv("NOTIFY_SOCKET");
    if (env == nullptr || *env == '\0') return true;
    const std::string path = env;
    unsetenv("NOTIFY_SOCKET");

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A path, or "@name" for a name in the abstract namespace.
    if ((path[0] != '/' && path[0] != '@') || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (path[0] == '@') addr.sun_path[0] = '\0';
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    static constexpr char kReady[] = "READY=1";
    const ssize_t sent = sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    close(fd);
    return sent == static_cast<ssize_t>(sizeof kReady - 1);
}

}  // namespace notify
