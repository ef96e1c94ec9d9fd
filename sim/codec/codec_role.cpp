// Codec server endpoints: listening, clients, commands and replies, decoder
// bitstream receipt.
#include "codec/codec_role.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/bytes.hpp"
#include "wire/fields.hpp"

namespace sim::codec {

namespace {

// Replies are small and rare; the backlog only matters for a client that
// never reads them.
constexpr std::size_t kCmdOutCapacity = 64u << 10;
constexpr std::size_t kStrmOutCapacity = 4u << 20;
constexpr std::size_t kGarbageHexMax = 64;

}  // namespace

CodecRole::CodecRole(core::Context& ctx)
    : ctx_(ctx),
      grant_channel_(ctx.settings.grant_channel),
      replies_(ctx.settings.replies),
      autostream_(ctx.settings.autostream),
      scratch_(wire::kPacketHeaderSize + media::Deframer::kMaxPayload) {
    refuse_.insert(ctx.settings.refuse.begin(), ctx.settings.refuse.end());
}

CodecRole::~CodecRole() {
    if (decode_timer_ != 0) ctx_.loop.cancel(decode_timer_);
    for (auto& [id, c] : clients_) ctx_.loop.unwatch(c.peer->fd());
    for (std::size_t ep = 0; ep < kEndpoints.size(); ++ep)
        if (listen_[ep]) take_down(ep, false);
}

int CodecRole::start() {
    for (const auto& kind : refuse_) {
        bool known = false;
        for (const auto& e : kEndpoints) known = known || (!e.refuse_kind.empty() && e.refuse_kind == kind);
        if (!known) {
            std::fprintf(stderr, "boxsim: unknown refuse kind %s\n", kind.c_str());
            return -2;
        }
    }
    std::array<int, kEndpoints.size()> late;
    late.fill(-1);
    for (const auto& [name, secs] : ctx_.settings.late) {
        std::size_t ep = find_endpoint(name);
        if (ep == kNoEndpoint) {
            std::fprintf(stderr, "boxsim: unknown endpoint %s\n", name.c_str());
            return -2;
        }
        late[ep] = secs;
    }
    for (std::size_t ep = 0; ep < kEndpoints.size(); ++ep) {
        if (late[ep] >= 0) {
            ::unlink(std::string(kEndpoints[ep].path).c_str());
            late_timers_[ep] = ctx_.loop.after_ms(late[ep] * 1000LL, [this, ep] {
                late_timers_.erase(ep);
                bring_up(ep, true);
            });
            continue;
        }
        if (bring_up(ep, false) != 0) return -1;
    }
    add_commands();
    return 0;
}

int CodecRole::bring_up(std::size_t ep, bool late) {
    if (listen_[ep]) return 0;
    std::string path(kEndpoints[ep].path);
    listen_[ep] = core::listen_unix(path);
    if (!listen_[ep]) {
        std::fprintf(stderr, "boxsim: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    ctx_.loop.watch(listen_[ep].get(), POLLIN, [this, ep](short) { on_accept(ep); });
    core::Line line("up");
    line.kv("ep", kEndpoints[ep].name).kv("t", core::now_us());
    ctx_.rec.write(line);
    core::say(late ? "up %s" : "listening %s", path.c_str());
    return 0;
}

void CodecRole::take_down(std::size_t ep, bool record) {
    if (!listen_[ep]) return;
    ctx_.loop.unwatch(listen_[ep].get());
    listen_[ep].reset();
    ::unlink(std::string(kEndpoints[ep].path).c_str());
    if (!record) return;
    core::Line line("down");
    line.kv("ep", kEndpoints[ep].name).kv("t", core::now_us());
    ctx_.rec.write(line);
}

void CodecRole::on_accept(std::size_t ep) {
    for (;;) {
        int fd = ::accept4(listen_[ep].get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int id = next_id_++;
        Kind kind = kEndpoints[ep].kind;
        Client c;
        c.ep = ep;
        c.peer = std::make_unique<core::Peer>(core::Fd(fd), id,
                                              kind == Kind::EncStrm ? kStrmOutCapacity : kCmdOutCapacity);
        if (kind == Kind::DecStrm) c.deframer = std::make_unique<media::Deframer>();
        ++counts_[ep].conns;
        core::Line line("accept");
        line.kv("ep", kEndpoints[ep].name).kv("t", core::now_us()).kv("conn", id).kv("pid", c.peer->pid());
        ctx_.rec.write(line);
        clients_.emplace(id, std::move(c));
        ctx_.loop.watch(fd, POLLIN, [this, id](short revents) { on_client(id, revents); });
    }
}

void CodecRole::update_events(Client& c) {
    ctx_.loop.set_events(c.peer->fd(), c.peer->pending() ? POLLIN | POLLOUT : POLLIN);
}

void CodecRole::close_client(int id, bool record_eof) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    if (record_eof) {
        core::Line line("eof");
        line.kv("ep", kEndpoints[it->second.ep].name).kv("t", core::now_us()).kv("conn", id);
        // A command cut short by the close is never handled; say so.
        if (it->second.cmd_len > 0) line.kv("partial", static_cast<long long>(it->second.cmd_len));
        ctx_.rec.write(line);
    }
    ctx_.loop.unwatch(it->second.peer->fd());
    clients_.erase(it);
}

void CodecRole::on_client(int id, short revents) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& c = it->second;
    if (revents & POLLOUT) c.peer->flush();
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        Kind kind = kEndpoints[c.ep].kind;
        if (kind == Kind::DecStrm && ctx_.settings.real_media) take_pending_commands(c.ep);
        if (kind == Kind::DecStrm || kind == Kind::EncStrm)
            read_bitstream(c);
        else
            read_commands(c);
        // The reader may have closed the client.
        it = clients_.find(id);
        if (it == clients_.end()) return;
    }
    if (it->second.peer->failed()) {
        close_client(id, true);
        return;
    }
    update_events(it->second);
}

// Commands waiting for a decoder are taken before the bitstream that came
// after them: a player writes the open and then the first packet, and that
// packet belongs to the stream the open begins (its contact sheet).
void CodecRole::take_pending_commands(std::size_t strm_ep) {
    const std::size_t cmd_ep = partner(strm_ep, Kind::DecCmd);
    std::vector<int> ids;
    for (const auto& [id, cl] : clients_)
        if (cl.ep == cmd_ep) ids.push_back(id);
    for (int id : ids) {
        auto it = clients_.find(id);
        if (it == clients_.end()) continue;
        pollfd p{it->second.peer->fd(), POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) read_commands(it->second);
    }
}

void CodecRole::read_commands(Client& c) {
    std::array<std::uint8_t, 48 * 64> buf;
    ssize_t n = c.peer->read(buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        close_client(c.peer->id(), true);
        return;
    }
    std::size_t used = 0, total = static_cast<std::size_t>(n);
    while (used < total) {
        std::size_t take = std::min(48 - c.cmd_len, total - used);
        std::memcpy(c.cmd.data() + c.cmd_len, buf.data() + used, take);
        c.cmd_len += take;
        used += take;
        if (c.cmd_len == 48) {
            c.cmd_len = 0;
            handle_command(c, c.cmd);
        }
    }
}

void CodecRole::read_bitstream(Client& c) {
    const std::string_view name = kEndpoints[c.ep].name;
    if (!c.deframer) {
        // Encoder bitstream sockets carry nothing towards the server.
        std::array<std::uint8_t, 65536> buf;
        ssize_t n = c.peer->read(buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            close_client(c.peer->id(), true);
            return;
        }
        core::Line line("ignored");
        line.kv("ep", name).kv("t", core::now_us()).kv("conn", c.peer->id()).kv("len", n);
        ctx_.rec.write(line);
        return;
    }
    auto room = c.deframer->space();
    if (room.empty()) return;
    ssize_t n = c.peer->read(room);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        if (c.deframer->held() > 0) {
            core::Line line("garbage");
            line.kv("ep", name).kv("t", core::now_us()).kv("conn", c.peer->id())
                .kv("len", static_cast<long long>(c.deframer->held())).kv("reason", "truncated");
            ctx_.rec.write(line);
            ++counts_[c.ep].garbage;
        }
        close_client(c.peer->id(), true);
        return;
    }
    c.deframer->commit(static_cast<std::size_t>(n));
    long long now = core::now_us();
    Counts& counts = counts_[c.ep];
    for (;;) {
        media::Deframer::Item item = c.deframer->next();
        if (item.type == media::Deframer::Item::None) break;
        if (item.type == media::Deframer::Item::Garbage) {
            ++counts.garbage;
            core::Line line("garbage");
            line.kv("ep", name).kv("t", now).kv("conn", c.peer->id())
                .kv("len", static_cast<long long>(item.bytes.size()))
                .hex("hex", item.bytes.first(std::min(item.bytes.size(), kGarbageHexMax)))
                .kv("reason", item.reason);
            ctx_.rec.write(line);
            continue;
        }
        wire::PacketHeader h;
        wire::load_header_fields(item.header.data(), h);
        ++counts.chunks;
        counts.bytes += static_cast<long long>(item.payload.size());
        if (h.u8StreamType == wire::kStreamVideo)
            ++counts.frames;
        else if (h.u8StreamType == wire::kStreamAudio)
            ++counts.blocks;
        const int open = open_decoders_.count({c.ep, h.u8StreamCh}) ? 1 : 0;
        auto record = [&](std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload) {
            wire::PacketHeader r;
            wire::load_header_fields(header.data(), r);
            std::uint64_t off = ctx_.rec.append(std::string(name) + ".rx", payload);
            core::Line line("chunk");
            line.kv("ep", name).kv("t", now).kv("conn", c.peer->id())
                .kv("u8StreamType", r.u8StreamType).kv("u8StreamCh", r.u8StreamCh)
                .kv("u32TimeStamp", r.u32TimeStamp).kv("u32PacketSize", r.u32PacketSize)
                .kv("u32Gob", r.u32Gob).kv("flags", header[17] & 3)
                .hex("hdr", header).kv("off", static_cast<long long>(off)).kv("open", open);
            ctx_.rec.write(line);
        };
        if (ctx_.planted)
            ctx_.planted->pass(std::string(name) + ":" + std::to_string(h.u8StreamCh), item.header, item.payload,
                               record);
        else
            record(item.header, item.payload);
        decode_chunk(c.ep, h, item.payload);
    }
}

