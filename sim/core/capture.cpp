// pcapng writer: section header, one interface per endpoint, and enhanced
// packet blocks holding synthesised raw IPv4/TCP segments.
#include "core/capture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

#include "core/loop.hpp"
#include "wire/bytes.hpp"

namespace sim::core {

namespace {

constexpr std::uint32_t kBlockShb = 0x0A0D0D0A;
constexpr std::uint32_t kBlockIdb = 1;
constexpr std::uint32_t kBlockEpb = 6;
constexpr std::uint16_t kLinkRawIp = 101;
constexpr std::uint16_t kOptEnd = 0, kOptComment = 1, kOptIfName = 2, kOptIfDescription = 3, kOptShbUserAppl = 4;

constexpr std::uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpPsh = 0x08, kTcpAck = 0x10;
// Largest TCP payload of one synthesised segment: an IPv4 datagram holds
// at most 65,535 bytes with its headers.
constexpr std::size_t kMaxSegment = 65000;

constexpr std::uint32_t ip4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}
constexpr std::uint32_t kClientIp = ip4(10, 2, 0, 1);

struct PortRule {
    std::string_view suffix;
    std::uint16_t port;
};
// Bitstream sockets end in "Strm" or "server_socket", command sockets in
// "Cmd" or "cmd_socket".
constexpr std::array<PortRule, 6> kPortRules{{
    {"Strm", kCapPortCodecStream},
    {"server_socket", kCapPortCodecStream},
    {"Cmd", kCapPortCodecCmd},
    {"cmd_socket", kCapPortCodecCmd},
    {"quad_socket", kCapPortQuad},
    {"tivane_in", kCapPortUiFifo},
}};

void put_option(std::vector<std::uint8_t>& out, std::uint16_t code, std::string_view value) {
    const std::size_t len = std::min<std::size_t>(value.size(), 0xFFFF);
    const std::size_t at = out.size();
    out.resize(at + 4 + ((len + 3) & ~std::size_t{3}), 0);
    std::memcpy(&out[at], &code, 2);
    const auto l16 = static_cast<std::uint16_t>(len);
    std::memcpy(&out[at + 2], &l16, 2);
    std::memcpy(&out[at + 4], value.data(), len);
}

void put_end_of_options(std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + 4, 0);
    std::memcpy(&out[at], &kOptEnd, 2);
}

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    wire::store_le32(&out[at], v);
}

// Internet checksum over the bytes, starting from sum.
std::uint16_t checksum(const std::uint8_t* p, std::size_t n, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += wire::load_be16(p + i);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::string ip_text(std::uint32_t ip) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{htonl(ip)};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace

std::uint16_t capture_port_for_path(std::string_view path) {
    for (const auto& r : kPortRules)
        if (path.size() >= r.suffix.size() && path.substr(path.size() - r.suffix.size()) == r.suffix) return r.port;
    return kCapPortOther;
}

Capture& capture() {
    static Capture instance;
    return instance;
}

int Capture::open(const std::string& path) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return -1;
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    wall_offset_us_ = static_cast<long long>(wall.tv_sec) * 1000000 + wall.tv_nsec / 1000 - now_us();
    std::vector<std::uint8_t> body;
    put_le32(body, 0x1A2B3C4D);  // byte-order magic
    body.insert(body.end(), {1, 0, 0, 0});  // version 1.0
    body.insert(body.end(), 8, 0xFF);       // section length unknown
    put_option(body, kOptShbUserAppl, "boxsim");
    put_option(body, kOptComment,
               "every endpoint of the simulated box; UNIX endpoints as synthesised TCP conversations, "
               "one interface per endpoint path");
    put_end_of_options(body);
    block(kBlockShb, body);
    return 0;
}

void Capture::close() {
    if (!file_) return;
    while (!conns_.empty()) end(conns_.begin()->first);
    std::fclose(file_);
    file_ = nullptr;
    ifaces_.clear();
    server_ips_.clear();
}

