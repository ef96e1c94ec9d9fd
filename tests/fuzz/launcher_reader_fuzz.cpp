// The launcher's request reader on one connection, fed any byte stream:
// every frame with the right magic and a length the buffer holds is handed
// on whole (its text up to the first zero byte), in order; a wrong magic
// costs exactly its four bytes, an over-long body is skipped whole, a body
// cut short by the peer closing is never handed on, and the connection is
// closed once the peer has gone. The program starter is replaced here by a
// recorder of the lines.
#include <event2/event.h>
#include <fcntl.h>

#include <string>
#include <vector>

#include "command.hpp"
#include "fuzz_util.hpp"
#include "launch.hpp"
#include "server.hpp"

namespace {

std::vector<std::string> handed;

// The requests a well-behaved reader takes out of the stream.
std::vector<std::string> expected_lines(std::span<const std::uint8_t> s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (s.size() - pos >= launcher::command::kHeaderSize) {
        const unsigned magic = s[pos] | (s[pos + 1] << 8);
        const std::size_t length = s[pos + 2] | (s[pos + 3] << 8);
        pos += launcher::command::kHeaderSize;
        if (magic != launcher::command::MAGIC_HDR) continue;
        if (s.size() - pos < length) break;
        if (length <= launcher::command::kMaxCommandLen) {
            std::string body(reinterpret_cast<const char*>(s.data() + pos), length);
            out.push_back(body.substr(0, body.find('\0')));
        }
        pos += length;
    }
    return out;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

// Link-time stand-in for the daemon's starter.
int launcher::launch(char* line) {
    handed.emplace_back(line);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static event_base* base = event_base_new();
    if (size > 65536) return 0;
    handed.clear();

    fuzz::Pair conn(false);
    if (size > 0) FUZZ_CHECK(fuzz::send_some(conn.fd[1], {data, size}) == size);
    conn.close_peer();

    const int fd = conn.fd[0];
    // The daemon's connections are non-blocking, as accept makes them.
    FUZZ_CHECK(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0);
    static launcher::server::Listener listener{.base = base};
    launcher::server::Connection* c = launcher::server::serve(listener, fd);
    FUZZ_CHECK(c != nullptr);
    // Every call takes at least one byte or closes; the bound catches a
    // reader that stops making progress.
    bool closed = false;
    for (std::size_t i = 0; i < size + 2 && !closed; ++i) {
        launcher::server::read_cb(fd, EV_READ, c);
        closed = !is_open(fd);
    }
    FUZZ_CHECK(closed);
    conn.fd[0] = -1;  // closed by the reader, with its connection

    FUZZ_CHECK(handed == expected_lines({data, size}));
    return 0;
}
