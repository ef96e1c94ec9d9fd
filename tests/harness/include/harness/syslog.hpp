// System log capture: binds a datagram socket at /dev/log (inside the test's
// private /dev) and parses what programs send there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace harness {

struct SyslogEntry {
    int priority = -1;   // facility * 8 + severity
    int severity() const { return priority & 7; }
    int facility() const { return priority >> 3; }
    std::string ident;   // text before "[" or ":" after the time stamp
    std::string text;    // the message after "ident: " / "ident[pid]: "
    std::string raw;
};

class SyslogCapture {
public:
    explicit SyslogCapture(const std::string& path = "/dev/log");
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::vector<SyslogEntry> entries() const;
    // First entry (after those returned by earlier waits) whose text contains needle.
    std::optional<SyslogEntry> wait_for(std::string_view needle, std::chrono::milliseconds timeout);
    std::size_t count(std::string_view needle) const;

    static SyslogEntry parse(const std::string& raw);

private:
    void reader();
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<SyslogEntry> entries_;
    std::size_t cursor_ = 0;
    std::thread thread_;
};

}  // namespace harness
