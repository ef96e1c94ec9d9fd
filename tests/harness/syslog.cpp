#include "harness/syslog.hpp"
#include "harness/util.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace harness {

SyslogCapture::SyslogCapture(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    thread_ = std::thread([this] { reader(); });
}

SyslogCapture::~SyslogCapture() {
    if (thread_.joinable()) {
        char b = 0;
        (void)!write(stop_[1], &b, 1);
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
    if (stop_[0] >= 0) close(stop_[0]);
    if (stop_[1] >= 0) close(stop_[1]);
}

SyslogEntry SyslogCapture::parse(const std::string& raw) {
    SyslogEntry e;
    e.raw = raw;
    std::size_t pos = 0;
    if (!raw.empty() && raw[0] == '<') {
        auto close = raw.find('>');
        if (close != std::string::npos) {
            e.priority = std::atoi(raw.substr(1, close - 1).c_str());
            pos = close + 1;
        }
    }
    // glibc: "Mmm dd hh:mm:ss " (16 bytes) before the identity.
    if (raw.size() >= pos + 16 && raw[pos + 3] == ' ' && raw[pos + 15] == ' ') pos += 16;
    auto colon = raw.find(": ", pos);
    std::string head = colon == std::string::npos ? "" : raw.substr(pos, colon - pos);
    auto bracket = head.find('[');
    e.ident = bracket == std::string::npos ? head : head.substr(0, bracket);
    e.text = colon == std::string::npos ? raw.substr(pos) : raw.substr(colon + 2);
    return e;
}

void SyslogCapture::reader() {
    std::string buf(65536, '\0');
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) continue;
        std::string raw(buf.data(), static_cast<std::size_t>(n));
        std::lock_guard lk(mu_);
        entries_.push_back(parse(raw));
        cv_.notify_all();
    }
}

std::vector<SyslogEntry> SyslogCapture::entries() const {
    std::lock_guard lk(mu_);
    return entries_;
}

std::size_t SyslogCapture::count(std::string_view needle) const {
    std::lock_guard lk(mu_);
    std::size_t n = 0;
    for (auto& e : entries_) n += e.text.find(needle) != std::string::npos;
    return n;
}

std::optional<SyslogEntry> SyslogCapture::wait_for(std::string_view needle, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mu_);
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;) {
        for (; cursor_ < entries_.size(); ++cursor_) {
            if (entries_[cursor_].text.find(needle) != std::string::npos) return entries_[cursor_++];
        }
        if (cv_.wait_until(lk, deadline) == std::cv_status::timeout) {
            for (; cursor_ < entries_.size(); ++cursor_) {
                if (entries_[cursor_].text.find(needle) != std::string::npos) return entries_[cursor_++];
            }
            return std::nullopt;
        }
    }
}

}  // namespace harness