void Capture::block(std::uint32_t type, std::span<const std::uint8_t> body) {
    const std::size_t padded = (body.size() + 3) & ~std::size_t{3};
    const auto total = static_cast<std::uint32_t>(padded + 12);
    std::array<std::uint8_t, 8> head{};
    wire::store_le32(head.data(), type);
    wire::store_le32(head.data() + 4, total);
    std::array<std::uint8_t, 4> pad{};
    std::fwrite(head.data(), 1, head.size(), file_);
    std::fwrite(body.data(), 1, body.size(), file_);
    std::fwrite(pad.data(), 1, padded - body.size(), file_);
    std::fwrite(head.data() + 4, 1, 4, file_);
}

std::uint32_t Capture::interface_for(const std::string& name, const std::string& description) {
    auto it = ifaces_.find(name);
    if (it != ifaces_.end()) return it->second;
    std::vector<std::uint8_t> body(8, 0);
    std::memcpy(body.data(), &kLinkRawIp, 2);  // link type, reserved, snap length 0 (none)
    put_option(body, kOptIfName, name);
    put_option(body, kOptIfDescription, description);
    put_end_of_options(body);
    block(kBlockIdb, body);
    const auto id = static_cast<std::uint32_t>(ifaces_.size());
    ifaces_.emplace(name, id);
    return id;
}

int Capture::begin(int fd, pid_t peer_pid) {
    if (!file_) return 0;
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
    if (local.ss_family == AF_UNIX) {
        const auto& un = reinterpret_cast<const sockaddr_un&>(local);
        const std::size_t max = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        return begin_unix(std::string_view(un.sun_path, strnlen(un.sun_path, std::min(max, sizeof un.sun_path))),
                          peer_pid);
    }
    if (local.ss_family != AF_INET) return 0;
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) return 0;
    const auto& l4 = reinterpret_cast<const sockaddr_in&>(local);
    return begin_tcp(l4.sin_addr.s_addr, l4.sin_port, peer.sin_addr.s_addr, peer.sin_port);
}

int Capture::begin_unix(std::string_view path, pid_t peer_pid) {
    if (!file_) return 0;
    const std::string name(path);
    const std::uint16_t port = capture_port_for_path(path);
    auto ip = server_ips_.find(name);
    if (ip == server_ips_.end())
        ip = server_ips_.emplace(name, ip4(10, 1, 0, 1) + static_cast<std::uint32_t>(server_ips_.size())).first;
    Conn c;
    c.iface = interface_for(name, "boxsim serves " + name + " (shown as " + ip_text(ip->second) + ":" +
                                      std::to_string(port) + ")");
    c.boxsim = {ip->second, port, 0, false};
    c.other = {kClientIp, next_client_port_++, 0, false};
    if (next_client_port_ == 0) next_client_port_ = 30001;
    const int id = next_conn_++;
    auto& stored = conns_.emplace(id, c).first->second;
    start(stored, false, "connection " + std::to_string(id) + " to " + name + ", peer pid " + std::to_string(peer_pid));
    return id;
}

int Capture::begin_tcp(std::uint32_t local_ip, std::uint16_t local_port, std::uint32_t peer_ip,
                       std::uint16_t peer_port) {
    if (!file_) return 0;
    Conn c;
    c.boxsim = {ntohl(local_ip), ntohs(local_port), 0, false};
    c.other = {ntohl(peer_ip), ntohs(peer_port), 0, false};
    const std::string name = ip_text(c.other.ip) + ":" + std::to_string(c.other.port);
    c.iface = interface_for(name, "boxsim connects to " + name + " over TCP");
    const int id = next_conn_++;
    auto& stored = conns_.emplace(id, c).first->second;
    start(stored, true, "connection " + std::to_string(id) + " from boxsim to " + name);
    return id;
}

// The three-way handshake, begun by the side that connected.
void Capture::start(Conn& c, bool boxsim_connected, const std::string& comment) {
    const long long t = now_us();
    segment(c, boxsim_connected, kTcpSyn, {}, t, comment);
    segment(c, !boxsim_connected, kTcpSyn | kTcpAck, {}, t);
    segment(c, boxsim_connected, kTcpAck, {}, t);
}

