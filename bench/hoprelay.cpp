// hoprelay: the smallest relay process one hop can have. It is handed two
// connected descriptors (numbers on the command line), and copies every
// byte that arrives on the first to the second, blocking, until the first
// closes. The benchmark times traffic through it to learn what one extra
// process hop costs on this machine.
//
//   hoprelay IN_FD OUT_FD
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

bool write_all(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hoprelay IN_FD OUT_FD\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int in = std::atoi(argv[1]);
    const int out = std::atoi(argv[2]);
    static std::array<unsigned char, 256 * 1024> buf;
    for (;;) {
        pollfd p{in, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return 1;
        const ssize_t got = ::read(in, buf.data(), buf.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        if (!write_all(out, buf.data(), static_cast<std::size_t>(got))) return 1;
    }
}
