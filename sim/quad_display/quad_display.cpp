// Quad display server: one connection per command, one 32-byte frame each.
#include "quad_display/quad_display.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace sim::quad_display {

namespace {

constexpr const char* kEp = "quad_socket";

std::string frame_text(const std::uint8_t* p, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n && p[i] != 0; ++i) text += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '.';
    return text;
}

}  // namespace

QuadDisplayRole::~QuadDisplayRole() {
    for (auto& [id, conn] : conns_) ctx_.loop.unwatch(conn.peer->fd());
    if (listen_fd_) {
        ctx_.loop.unwatch(listen_fd_.get());
        ::unlink(kSocketPath);
    }
}

int QuadDisplayRole::start() {
    listen_fd_ = core::listen_unix(kSocketPath);
    if (!listen_fd_) {
        std::fprintf(stderr, "boxsim: cannot listen on %s: %s\n", kSocketPath, std::strerror(errno));
        return -1;
    }
    ctx_.loop.watch(listen_fd_.get(), POLLIN, [this](short) { on_accept(); });
    core::Line line("up");
    line.kv("ep", kEp).kv("t", core::now_us());
    ctx_.rec.write(line);
    core::say("listening %s", kSocketPath);
    return 0;
}

void QuadDisplayRole::on_accept() {
    for (;;) {
        core::Fd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;
        const int id = next_id_++;
        Conn conn;
        // The server never answers: no outgoing backlog is needed.
        conn.peer = std::make_unique<core::Peer>(std::move(fd), id, 1);
        const int cfd = conn.peer->fd();
        core::Line line("accept");
        line.kv("ep", kEp).kv("t", core::now_us()).kv("conn", id).kv("pid", conn.peer->pid());
        ctx_.rec.write(line);
        ++conns_total_;
        conns_.emplace(id, std::move(conn));
        ctx_.loop.watch(cfd, POLLIN, [this, id](short) { on_readable(id); });
    }
}

void QuadDisplayRole::on_readable(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& conn = it->second;
    std::array<std::uint8_t, 256> buf;
    for (;;) {
        const ssize_t n = conn.peer->read(buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            drop(id);
            return;
        }
        conn.buf.insert(conn.buf.end(), buf.data(), buf.data() + n);
        while (conn.buf.size() >= kFrameSize) {
            core::Line line("quad");
            line.kv("ep", kEp)
                .kv("t", core::now_us())
                .kv("conn", id)
                .kv("pid", conn.peer->pid())
                .kv("text", frame_text(conn.buf.data(), kFrameSize))
                .hex("hex", std::span<const std::uint8_t>(conn.buf.data(), kFrameSize));
            ctx_.rec.write(line);
            ++frames_;
            conn.buf.erase(conn.buf.begin(), conn.buf.begin() + kFrameSize);
        }
    }
}

void QuadDisplayRole::drop(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& conn = it->second;
    if (!conn.buf.empty()) {
        core::Line line("garbage");
        line.kv("ep", kEp)
            .kv("t", core::now_us())
            .kv("conn", id)
            .kv("len", static_cast<long long>(conn.buf.size()))
            .hex("hex", conn.buf)
            .kv("reason", "short");
        ctx_.rec.write(line);
    }
    core::Line line("eof");
    line.kv("ep", kEp).kv("t", core::now_us()).kv("conn", id);
    ctx_.rec.write(line);
    ctx_.loop.unwatch(conn.peer->fd());
    conns_.erase(it);
}

void QuadDisplayRole::summary() {
    core::say("summary quad_socket conns=%lld frames=%lld", conns_total_, frames_);
}

}  // namespace sim::quad_display