void Capture::data(int conn, Dir dir, std::span<const std::uint8_t> bytes) { data(conn, dir, bytes, now_us()); }

void Capture::data(int conn, Dir dir, std::span<const std::uint8_t> bytes, long long t_us) {
    if (!file_) return;
    auto it = conns_.find(conn);
    if (it == conns_.end()) return;
    for (std::size_t at = 0; at < bytes.size(); at += kMaxSegment)
        segment(it->second, dir == Dir::FromBoxsim, kTcpPsh | kTcpAck,
                bytes.subspan(at, std::min(kMaxSegment, bytes.size() - at)), t_us);
}

void Capture::fin(Conn& c, bool from_boxsim, long long t_us) {
    Side& s = from_boxsim ? c.boxsim : c.other;
    if (s.fin) return;
    segment(c, from_boxsim, kTcpFin | kTcpAck, {}, t_us);
    s.fin = true;
}

void Capture::peer_closed(int conn) {
    auto it = conns_.find(conn);
    if (!file_ || it == conns_.end()) return;
    fin(it->second, false, now_us());
}

void Capture::end(int conn) {
    auto it = conns_.find(conn);
    if (it == conns_.end()) return;
    if (file_) {
        // The side whose FIN went first acknowledges the other's last.
        const long long t = now_us();
        const bool peer_first = it->second.other.fin;
        fin(it->second, true, t);
        fin(it->second, false, t);
        segment(it->second, !peer_first, kTcpAck, {}, t);
    }
    conns_.erase(it);
}

void Capture::segment(Conn& c, bool from_boxsim, std::uint8_t flags, std::span<const std::uint8_t> payload,
                      long long t_us, const std::string& comment) {
    Side& src = from_boxsim ? c.boxsim : c.other;
    const Side& dst = from_boxsim ? c.other : c.boxsim;
    const std::size_t ip_len = 40 + payload.size();
    scratch_.assign(ip_len, 0);
    std::uint8_t* ip = scratch_.data();
    ip[0] = 0x45;
    wire::store_be16(ip + 2, static_cast<std::uint16_t>(ip_len));
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = IPPROTO_TCP;
    wire::store_be32(ip + 12, src.ip);
    wire::store_be32(ip + 16, dst.ip);
    wire::store_be16(ip + 10, checksum(ip, 20, 0));
    std::uint8_t* tcp = ip + 20;
    wire::store_be16(tcp, src.port);
    wire::store_be16(tcp + 2, dst.port);
    wire::store_be32(tcp + 4, src.seq);
    wire::store_be32(tcp + 8, (flags & kTcpAck) ? dst.seq : 0);
    tcp[12] = 5 << 4;
    tcp[13] = flags;
    wire::store_be16(tcp + 14, 0xFFFF);
    if (!payload.empty()) std::memcpy(tcp + 20, payload.data(), payload.size());
    // Pseudo-header: addresses, protocol, TCP length.
    std::uint32_t sum = (src.ip >> 16) + (src.ip & 0xFFFF) + (dst.ip >> 16) + (dst.ip & 0xFFFF) + IPPROTO_TCP +
                        static_cast<std::uint32_t>(ip_len - 20);
    wire::store_be16(tcp + 16, checksum(tcp, ip_len - 20, sum));
    src.seq += static_cast<std::uint32_t>(payload.size()) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);

    std::vector<std::uint8_t> body;
    body.reserve(20 + ip_len + 8 + comment.size());
    put_le32(body, c.iface);
    const auto ts = static_cast<std::uint64_t>(t_us + wall_offset_us_);
    put_le32(body, static_cast<std::uint32_t>(ts >> 32));
    put_le32(body, static_cast<std::uint32_t>(ts));
    put_le32(body, static_cast<std::uint32_t>(ip_len));
    put_le32(body, static_cast<std::uint32_t>(ip_len));
    body.insert(body.end(), scratch_.begin(), scratch_.end());
    body.resize((body.size() + 3) & ~std::size_t{3}, 0);
    if (!comment.empty()) {
        put_option(body, kOptComment, comment);
        put_end_of_options(body);
    }
    block(kBlockEpb, body);
}

}  // namespace sim::core