bool CodecRole::refused(std::size_t ep) const {
    return refuse_.count(std::string(kEndpoints[ep].refuse_kind)) != 0;
}

void CodecRole::reply(Client& c, const wire::CodecCmd& req, std::uint16_t code, bool agree, std::uint8_t ch) {
    if (!replies_) return;
    std::array<std::uint8_t, 48> out{};
    std::memcpy(out.data(), wire::kMagic.data(), wire::kMagic.size());
    wire::CodecCmd r;
    r.u16Cmd = code;
    r.u16Type = req.u16Type;
    r.u8AgreeFlag = agree ? 1 : 0;
    r.u8ChanIdx = ch;
    wire::store_cmd_fields(out.data(), r);
    // Recorded before the write, so a client never sees an unrecorded reply.
    bool fits = c.peer->can_take(out.size());
    ++counts_[c.ep].replies;
    core::Line line("reply");
    line.kv("ep", kEndpoints[c.ep].name).kv("t", core::now_us()).kv("conn", c.peer->id())
        .kv("u16Cmd", code).kv("u8AgreeFlag", r.u8AgreeFlag).kv("u8ChanIdx", ch).hex("hex", out);
    if (!fits) line.kv("dropped", 1);
    ctx_.rec.write(line);
    if (!fits) return;
    c.peer->send(out);
    // A client may close as soon as its last command is out (avhub at
    // "close" reads no reply): then the reply recorded above never left.
    if (c.peer->failed()) {
        core::Line lost("unsent");
        lost.kv("ep", kEndpoints[c.ep].name).kv("t", core::now_us()).kv("conn", c.peer->id()).kv("u16Cmd", code);
        ctx_.rec.write(lost);
    }
}

