// A pcapng record of every byte the simulator exchanges on its endpoints, so
// that links no capture tool can see (UNIX sockets, FIFOs) open in tshark and
// Wireshark beside the bridge's TCP link.
//
// Each connection becomes one synthesised IPv4/TCP conversation, so the
// stock TCP layer reassembles records cut across reads and follows streams.
// A UNIX endpoint is served from an address and port of its own
// (10.1.0.N, port by link kind); its clients come from 10.2.0.1 with one
// source port per connection. A TCP connection keeps its real addresses.
// Each endpoint is a pcapng interface named by its path (or host:port), and
// the first packet of a connection carries a comment with its id and peer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::core {

// Synthetic server ports of the UNIX endpoints, by what they carry. The
// dissector registers on the same numbers.
inline constexpr std::uint16_t kCapPortCodecStream = 2110;  // PacketHeader streams of the codec servers
inline constexpr std::uint16_t kCapPortCodecCmd = 2111;     // CodecCmd on the codec servers' command sockets
inline constexpr std::uint16_t kCapPortQuad = 2112;         // 32-byte quad display frames
inline constexpr std::uint16_t kCapPortUiFifo = 2113;       // 128-byte records of the ui FIFO
inline constexpr std::uint16_t kCapPortOther = 2119;        // any other path

// Which server port a UNIX path is shown on.
std::uint16_t capture_port_for_path(std::string_view path);

class Capture {
public:
    enum class Dir { ToBoxsim, FromBoxsim };

    Capture() = default;
    ~Capture() { close(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Creates (truncates) the file and writes its section header; 0 or -1.
    int open(const std::string& path);
    // Ends every open connection and closes the file.
    void close();
    bool is_open() const { return file_ != nullptr; }

    // Starts a connection and returns its id (0 when not capturing).
    // From a connected socket: AF_UNIX means boxsim serves the bound path,
    // AF_INET means boxsim is the client of the peer's address.
    int begin(int fd, pid_t peer_pid);
    // A UNIX path (or FIFO) boxsim serves.
    int begin_unix(std::string_view path, pid_t peer_pid);
    // A TCP connection with boxsim at local (addresses in network order).
    int begin_tcp(std::uint32_t local_ip, std::uint16_t local_port, std::uint32_t peer_ip, std::uint16_t peer_port);

    // Bytes read (ToBoxsim) or written (FromBoxsim) at t_us (now_us() clock).
    void data(int conn, Dir dir, std::span<const std::uint8_t> bytes, long long t_us);
    void data(int conn, Dir dir, std::span<const std::uint8_t> bytes);
    // The other side closed (a read returned end of file).
    void peer_closed(int conn);
    // boxsim closed the connection; also closes the other side.
    void end(int conn);

private:
    struct Side {
        std::uint32_t ip = 0;    // host order
        std::uint16_t port = 0;
        std::uint32_t seq = 0;   // next sequence number
        bool fin = false;
    };
    struct Conn {
        std::uint32_t iface = 0;
        Side boxsim, other;
    };

    std::uint32_t interface_for(const std::string& name, const std::string& description);
    void start(Conn& c, bool boxsim_connected, const std::string& comment);
    void segment(Conn& c, bool from_boxsim, std::uint8_t flags, std::span<const std::uint8_t> payload, long long t_us,
                 const std::string& comment = {});
    void fin(Conn& c, bool from_boxsim, long long t_us);
    void block(std::uint32_t type, std::span<const std::uint8_t> body);

    std::FILE* file_ = nullptr;
    long long wall_offset_us_ = 0;  // realtime - monotonic at open
    std::map<std::string, std::uint32_t> ifaces_;
    std::map<std::string, std::uint32_t> server_ips_;
    std::map<int, Conn> conns_;
    int next_conn_ = 1;
    std::uint16_t next_client_port_ = 30001;
    std::vector<std::uint8_t> scratch_;
};

// The process-wide capture the endpoint I/O reports to; closed unless
// boxsim was started with --capture.
Capture& capture();

}  // namespace sim::core
