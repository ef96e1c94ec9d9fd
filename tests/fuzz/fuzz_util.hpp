// Helpers shared by the fuzz targets: a checked condition that stops the run
// with a report libFuzzer keeps as a crash input, a reader over the fuzz
// bytes, and a socket pair that stands in for a peer.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace fuzz {

// A broken property is a finding like a sanitizer report: print where and
// abort, so libFuzzer saves the input.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

#define FUZZ_CHECK(cond)                                       \
    do {                                                       \
        if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)

using Bytes = std::vector<std::uint8_t>;

// Takes the fuzz input apart front to back; past the end every read gives
// zero and an empty run, so a target never reads outside the input.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::size_t left() const { return size_ - pos_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    // Up to n bytes.
    std::span<const std::uint8_t> take(std::size_t n) {
        n = std::min(n, left());
        std::span<const std::uint8_t> s(data_ + pos_, n);
        pos_ += n;
        return s;
    }
    std::span<const std::uint8_t> rest() { return take(left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A connected UNIX stream pair; [0] is handed to the code under test, [1]
// plays the peer. Both ends are non-blocking unless asked otherwise.
struct Pair {
    int fd[2]{-1, -1};
    explicit Pair(bool nonblocking = true) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) std::abort();
        if (nonblocking) {
            for (int f : fd) ::fcntl(f, F_SETFL, ::fcntl(f, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pair() {
        for (int f : fd) {
            if (f >= 0) ::close(f);
        }
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    void close_peer() {
        if (fd[1] >= 0) ::close(fd[1]);
        fd[1] = -1;
    }
};

// Writes what the socket takes now; returns the bytes written.
inline std::size_t send_some(int fd, std::span<const std::uint8_t> b) {
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Everything waiting on a non-blocking descriptor, appended to out.
inline void drain(int fd, Bytes& out) {
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
}

}  // namespace fuzz
