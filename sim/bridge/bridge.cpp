// The remote bridge role of boxsim. Driven by the "bridge" control command:
// connections are made on request (avhub listens only once "vcb_start" has
// set its server up), then scripted commands, video packets and raw bytes
// go out on them, and whatever avhub sends back is recorded.
#include "bridge/bridge.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "media/payload.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace sim::bridge {

namespace {

struct KindInfo {
    const char* name;
    std::uint16_t port;
};

constexpr std::array<KindInfo, 4> kKinds{{{"vbs", 2004}, {"vcmd", 2005}, {"abs", 2006}, {"acmd", 2007}}};

// Outgoing backlog per connection: several of the largest video packets.
constexpr std::size_t kOutCapacity = 4u << 20;
// Payload numbering of the bridge's generated video (fill_payload's "ep").
constexpr std::uint32_t kPayloadEp = 100;
// The bridge numbers its own packets from here, so that avhub's rewrite of
// the time stamp (to 0, 1, 2 ...) shows in the decoder's record.
constexpr std::uint32_t kBridgeTsBase = 5000;
// Channel the bridge puts on its packets; avhub forwards them as channel 0.
constexpr std::uint8_t kBridgeChannel = 7;
constexpr std::uint32_t kMaxVideoPayload = 1u << 20;
// The bridge's own video with --real-media: CIF H.264, the size a remote
// conference room would send, at a light rate.
constexpr int kRealWidth = 352, kRealHeight = 288, kRealKbps = 384;

// Requests avhub sends, answered with request + 16 when auto-ack is on.
constexpr std::uint16_t kAckOffset = wire::kBridgeAckOffset;

bool parse_num(const std::string& text, long long max, long long& out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < 0 || v > max) return false;
    out = v;
    return true;
}

