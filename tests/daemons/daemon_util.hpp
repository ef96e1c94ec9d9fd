// Small helpers of the daemon tests: the refusal line of a second instance,
// file identities, the launcher's socket and pid file.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace daemons_test {

inline constexpr const char* kLauncherSocket = "/tmp/launcher.skt";
inline constexpr const char* kLauncherPid = "/var/run/launcher.pid";

inline std::string refusal(const std::string& name) {
    return name + ": not started: another " + name + " is running (/run/lock/" + name + ".lock is locked)";
}

// Device and inode of what path names (not following a link), or nullopt.
inline std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

inline bool is_fifo(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

inline bool can_connect(const char* path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

inline bool alive(pid_t pid) {
    const auto stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return false;
    const auto close = stat->rfind(')');
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] != 'Z';
}

// The daemon's pid once its pid file is whole and its socket accepts.
inline std::optional<pid_t> wait_launcher_up() {
    std::optional<std::string> text;
    if (!harness::wait_until(
            [&] {
                text = harness::read_file(kLauncherPid);
                return text && !text->empty() && text->back() == '\n' && can_connect(kLauncherSocket);
            },
            std::chrono::milliseconds(5000))) {
        return std::nullopt;
    }
    return std::stoi(*text);
}

// A launcher started plainly: the starting process (which must exit 0) and
// the detached daemon, killed at the end however the test ended. The daemon
// holds the starter's output pipes, so it goes first.
struct DetachedLauncher {
    std::unique_ptr<harness::Proc> starter;
    std::optional<pid_t> pid;

    DetachedLauncher() : starter(harness::Proc::start("launcher")) {
        if (starter->wait_exit(std::chrono::milliseconds(5000)) == 0) pid = wait_launcher_up();
    }
    ~DetachedLauncher() {
        if (pid && *pid > 1) kill(*pid, SIGKILL);
    }
    DetachedLauncher(const DetachedLauncher&) = delete;
    DetachedLauncher& operator=(const DetachedLauncher&) = delete;
};

// A datagram socket standing in for the service manager's.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : name_(name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (name[0] == '@') addr.sun_path[0] = '\0';
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    ~NotifySocket() {
        close(fd_);
        if (name_[0] == '/') unlink(name_.c_str());
    }
    bool bound() const { return bound_; }
    // The next datagram, or "" at the deadline.
    std::string receive(harness::Ms timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(harness::scaled(timeout).count())) != 1) return "";
        char buf[256];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace daemons_test
