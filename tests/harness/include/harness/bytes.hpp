// Byte helpers for tests that stand in for a peer on a socketpair.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

using Bytes = std::vector<std::uint8_t>;

// Writes every byte or fails the test.
inline void write_all(int fd, const Bytes& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        ssize_t n = ::write(fd, b.data() + done, b.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
}

// Everything waiting on a non-blocking descriptor.
inline Bytes drain(int fd) {
    Bytes out;
    std::uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

}  // namespace harness