std::vector<std::uint8_t> parse_hex(const std::string& text, bool& ok) {
    std::vector<std::uint8_t> out;
    ok = text.size() % 2 == 0;
    for (std::size_t i = 0; ok && i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (end != pair + 2) ok = false;
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// Connects with a bounded wait so that a missing avhub never stalls the loop
// for long. Returns the descriptor or -1 with errno set.
int connect_tcp(const std::string& host, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = ETIMEDOUT;
        if (::poll(&p, 1, 2000) == 1) {
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
        if (err != 0) {
            ::close(fd);
            errno = err;
            return -1;
        }
    }
    return fd;
}

// CodecCmd field names accepted by "bridge cmd" as key=value.
void set_field(wire::CodecCmd& c, const std::string& key, long long v, bool& ok) {
    auto u16 = static_cast<std::uint16_t>(v);
    auto u8 = static_cast<std::uint8_t>(v);
    if (key == "type") c.u16Type = u16;
    else if (key == "width") c.u16VdoWidth = u16;
    else if (key == "height") c.u16VdoHeight = u16;
    else if (key == "bitrate") c.u16BitRate = u16;
    else if (key == "blk") c.u16ByteNumPerBlk = u16;
    else if (key == "fr") c.u8VdoFrRate = u8;
    else if (key == "agree") c.u8AgreeFlag = u8;
    else if (key == "chan") c.u8ChanIdx = u8;
    else if (key == "mcu") c.u8McuMode = u8;
    else if (key == "sections") c.u8DisSectionNum = u8;
    else ok = false;
}

void pack_cmd(const wire::CodecCmd& c, bool magic, std::array<std::uint8_t, wire::kCodecCmdSize>& out) {
    out.fill(0);
    if (magic) std::memcpy(out.data(), wire::kMagic.data(), wire::kMagic.size());
    wire::store_cmd_fields(out.data(), c);
}

constexpr const char* kUsage =
    "bridge host ADDR | connect vbs|vcmd|abs|acmd [N] | cmd CONN CODE [key=value...] | "
    "video CONN TYPE SIZE [COUNT [INTERVAL_MS]] | raw CONN HEX | close CONN | reset CONN | "
    "pause CONN on|off | autoack on|off";

}  // namespace

int BridgeRole::start() {
    ctx_.control.add("bridge", kUsage, [this](const Args& args, core::Control::Reply reply) {
        on_control(args, std::move(reply));
    });
    return 0;
}

void BridgeRole::summary() {
    for (auto& [id, c] : conns_) {
        core::say("summary bridge conn=%d kind=%s cmds_in=%lld packets_in=%lld bytes_in=%lld packets_out=%lld drops=%lld",
                  id, kKinds[c.kind].name, c.cmds_in, c.packets_in, c.bytes_in, c.packets_out, c.drops);
    }
}

void BridgeRole::on_control(const Args& args, core::Control::Reply reply) {
    const std::string sub = args.size() > 1 ? args[1] : "";
    std::string out;
    if (sub == "host" && args.size() == 3) {
        in_addr a{};
        if (::inet_pton(AF_INET, args[2].c_str(), &a) != 1) {
            out = "error bad address";
        } else {
            host_ = args[2];
            out = "ok";
        }
    } else if (sub == "connect") {
        out = cmd_connect(args);
    } else if (sub == "cmd") {
        out = cmd_send_cmd(args);
    } else if (sub == "video") {
        out = cmd_video(args);
    } else if (sub == "raw") {
        out = cmd_raw(args);
    } else if (sub == "close" || sub == "reset") {
        out = cmd_close(args, sub == "reset");
    } else if (sub == "pause") {
        out = cmd_pause(args);
    } else if (sub == "autoack" && args.size() == 3 && (args[2] == "on" || args[2] == "off")) {
        autoack_ = args[2] == "on";
        out = "ok";
    } else {
        out = std::string("error usage: ") + kUsage;
    }
    reply(out);
}

std::string BridgeRole::cmd_connect(const Args& args) {
    if (args.size() < 3 || args.size() > 4) return "error usage: bridge connect KIND [N]";
    int kind = -1;
    for (std::size_t k = 0; k < kKinds.size(); ++k)
        if (args[2] == kKinds[k].name) kind = static_cast<int>(k);
    long long n = 1;
    if (kind < 0) return "error unknown kind " + args[2];
    if (args.size() == 4 && (!parse_num(args[3], 64, n) || n == 0)) return "error bad count";
    std::string ids = "ok";
    for (long long j = 0; j < n; ++j) {
        int fd = connect_tcp(host_, kKinds[static_cast<std::size_t>(kind)].port);
        if (fd < 0) return "error connect " + std::string(std::strerror(errno));
        int id = next_id_++;
        Conn& c = conns_[id];
        c.id = id;
        c.kind = static_cast<Kind>(kind);
        c.peer = std::make_unique<core::Peer>(core::Fd(fd), id, kOutCapacity);
        if (c.kind == kVbs) c.deframer = std::make_unique<media::Deframer>();
        ctx_.loop.watch(fd, POLLIN, [this, id](short) { on_readable(id); });
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
        core::Line line("bridge_connect");
        line.kv("t", core::now_us())
            .kv("conn", id)
            .kv("kind", kKinds[c.kind].name)
            .kv("port", kKinds[c.kind].port)
            .kv("local_port", ntohs(local.sin_port));
        ctx_.rec.write(line);
        // Appended in two steps: g++ 12 at -O3 takes " " + to_string() for
        // an overlapping copy (-Wrestrict, a known false positive).
        ids += ' ';
        ids += std::to_string(id);
    }
    return ids;
}

BridgeRole::Conn* BridgeRole::find(const std::string& id_text) {
    long long id = 0;
    if (!parse_num(id_text, 1 << 30, id)) return nullptr;
    auto it = conns_.find(static_cast<int>(id));
    return it == conns_.end() ? nullptr : &it->second;
}

std::string BridgeRole::cmd_send_cmd(const Args& args) {
    if (args.size() < 4) return "error usage: bridge cmd CONN CODE [key=value...]";
    Conn* c = find(args[2]);
    long long code = 0;
    if (!c) return "error no connection " + args[2];
    if (!parse_num(args[3], 0xFFFF, code)) return "error bad code";
    wire::CodecCmd cmd{};
    cmd.u16Cmd = static_cast<std::uint16_t>(code);
    bool magic = true;
    for (std::size_t i = 4; i < args.size(); ++i) {
        auto eq = args[i].find('=');
        long long v = 0;
        if (eq == std::string::npos || !parse_num(args[i].substr(eq + 1), 0xFFFF, v)) return "error bad field " + args[i];
        std::string key = args[i].substr(0, eq);
        bool ok = true;
        if (key == "magic") magic = v != 0;
        else set_field(cmd, key, v, ok);
        if (!ok) return "error unknown field " + key;
    }
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_cmd(cmd, magic, out);
    if (!c->peer->send(out)) return "error backlog full";
    core::Line line("bridge_sent_cmd");
    line.kv("t", core::now_us()).kv("conn", c->id).kv("u16Cmd", cmd.u16Cmd).hex("hex", out);
    if (c->peer->failed()) line.kv("failed", 1);
    ctx_.rec.write(line);
    return "ok";
}

void BridgeRole::record_picture(const char* ep, int conn, std::uint32_t n, const std::string& md5) {
    core::Line line("picture");
    line.kv("ep", ep).kv("t", core::now_us()).kv("ch", conn).kv("n", n).kv("md5", md5);
    ctx_.rec.write(line);
}

bool BridgeRole::real_frame(Conn& c, media::Bytes& out) {
    std::string why;
    if (!c.venc) {
        media::VideoParams p;
        p.width = kRealWidth;
        p.height = kRealHeight;
        p.kbps = kRealKbps;
        c.venc = media::VideoEncoder::open(p, why);
        c.vself = c.venc ? media::VideoDecoder::open(p.type, why) : nullptr;
        if (!c.vself) {
            c.venc.reset();
            return false;
        }
    }
    if (c.venc->encode(c.next_video, out) < 0) return false;
    c.vself->decode(out, [&](const AVFrame&, const std::string& md5) {
        record_picture("bridge_tx", c.id, c.self_pictures++, md5);
    });
    return true;
}

void BridgeRole::decode_received(Conn& c, std::span<const std::uint8_t> payload, std::uint32_t ts) {
    std::string why;
    if (!c.vrx) c.vrx = media::VideoDecoder::open(wire::STD_H264, why);
    if (!c.vrx) return;
    const int errors = c.vrx->decode(payload, [&](const AVFrame&, const std::string& md5) {
        record_picture("bridge_rx", c.id, c.rx_pictures++, md5);
    });
    if (errors == 0) return;
    core::Line line("decode_error");
    line.kv("ep", "bridge_rx").kv("t", core::now_us()).kv("ch", c.id).kv("u32TimeStamp", ts).kv("errors", errors);
    ctx_.rec.write(line);
}

bool BridgeRole::send_video_packet(Conn& c, int type, std::uint32_t size) {
    media::Bytes coded;
    const bool real = ctx_.settings.real_media && type == wire::kStreamVideo && real_frame(c, coded);
    if (real) size = static_cast<std::uint32_t>(coded.size());
    std::vector<std::uint8_t> pkt(wire::kPacketHeaderSize + size);
    std::memcpy(pkt.data(), wire::kMagic.data(), wire::kMagic.size());
    wire::PacketHeader h;
    h.u8StreamType = static_cast<std::uint8_t>(type);
    h.u8StreamCh = kBridgeChannel;
    h.u32TimeStamp = kBridgeTsBase + c.next_video;
    h.u32PacketSize = size;
    h.u32Gob = 3;
    wire::store_header_fields(pkt.data(), h);
    std::span<std::uint8_t> payload(pkt.data() + wire::kPacketHeaderSize, size);
    if (real)
        std::memcpy(payload.data(), coded.data(), coded.size());
    else
        media::fill_payload(ctx_.settings.seed, kPayloadEp, static_cast<std::uint32_t>(c.id), c.next_video, 0, payload);
    ++c.next_video;
    core::Line line("bridge_sent");
    line.kv("t", core::now_us())
        .kv("conn", c.id)
        .kv("u8StreamType", h.u8StreamType)
        .kv("u32TimeStamp", h.u32TimeStamp)
        .kv("u32PacketSize", size);
    if (!c.peer->send(pkt)) {
        ++c.drops;
        line.kv("dropped", 1);
        ctx_.rec.write(line);
        return false;
    }
    ++c.packets_out;
    line.kv("off", static_cast<long long>(ctx_.rec.append("bridge.tx", payload)));
    ctx_.rec.write(line);
    return true;
}

std::string BridgeRole::cmd_video(const Args& args) {
    if (args.size() < 5 || args.size() > 7) return "error usage: bridge video CONN TYPE SIZE [COUNT [INTERVAL_MS]]";
    Conn* c = find(args[2]);
    long long type = 0, size = 0, count = 1, interval = 0;
    if (!c) return "error no connection " + args[2];
    if (!parse_num(args[3], 255, type) || !parse_num(args[4], kMaxVideoPayload, size)) return "error bad type or size";
    if (args.size() > 5 && !parse_num(args[5], 1000000, count)) return "error bad count";
    if (args.size() > 6 && !parse_num(args[6], 60000, interval)) return "error bad interval";
    if (c->stream_timer != 0) {
        ctx_.loop.cancel(c->stream_timer);
        c->stream_timer = 0;
    }
    Stream s{static_cast<int>(type), static_cast<std::uint32_t>(size), count, interval};
    if (interval == 0) {
        long long sent = 0;
        for (long long j = 0; j < count; ++j) sent += send_video_packet(*c, s.type, s.size) ? 1 : 0;
        return "ok " + std::to_string(sent);
    }
    // Paced: the first packet now, the rest on the timer; the reply does not
    // wait for the end.
    stream_tick(c->id, s);
    return "ok";
}

void BridgeRole::stream_tick(int id, Stream s) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& c = it->second;
    c.stream_timer = 0;
    if (s.left <= 0) return;
    send_video_packet(c, s.type, s.size);
    --s.left;
    if (s.left > 0) c.stream_timer = ctx_.loop.after_ms(s.interval_ms, [this, id, s] { stream_tick(id, s); });
}

