// Shared pieces of the bridge unit tests: socketpairs stand in for a bridge
// connection and the local video decoder, and avhub's standard output is
// captured to check the log lines.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box_test.hpp"
#include "bridge_bytes.hpp"
#include "globals.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"

namespace bridge_test {

// A non-blocking socketpair: [0] avhub's end, [1] the test's end.
struct Pair {
    int fd[2]{-1, -1};
    Pair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        for (int f : fd) ::fcntl(f, F_SETFL, ::fcntl(f, F_GETFL) | O_NONBLOCK);
    }
    ~Pair() {
        stream_writer::stream_forget(fd[0]);
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

}  // namespace bridge_test
