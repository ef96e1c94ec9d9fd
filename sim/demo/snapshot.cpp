#include "snapshot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace demo {

namespace {

// Bytes of a file from `from` to its end.
std::string read_from(const std::string& path, std::uint64_t from) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[1 << 16];
    for (std::uint64_t at = from;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return out;
}

}  // namespace

Snapshot::Snapshot(std::string record_dir, std::uint64_t from) : dir_(std::move(record_dir)), end_(from) {}

void Snapshot::refresh() {
    const std::string text = read_from(dir_ + "/events.tsv", end_);
    std::size_t at = 0;
    for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', at)) {
        if (auto e = boxsim::parse_event_line(std::string_view(text).substr(at, nl - at))) events_.push_back(std::move(*e));
        at = nl + 1;
    }
    // An unfinished last line waits for the next refresh.
    end_ += at;
    data_.clear();
}

std::string Snapshot::payload(const std::string& file, long long off, long long size) const {
    if (off < 0 || size <= 0) return {};
    const auto want = static_cast<std::uint64_t>(off);
    auto it = data_.find(file);
    // Read from the first offset asked for; an earlier one reads again.
    if (it == data_.end() || want < it->second.base)
        it = data_.insert_or_assign(file, Data{want, read_from(dir_ + "/" + file, want)}).first;
    const Data& d = it->second;
    const std::uint64_t rel = want - d.base;
    if (rel >= d.bytes.size()) return {};
    return d.bytes.substr(static_cast<std::size_t>(rel), static_cast<std::size_t>(size));
}

}  // namespace demo