std::string BridgeRole::cmd_raw(const Args& args) {
    if (args.size() != 4) return "error usage: bridge raw CONN HEX";
    Conn* c = find(args[2]);
    if (!c) return "error no connection " + args[2];
    bool ok = false;
    auto bytes = parse_hex(args[3], ok);
    if (!ok || bytes.empty()) return "error bad hex";
    if (!c->peer->send(bytes)) return "error backlog full";
    core::Line line("bridge_raw");
    line.kv("t", core::now_us()).kv("conn", c->id).kv("len", static_cast<long long>(bytes.size()));
    ctx_.rec.write(line);
    return "ok";
}

std::string BridgeRole::cmd_close(const Args& args, bool reset) {
    if (args.size() != 3) return "error usage: bridge close|reset CONN";
    Conn* c = find(args[2]);
    if (!c) return "error no connection " + args[2];
    if (reset) {
        // Linger on with 0 s: the close sends a reset instead of a FIN.
        linger lg{1, 0};
        ::setsockopt(c->peer->fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    finish(c->id, reset ? "reset" : "close");
    return "ok";
}

std::string BridgeRole::cmd_pause(const Args& args) {
    if (args.size() != 4 || (args[3] != "on" && args[3] != "off")) return "error usage: bridge pause CONN on|off";
    Conn* c = find(args[2]);
    if (!c) return "error no connection " + args[2];
    c->paused = args[3] == "on";
    ctx_.loop.set_events(c->peer->fd(), c->paused ? 0 : POLLIN);
    if (!c->paused) on_readable(c->id);
    return "ok";
}

void BridgeRole::finish(int id, const char* why) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& c = it->second;
    if (c.stream_timer != 0) ctx_.loop.cancel(c.stream_timer);
    ctx_.loop.unwatch(c.peer->fd());
    core::Line line("bridge_eof");
    line.kv("t", core::now_us()).kv("conn", id).kv("why", why);
    ctx_.rec.write(line);
    conns_.erase(it);
}

void BridgeRole::on_readable(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& c = it->second;
    c.peer->flush();
    if (c.paused) return;
    if (c.kind == kVbs) {
        read_video(c);
        return;
    }
    std::array<std::uint8_t, 4096> buf{};
    ssize_t n = c.peer->read(buf);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        finish(id, n == 0 ? "eof" : "error");
        return;
    }
    c.bytes_in += n;
    read_commands(c, {buf.data(), static_cast<std::size_t>(n)});
}

