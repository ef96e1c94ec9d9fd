// Test client of the box simulator.
#include "boxsim/client.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness/util.hpp"
#include "wire/fields.hpp"

namespace boxsim {

namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

template <std::size_t N>
void copy_hex(const std::string& hex, std::array<std::uint8_t, N>& out) {
    auto bytes = from_hex(hex);
    out.fill(0);
    std::memcpy(out.data(), bytes.data(), std::min(N, bytes.size()));
}

ChunkEvent to_chunk(const Event& e, const std::string& data) {
    ChunkEvent c;
    c.ep = e.get("ep");
    c.conn = static_cast<int>(e.num("conn"));
    c.t_us = e.num("t", 0);
    copy_hex(e.get("hdr"), c.raw_header);
    std::memcpy(c.hdr.magic.data(), c.raw_header.data(), 4);
    wire::load_header_fields(c.raw_header.data(), c.hdr);
    c.flags = static_cast<std::uint8_t>(c.raw_header[17] & 3);
    c.off = static_cast<std::uint64_t>(e.num("off", 0));
    c.open = e.num("open", 0) != 0;
    c.src = e.get("src");
    if (c.off <= data.size()) {
        std::size_t n = std::min<std::size_t>(c.hdr.u32PacketSize, data.size() - c.off);
        c.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(c.off),
                         data.begin() + static_cast<std::ptrdiff_t>(c.off + n));
    }
    return c;
}

}  // namespace

std::string Event::get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long Event::num(const std::string& key, long long fallback) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return fallback;
    char* end = nullptr;
    long long v = std::strtoll(it->second.c_str(), &end, 10);
    return *end == '\0' ? v : fallback;
}

std::optional<Event> parse_event_line(std::string_view line) {
    Event e;
    std::size_t i = 0;
    while (i <= line.size()) {
        std::size_t tab = line.find('\t', i);
        if (tab == std::string_view::npos) tab = line.size();
        std::string_view field = line.substr(i, tab - i);
        auto eq = field.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        std::string key(field.substr(0, eq));
        std::string value(field.substr(eq + 1));
        if (i == 0) {
            if (key != "ev") return std::nullopt;
            e.kind = value;
        } else {
            e.fields[key] = value;
        }
        i = tab + 1;
    }
    if (e.kind.empty()) return std::nullopt;
    return e;
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    auto nib = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 0;
    };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nib(hex[i]) << 4 | nib(hex[i + 1])));
    return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<std::uint8_t> make_packet(std::uint8_t stream_type, std::uint8_t ch, std::uint32_t ts, std::uint32_t gob,
                                      std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(wire::kPacketHeaderSize + payload.size());
    std::memcpy(out.data(), wire::kMagic.data(), wire::kMagic.size());
    wire::PacketHeader h;
    h.u8StreamType = stream_type;
    h.u8StreamCh = ch;
    h.u32TimeStamp = ts;
    h.u32PacketSize = static_cast<std::uint32_t>(payload.size());
    h.u32Gob = gob;
    wire::store_header_fields(out.data(), h);
    if (!payload.empty()) std::memcpy(out.data() + wire::kPacketHeaderSize, payload.data(), payload.size());
    return out;
}

std::vector<Event> Records::events(std::string_view kind, std::string_view ep) const {
    std::string text = read_all(dir_ + "/events.tsv");
    std::vector<Event> out;
    std::size_t i = 0;
    for (;;) {
        std::size_t nl = text.find('\n', i);
        if (nl == std::string::npos) break;  // an unfinished last line waits for its end
        auto e = parse_event_line(std::string_view(text).substr(i, nl - i));
        i = nl + 1;
        if (!e) continue;
        if (!kind.empty() && e->kind != kind) continue;
        if (!ep.empty() && e->get("ep") != ep) continue;
        out.push_back(std::move(*e));
    }
    return out;
}

std::vector<CmdEvent> Records::commands(std::string_view ep) const {
    std::vector<CmdEvent> out;
    for (const auto& e : events("cmd", ep)) {
        CmdEvent c;
        c.ep = e.get("ep");
        c.conn = static_cast<int>(e.num("conn"));
        c.pid = static_cast<int>(e.num("pid"));
        c.t_us = e.num("t", 0);
        copy_hex(e.get("hex"), c.raw);
        std::memcpy(c.cmd.magic.data(), c.raw.data(), 4);
        wire::load_cmd_fields(c.raw.data(), c.cmd);
        std::memcpy(c.cmd.reserved.data(), c.raw.data() + wire::kOffReserved, c.cmd.reserved.size());
        out.push_back(c);
    }
    return out;
}

