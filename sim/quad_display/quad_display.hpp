// The quad display server: accepts connections on "/tmp/quad_socket" and
// receives one 32-byte command frame on each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/peer.hpp"
#include "core/role.hpp"

namespace sim::quad_display {

inline constexpr const char* kSocketPath = "/tmp/quad_socket";
inline constexpr std::size_t kFrameSize = 32;

// Records every complete frame as ev=quad (text up to the first zero byte
// and the 32 bytes in hex); bytes left over when a client closes are
// recorded as ev=garbage.
class QuadDisplayRole : public core::Role {
public:
    explicit QuadDisplayRole(core::Context& ctx) : ctx_(ctx) {}
    ~QuadDisplayRole() override;
    int start() override;
    void summary() override;

private:
    struct Conn {
        std::unique_ptr<core::Peer> peer;
        std::vector<std::uint8_t> buf;
    };
    void on_accept();
    void on_readable(int id);
    void drop(int id);

    core::Context& ctx_;
    core::Fd listen_fd_;
    int next_id_ = 1;
    std::map<int, Conn> conns_;
    long long frames_ = 0;
    long long conns_total_ = 0;
};

}  // namespace sim::quad_display