void CodecRole::handle_command(Client& c, std::span<const std::uint8_t, 48> raw) {
    wire::CodecCmd cmd;
    std::memcpy(cmd.magic.data(), raw.data(), 4);
    wire::load_cmd_fields(raw.data(), cmd);
    std::memcpy(cmd.reserved.data(), raw.data() + wire::kOffReserved, cmd.reserved.size());
    ++counts_[c.ep].cmds;
    core::Line line("cmd");
    line.kv("ep", kEndpoints[c.ep].name).kv("t", core::now_us()).kv("conn", c.peer->id()).kv("pid", c.peer->pid())
        .kv("u16Cmd", cmd.u16Cmd).kv("u16Type", cmd.u16Type).kv("u16VdoWidth", cmd.u16VdoWidth)
        .kv("u16VdoHeight", cmd.u16VdoHeight).kv("u32VdoEncComplexity", cmd.u32VdoEncComplexity)
        .kv("u32VdoEncIFrameInterval", cmd.u32VdoEncIFrameInterval).kv("u32VdoEncIFrame", cmd.u32VdoEncIFrame)
        .kv("u32VdoEncIMBInsert", cmd.u32VdoEncIMBInsert).kv("u32VdoIMBInsertPeriod", cmd.u32VdoIMBInsertPeriod)
        .kv("u16BitRate", cmd.u16BitRate).kv("u16ByteNumPerBlk", cmd.u16ByteNumPerBlk)
        .kv("u8VdoFrRate", cmd.u8VdoFrRate).kv("u8AgreeFlag", cmd.u8AgreeFlag).kv("u8ChanIdx", cmd.u8ChanIdx)
        .kv("u8McuMode", cmd.u8McuMode).kv("u8DisSectionNum", cmd.u8DisSectionNum).hex("hex", raw);
    ctx_.rec.write(line);

    const Kind kind = kEndpoints[c.ep].kind;
    const Group group = kEndpoints[c.ep].group;
    const bool refuse = refused(c.ep);
    const std::uint8_t ch = cmd.u8ChanIdx;
    const std::uint16_t code = cmd.u16Cmd;
    if (group == Group::Audio && kind == Kind::EncCmd) {
        std::size_t strm = partner(c.ep, Kind::EncStrm);
        if (code == wire::REQ_ADO_ENC) {
            reply(c, cmd, wire::RSP_ADO_ENC, !refuse, ch);
            if (!refuse) start_stream(c.ep, cmd, c.peer->pid());
        } else if (code == wire::REQ_ADO_CLOSE) {
            stop_stream(strm, ch);
            reply(c, cmd, wire::RSP_ADO_CLOSE, true, ch);
        } else if (code == wire::REQ_ADO_ENC_CHANGE_BIT_RATE) {
            auto it = streams_.find({strm, ch});
            if (it != streams_.end()) {
                it->second.bitrate = cmd.u16BitRate;
                configure(it->second);
            }
            reply(c, cmd, wire::REQ_ADO_ENC_CHANGE_BIT_RATE + wire::kServerReplyOffset, !refuse, ch);
        }
    } else if (group == Group::Audio && kind == Kind::DecCmd) {
        std::size_t strm = partner(c.ep, Kind::DecStrm);
        if (code == wire::REQ_ADO_DEC) {
            std::uint8_t granted = grant_channel_ >= 0 ? static_cast<std::uint8_t>(grant_channel_) : ch;
            if (!refuse) {
                open_decoders_.insert({strm, granted});
                open_decoding(strm, granted, cmd.u16Type);
            }
            reply(c, cmd, wire::RSP_ADO_DEC, !refuse, refuse ? ch : granted);
        } else if (code == wire::REQ_ADO_CLOSE) {
            open_decoders_.erase({strm, ch});
            close_decoding(strm, ch);
            reply(c, cmd, wire::RSP_ADO_CLOSE, true, ch);
        }
    } else if (kind == Kind::CtrlCmd) {
        if (code == wire::REQ_ADO_CTRL_WRITE) reply(c, cmd, wire::RSP_ADO_CTRL_WRITE, !refuse, ch);
    } else if (kind == Kind::EncCmd) {
        std::size_t strm = partner(c.ep, Kind::EncStrm);
        auto it = streams_.find({strm, ch});
        if (code == wire::REQ_VDO_ENC) {
            if (!refuse) start_stream(c.ep, cmd, c.peer->pid());
        } else if (code == wire::REQ_VDO_CLOSE) {
            stop_stream(strm, ch);
        } else if (code == wire::REQ_VDO_ENC_CHANGE_BIT_RATE && it != streams_.end()) {
            it->second.bitrate = cmd.u16BitRate;
            configure(it->second);
        } else if (code == wire::REQ_VDO_ENC_CHANGE_FRAME_RATE && it != streams_.end()) {
            it->second.fps = cmd.u8VdoFrRate;
            configure(it->second);
        }
    } else if (kind == Kind::DecCmd) {
        std::size_t strm = partner(c.ep, Kind::DecStrm);
        if (code == wire::REQ_VDO_DEC && !refuse) {
            open_decoders_.insert({strm, ch});
            open_decoding(strm, ch, cmd.u16Type);
        } else if (code == wire::REQ_VDO_CLOSE) {
            open_decoders_.erase({strm, ch});
            close_decoding(strm, ch);
        }
    }
}

