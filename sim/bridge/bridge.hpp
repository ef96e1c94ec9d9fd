// The remote video-conference bridge: connects to avhub's expansion-box
// ports (2004 video bitstream, 2005 video command, 2006 audio bitstream,
// 2007 audio command), sends scripted commands and video packets, answers
// avhub's requests, and records everything avhub sends back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "media/codecs.hpp"
#include "media/deframer.hpp"
#include "core/peer.hpp"
#include "core/role.hpp"

namespace sim::bridge {

class BridgeRole : public core::Role {
public:
    explicit BridgeRole(core::Context& ctx) : ctx_(ctx) {}
    int start() override;
    void summary() override;

private:
    enum Kind { kVbs, kVcmd, kAbs, kAcmd };
    struct Conn {
        int id = 0;
        Kind kind = kVbs;
        std::unique_ptr<core::Peer> peer;
        std::unique_ptr<media::Deframer> deframer;  // video bitstream connections
        std::vector<std::uint8_t> cmd_buf;          // command connections: partial message
        bool paused = false;                        // stop reading (a slow bridge)
        std::uint32_t next_video = 0;               // packet number of the next video send
        std::uint64_t stream_timer = 0;
        long long packets_in = 0, bytes_in = 0, cmds_in = 0, packets_out = 0, drops = 0;
        // --real-media: the bridge's own coded video (and its decode of it),
        // and the decoder of the call video avhub sends
        std::unique_ptr<media::VideoEncoder> venc;
        std::unique_ptr<media::VideoDecoder> vself, vrx;
        std::uint32_t self_pictures = 0, rx_pictures = 0;
    };
    struct Stream {
        int type;
        std::uint32_t size;
        long long left;
        long long interval_ms;
    };

    using Args = std::vector<std::string>;
    void on_control(const Args& args, core::Control::Reply reply);
    std::string cmd_connect(const Args& args);
    std::string cmd_send_cmd(const Args& args);
    std::string cmd_video(const Args& args);
    std::string cmd_raw(const Args& args);
    std::string cmd_close(const Args& args, bool reset);
    std::string cmd_pause(const Args& args);

    Conn* find(const std::string& id_text);
    void on_readable(int id);
    void read_commands(Conn& c, std::span<const std::uint8_t> bytes);
    void read_video(Conn& c);
    void answer(Conn& c, std::uint16_t request, std::uint8_t chan);
    bool send_video_packet(Conn& c, int type, std::uint32_t size);
    // The next coded frame of the bridge's test picture; false when no
    // encoder could be opened (synthetic bytes are sent then).
    bool real_frame(Conn& c, media::Bytes& out);
    void decode_received(Conn& c, std::span<const std::uint8_t> payload, std::uint32_t ts);
    void record_picture(const char* ep, int conn, std::uint32_t n, const std::string& md5);
    void stream_tick(int id, Stream s);
    void finish(int id, const char* why);

    core::Context& ctx_;
    std::string host_ = "127.0.0.1";
    bool autoack_ = true;
    int next_id_ = 1;
    std::map<int, Conn> conns_;
};

}  // namespace sim::bridge