void BridgeRole::read_commands(Conn& c, std::span<const std::uint8_t> bytes) {
    c.cmd_buf.insert(c.cmd_buf.end(), bytes.begin(), bytes.end());
    std::size_t pos = 0;
    while (c.cmd_buf.size() - pos >= wire::kCodecCmdSize) {
        const std::uint8_t* m = c.cmd_buf.data() + pos;
        wire::CodecCmd cmd{};
        wire::load_cmd_fields(m, cmd);
        ++c.cmds_in;
        core::Line line("bridge_cmd");
        line.kv("t", core::now_us())
            .kv("conn", c.id)
            .kv("kind", kKinds[c.kind].name)
            .kv("u16Cmd", cmd.u16Cmd)
            .kv("u16Type", cmd.u16Type)
            .kv("u16VdoWidth", cmd.u16VdoWidth)
            .kv("u16VdoHeight", cmd.u16VdoHeight)
            .kv("u16BitRate", cmd.u16BitRate)
            .kv("u8VdoFrRate", cmd.u8VdoFrRate)
            .kv("u8AgreeFlag", cmd.u8AgreeFlag)
            .kv("u8ChanIdx", cmd.u8ChanIdx)
            .hex("hex", {m, wire::kCodecCmdSize});
        ctx_.rec.write(line);
        // avhub's own requests: 513 at a call start, 517 at a stop.
        if (autoack_ && (cmd.u16Cmd == wire::REQ_VDO_ENC || cmd.u16Cmd == wire::REQ_VDO_CLOSE))
            answer(c, cmd.u16Cmd, cmd.u8ChanIdx);
        pos += wire::kCodecCmdSize;
    }
    c.cmd_buf.erase(c.cmd_buf.begin(), c.cmd_buf.begin() + static_cast<std::ptrdiff_t>(pos));
}