void CodecRole::summary() {
    // Sheets and WAV files of streams still open at the end are kept too,
    // before "exit" tells a waiting client that the records are complete.
    finish_decoding();
    for (std::size_t ep = 0; ep < kEndpoints.size(); ++ep) {
        const Counts& k = counts_[ep];
        core::say("summary %s conns=%lld cmds=%lld replies=%lld chunks=%lld frames=%lld blocks=%lld bytes=%lld "
                  "garbage=%lld sent_packets=%lld sent_bytes=%lld drops=%lld",
                  std::string(kEndpoints[ep].name).c_str(), k.conns, k.cmds, k.replies, k.chunks, k.frames,
                  k.blocks, k.bytes, k.garbage, k.sent_packets, k.sent_bytes, k.drops);
    }
}

std::string CodecRole::stats() const {
    std::string out;
    for (std::size_t ep = 0; ep < kEndpoints.size(); ++ep) {
        const Counts& k = counts_[ep];
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "%s%s up=%d conns=%lld cmds=%lld replies=%lld chunks=%lld frames=%lld blocks=%lld bytes=%lld "
                      "garbage=%lld sent_packets=%lld sent_bytes=%lld drops=%lld",
                      ep ? "; " : "", std::string(kEndpoints[ep].name).c_str(), listen_[ep] ? 1 : 0, k.conns,
                      k.cmds, k.replies, k.chunks, k.frames, k.blocks, k.bytes, k.garbage, k.sent_packets,
                      k.sent_bytes, k.drops);
        out += buf;
    }
    return out;
}

}  // namespace sim::codec