std::vector<ChunkEvent> Records::chunks(std::string_view ep) const {
    std::vector<ChunkEvent> out;
    auto evs = events("chunk", ep);
    std::map<std::string, std::string> data;
    for (const auto& e : evs) {
        std::string name = e.get("ep");
        if (!data.count(name)) data[name] = read_all(dir_ + "/" + name + ".rx");
        out.push_back(to_chunk(e, data[name]));
    }
    return out;
}

std::vector<ChunkEvent> Records::sent(std::string_view ep) const {
    std::vector<ChunkEvent> out;
    auto evs = events("sent", ep);
    std::map<std::string, std::string> data;
    for (const auto& e : evs) {
        std::string name = e.get("ep");
        if (!data.count(name)) data[name] = read_all(dir_ + "/" + name + ".tx");
        out.push_back(to_chunk(e, data[name]));
    }
    return out;
}

std::string Records::rx_bytes(std::string_view ep) const { return read_all(dir_ + "/" + std::string(ep) + ".rx"); }
std::string Records::tx_bytes(std::string_view ep) const { return read_all(dir_ + "/" + std::string(ep) + ".tx"); }

bool Records::wait(const std::function<bool(const Records&)>& pred, Ms timeout) const {
    return harness::wait_until([&] { return pred(*this); }, timeout, Ms(10));
}

bool Records::wait_commands(std::string_view ep, std::size_t n, Ms timeout) const {
    return wait([&](const Records& r) { return r.commands(ep).size() >= n; }, timeout);
}

bool Records::wait_chunks(std::string_view ep, std::size_t n, Ms timeout) const {
    return wait([&](const Records& r) { return r.events("chunk", ep).size() >= n; }, timeout);
}

Boxsim::Boxsim(std::unique_ptr<harness::Proc> proc, Options opts)
    : proc_(std::move(proc)), opts_(std::move(opts)), records_(opts_.record_dir) {}

Boxsim::~Boxsim() {
    if (ctl_fd_ >= 0) ::close(ctl_fd_);
    if (proc_ && proc_->running()) stop(Ms(3000));
}

std::unique_ptr<Boxsim> Boxsim::start(const Options& opts) {
    std::vector<std::string> args{"--record", opts.record_dir, "--control", opts.control};
    args.insert(args.end(), opts.args.begin(), opts.args.end());
    auto proc = harness::Proc::start("boxsim", args);
    std::unique_ptr<Boxsim> box(new Boxsim(std::move(proc), opts));
    if (!box->proc_->wait_stdout("boxsim: ready", opts.ready_timeout)) return nullptr;
    if (!box->connect_control(opts.ready_timeout)) return nullptr;
    return box;
}

bool Boxsim::connect_control(Ms timeout) {
    sockaddr_un addr{};
    if (opts_.control.size() >= sizeof addr.sun_path) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, opts_.control.c_str(), opts_.control.size() + 1);
    return harness::wait_until(
        [&] {
            int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return false;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(fd);
                return false;
            }
            ctl_fd_ = fd;
            return true;
        },
        timeout, Ms(10));
}

std::string Boxsim::command(std::string_view line, Ms timeout) {
    if (ctl_fd_ < 0) return "";
    std::string out(line);
    out += '\n';
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t w = ::send(ctl_fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return "";
        done += static_cast<std::size_t>(w);
    }
    auto deadline = std::chrono::steady_clock::now() + harness::scaled(timeout);
    for (;;) {
        auto nl = ctl_pending_.find('\n');
        if (nl != std::string::npos) {
            std::string reply = ctl_pending_.substr(0, nl);
            ctl_pending_.erase(0, nl + 1);
            return reply;
        }
        auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{ctl_fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(ctl_fd_, buf, sizeof buf);
        if (n <= 0) return "";
        ctl_pending_.append(buf, static_cast<std::size_t>(n));
    }
}

bool Boxsim::ok(std::string_view line, Ms timeout) {
    std::string reply = command(line, timeout);
    return reply == "ok" || reply.rfind("ok ", 0) == 0;
}

int Boxsim::stop(Ms timeout) {
    proc_->signal(SIGTERM);
    auto status = proc_->wait_exit(timeout);
    return status ? *status : -1;
}

}  // namespace boxsim