void BridgeRole::answer(Conn& c, std::uint16_t request, std::uint8_t chan) {
    wire::CodecCmd ack{};
    ack.u16Cmd = static_cast<std::uint16_t>(request + kAckOffset);
    ack.u8AgreeFlag = 1;
    ack.u8ChanIdx = chan;
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_cmd(ack, true, out);
    if (!c.peer->send(out)) return;
    core::Line line("bridge_sent_cmd");
    line.kv("t", core::now_us()).kv("conn", c.id).kv("u16Cmd", ack.u16Cmd).kv("auto", 1).hex("hex", out);
    // avhub may have reset the connection as it sent the request (vcb_stop
    // right after a stop): then the answer never left.
    if (c.peer->failed()) line.kv("failed", 1);
    ctx_.rec.write(line);
}

void BridgeRole::read_video(Conn& c) {
    const int id = c.id;
    for (;;) {
        auto space = c.deframer->space();
        ssize_t n = c.peer->read(space);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            finish(id, n == 0 ? "eof" : "error");
            return;
        }
        c.bytes_in += n;
        c.deframer->commit(static_cast<std::size_t>(n));
        for (auto item = c.deframer->next(); item.type != media::Deframer::Item::None; item = c.deframer->next()) {
            if (item.type == media::Deframer::Item::Garbage) {
                core::Line line("bridge_garbage");
                line.kv("t", core::now_us())
                    .kv("conn", id)
                    .kv("len", static_cast<long long>(item.bytes.size()))
                    .kv("reason", item.reason);
                ctx_.rec.write(line);
                continue;
            }
            wire::PacketHeader h;
            wire::load_header_fields(item.header.data(), h);
            ++c.packets_in;
            auto record = [&](std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload) {
                wire::PacketHeader r;
                wire::load_header_fields(header.data(), r);
                core::Line line("bridge_video");
                line.kv("t", core::now_us())
                    .kv("conn", id)
                    .kv("u8StreamType", r.u8StreamType)
                    .kv("u8StreamCh", r.u8StreamCh)
                    .kv("u32TimeStamp", r.u32TimeStamp)
                    .kv("u32PacketSize", r.u32PacketSize)
                    .kv("u32Gob", r.u32Gob)
                    .hex("hdr", header)
                    .kv("off", static_cast<long long>(ctx_.rec.append("bridge.rx", payload)));
                ctx_.rec.write(line);
            };
            if (ctx_.planted)
                ctx_.planted->pass("bridge", item.header, item.payload, record);
            else
                record(item.header, item.payload);
            if (ctx_.settings.real_media && h.u8StreamType == wire::kStreamVideo)
                decode_received(c, item.payload, h.u32TimeStamp);
        }
    }
}

}  // namespace sim::bridge
