// UNIX stream listeners and the accepted client connections, with a bounded
// outgoing queue so that a client that stops reading never blocks the loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <memory>

#include "core/loop.hpp"

namespace sim::core {

// Removes a stale path, binds, listens, non-blocking; invalid Fd on failure.
Fd listen_unix(const std::string& path);

class Peer {
public:
    // out_capacity: the largest backlog of unsent bytes held for this client.
    // Also starts the connection's conversation in the capture, if any.
    Peer(Fd fd, int id, std::size_t out_capacity);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    int fd() const { return fd_.get(); }
    int id() const { return id_; }
    pid_t pid() const { return pid_; }

    // One read of the socket; what it returns is also captured.
    ssize_t read(std::span<std::uint8_t> into);
    // Queues bytes behind what waits and writes what the socket takes now.
    // False (nothing queued) when they do not fit the backlog.
    bool send(std::span<const std::uint8_t> bytes);
    // Writes queued bytes; false when the connection failed.
    bool flush();
    // True when send() of n bytes would be queued now.
    bool can_take(std::size_t n) const { return !failed_ && (out_len_ - out_pos_) + n <= out_cap_; }
    bool pending() const { return out_len_ > out_pos_; }
    bool failed() const { return failed_; }

private:
    Fd fd_;
    int id_;
    pid_t pid_ = -1;
    bool failed_ = false;
    int capture_ = 0;
    std::unique_ptr<std::uint8_t[]> out_;
    std::size_t out_cap_;
    std::size_t out_pos_ = 0, out_len_ = 0;
};

}  // namespace sim::core
