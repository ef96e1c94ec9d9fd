// User-interface application FIFO: reads the records avhub writes and puts
// each one in the record directory.
#include "ui_app/ui_app.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/capture.hpp"

namespace sim::ui_app {

namespace {

// Record text for events.tsv: up to the first zero byte, with anything that
// is not printable shown as '.', so a value never holds a TAB or newline.
std::string record_text(const std::uint8_t* p, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n && p[i] != 0; ++i) text += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '.';
    return text;
}

}  // namespace

UiAppRole::~UiAppRole() {
    if (fd_) ctx_.loop.unwatch(fd_.get());
    if (created_) ::unlink(kFifoPath);
}

int UiAppRole::start() {
    struct stat st {};
    if (::stat(kFifoPath, &st) != 0) {
        if (::mkfifo(kFifoPath, 0666) != 0) {
            std::fprintf(stderr, "boxsim: cannot make %s: %s\n", kFifoPath, std::strerror(errno));
            return -1;
        }
        created_ = true;
    } else if (!S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "boxsim: %s exists and is not a FIFO\n", kFifoPath);
        return -1;
    }
    // Read and write, so the FIFO never reports end of file between writers.
    fd_ = core::Fd(::open(kFifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) {
        std::fprintf(stderr, "boxsim: cannot open %s: %s\n", kFifoPath, std::strerror(errno));
        return -1;
    }
    ctx_.loop.watch(fd_.get(), POLLIN, [this](short) { on_readable(); });
    capture_ = core::capture().begin_unix(kFifoPath, -1);
    core::Line line("up");
    line.kv("ep", "tivane_in").kv("t", core::now_us());
    ctx_.rec.write(line);
    core::say("listening %s", kFifoPath);
    return 0;
}

void UiAppRole::on_readable() {
    std::array<std::uint8_t, 4096> buf;
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        core::capture().data(capture_, core::Capture::Dir::ToBoxsim, {buf.data(), static_cast<std::size_t>(n)});
        for (ssize_t i = 0; i < n;) {
            const std::size_t take = std::min<std::size_t>(kRecordSize - rec_len_, static_cast<std::size_t>(n - i));
            std::memcpy(rec_.data() + rec_len_, buf.data() + i, take);
            rec_len_ += take;
            i += static_cast<ssize_t>(take);
            if (rec_len_ < kRecordSize) break;
            core::Line line("ui");
            line.kv("ep", "tivane_in")
                .kv("t", core::now_us())
                .kv("text", record_text(rec_.data(), rec_.size()))
                .hex("hex", rec_);
            ctx_.rec.write(line);
            ++records_;
            rec_len_ = 0;
        }
    }
}

void UiAppRole::summary() {
    core::say("summary tivane_in records=%lld partial=%zu", records_, rec_len_);
}

}  // namespace sim::ui_app
