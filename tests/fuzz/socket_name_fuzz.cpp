// Endpoint names: any text becomes either an IPv4 address and port or a
// UNIX path, never more bytes than the records hold, always terminated.
// Only clients are made (a server would unlink and bind the path).
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "fuzz_util.hpp"
#include "libsocket/socket.h"

namespace {

// "a.b.c.d" with four decimal parts of at most 255 and no leading zero (a
// leading zero means octal): every such text is an IPv4 address, whatever
// else inet_aton also takes.
bool plain_dotted_quad(const std::string& s) {
    unsigned a, b, c, d;
    char tail;
    if (s.size() > 15 || std::sscanf(s.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (s.find_first_not_of("0123456789.") != std::string::npos) return false;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == '0' && (i == 0 || s[i - 1] == '.') && s[i + 1] != '.') return false;
    }
    return a <= 255 && b <= 255 && c <= 255 && d <= 255;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const std::string name(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));

    Socket_t* sock = create_socket(name.c_str(), 0);
    FUZZ_CHECK(sock != nullptr);
    FUZZ_CHECK(std::memchr(sock->name, '\0', sizeof sock->name) != nullptr);
    FUZZ_CHECK(!sock->is_server);

    const std::size_t colon = name.rfind(':');
    if (sock->is_inet) {
        FUZZ_CHECK(colon != std::string::npos);
        FUZZ_CHECK(sock->addr.in.sin_family == AF_INET);
        FUZZ_CHECK(sock->addrlen == sizeof(sockaddr_in));
        FUZZ_CHECK(std::strcmp(sock->name, inet_ntoa(sock->addr.in.sin_addr)) == 0);
        const long port = std::strtol(name.c_str() + colon + 1, nullptr, 10);
        FUZZ_CHECK(ntohs(sock->addr.in.sin_port) == static_cast<std::uint16_t>(port));
    } else {
        FUZZ_CHECK(colon == std::string::npos || !plain_dotted_quad(name.substr(0, colon)));
        FUZZ_CHECK(sock->addr.un.sun_family == AF_UNIX);
        FUZZ_CHECK(sock->addrlen == sizeof(sockaddr_un));
        const std::size_t kept = std::min(name.size(), sizeof sock->addr.un.sun_path);
        FUZZ_CHECK(std::memcmp(sock->addr.un.sun_path, name.data(), kept) == 0);
        const std::size_t named = std::min(name.size(), kSocketNameLen);
        FUZZ_CHECK(std::strlen(sock->name) == named && std::memcmp(sock->name, name.data(), named) == 0);
    }
    close_socket(sock);
    return 0;
}
