// Record writer. Lines go out with one write each so a reader never sees
// half of a line unless it reads while that write is in progress.
#include "core/record.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sim::core {

namespace {

void write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Values stay on one line and one field whatever a client sent.
std::string clean(std::string_view v) {
    std::string out(v);
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

Line::Line(std::string_view kind) { text_ = "ev=" + clean(kind); }

Line& Line::kv(std::string_view key, std::string_view value) {
    text_ += '\t';
    text_ += key;
    text_ += '=';
    text_ += clean(value);
    return *this;
}

Line& Line::kv(std::string_view key, long long value) { return kv(key, std::to_string(value)); }

Line& Line::hex(std::string_view key, std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    text_ += '\t';
    text_ += key;
    text_ += '=';
    for (std::uint8_t b : bytes) {
        text_ += digits[b >> 4];
        text_ += digits[b & 15];
    }
    return *this;
}

int Recorder::open(const std::string& dir) {
    dir_ = dir;
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    events_.reset(::open((dir + "/events.tsv").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    return events_ ? 0 : -1;
}

void Recorder::write(Line& line) {
    if (!events_) return;
    std::string text = line.text() + "\n";
    write_all(events_.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::uint64_t Recorder::append(const std::string& name, std::span<const std::uint8_t> bytes) {
    auto it = data_.find(name);
    if (it == data_.end()) {
        DataFile f;
        f.fd.reset(::open((dir_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
        it = data_.emplace(name, std::move(f)).first;
    }
    std::uint64_t off = it->second.size;
    if (it->second.fd) write_all(it->second.fd.get(), bytes.data(), bytes.size());
    it->second.size += bytes.size();
    return off;
}

}  // namespace sim::core
