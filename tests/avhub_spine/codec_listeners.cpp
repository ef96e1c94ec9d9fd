// Codec server stand-ins for the integration tests (see codec_listeners.hpp).
#include "codec_listeners.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "harness/util.hpp"

namespace spine_test {

CodecListeners::CodecListeners() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

CodecListeners::~CodecListeners() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
    thread_.join();
    for (auto& [path, ep] : eps_) {
        for (int c : ep.conns) close(c);
        if (ep.listen_fd >= 0) close(ep.listen_fd);
        unlink(path.c_str());
    }
    close(wake_[0]);
    close(wake_[1]);
}

bool CodecListeners::listen_on(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        eps_[path].listen_fd = fd;
    }
    (void)!write(wake_[1], "x", 1);
    return true;
}

int CodecListeners::accepted(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = eps_.find(path);
    return it == eps_.end() ? 0 : static_cast<int>(it->second.conns.size());
}

std::string CodecListeners::bytes(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = eps_.find(path);
    return it == eps_.end() ? std::string() : it->second.data;
}

bool CodecListeners::wait_accepted(const std::string& path, int n, std::chrono::milliseconds timeout) const {
    return harness::wait_until([&] { return accepted(path) >= n; }, timeout);
}

bool CodecListeners::wait_bytes(const std::string& path, std::size_t n, std::chrono::milliseconds timeout) const {
    return harness::wait_until([&] { return bytes(path).size() >= n; }, timeout);
}

void CodecListeners::drop_connections(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = eps_.find(path);
    if (it == eps_.end()) return;
    for (int& c : it->second.conns) {
        if (c >= 0) close(c);
        c = -1;
    }
}

void CodecListeners::run() {
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        std::vector<std::pair<std::string, int>> who{{"", -1}};  // path, conn index (-1: listener)
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return;
            for (auto& [path, ep] : eps_) {
                if (ep.listen_fd >= 0) {
                    fds.push_back({ep.listen_fd, POLLIN, 0});
                    who.push_back({path, -1});
                }
                for (std::size_t i = 0; i < ep.conns.size(); ++i) {
                    if (ep.conns[i] < 0) continue;
                    fds.push_back({ep.conns[i], POLLIN, 0});
                    who.push_back({path, static_cast<int>(i)});
                }
            }
        }
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        if (fds[0].revents) {
            char sink[64];
            while (read(wake_[0], sink, sizeof sink) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(mu_);
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            Ep& ep = eps_[who[k].first];
            if (who[k].second < 0) {
                int c = accept4(fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0) ep.conns.push_back(c);
                continue;
            }
            int& c = ep.conns[static_cast<std::size_t>(who[k].second)];
            if (c != fds[k].fd) continue;  // dropped meanwhile
            char buf[4096];
            ssize_t n = read(c, buf, sizeof buf);
            if (n > 0) {
                ep.data.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0) {
                close(c);
                c = -1;
            }
        }
    }
}

}  // namespace spine_test
