// Listener set-up and the per-client outgoing queue.
#include "core/peer.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/capture.hpp"

namespace sim::core {

Fd listen_unix(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return Fd();
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return Fd();
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fd();
    if (::listen(fd.get(), 64) != 0) return Fd();
    return fd;
}

Peer::Peer(Fd fd, int id, std::size_t out_capacity)
    : fd_(std::move(fd)), id_(id), out_(new std::uint8_t[out_capacity]), out_cap_(out_capacity) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) pid_ = cred.pid;
    int flags = ::fcntl(fd_.get(), F_GETFL);
    ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    capture_ = capture().begin(fd_.get(), pid_);
}

Peer::~Peer() { capture().end(capture_); }

ssize_t Peer::read(std::span<std::uint8_t> into) {
    const ssize_t n = ::read(fd_.get(), into.data(), into.size());
    if (n > 0)
        capture().data(capture_, Capture::Dir::ToBoxsim, into.first(static_cast<std::size_t>(n)));
    else if (n == 0)
        capture().peer_closed(capture_);
    return n;
}

bool Peer::send(std::span<const std::uint8_t> bytes) {
    if (failed_) return false;
    if (out_pos_ == out_len_) out_pos_ = out_len_ = 0;
    if (out_len_ + bytes.size() > out_cap_) {
        // Move what waits to the front before giving up on room.
        std::memmove(out_.get(), out_.get() + out_pos_, out_len_ - out_pos_);
        out_len_ -= out_pos_;
        out_pos_ = 0;
        if (out_len_ + bytes.size() > out_cap_) return false;
    }
    std::memcpy(out_.get() + out_len_, bytes.data(), bytes.size());
    out_len_ += bytes.size();
    flush();
    return true;
}

bool Peer::flush() {
    while (!failed_ && out_pos_ < out_len_) {
        ssize_t w = ::send(fd_.get(), out_.get() + out_pos_, out_len_ - out_pos_, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (w <= 0) {
            failed_ = true;
            return false;
        }
        capture().data(capture_, Capture::Dir::FromBoxsim, {out_.get() + out_pos_, static_cast<std::size_t>(w)});
        out_pos_ += static_cast<std::size_t>(w);
    }
    return !failed_;
}

}  // namespace sim::core
