// Control commands of the codec servers: scripted writes, refusals, granted
// channel, replies and streaming switches, endpoint presence.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/codec_role.hpp"
#include "media/payload.hpp"
#include "wire/fields.hpp"

namespace sim::codec {

namespace {

using Args = std::vector<std::string>;
using Reply = core::Control::Reply;

// Every addressed client still holds more unsent bytes than it may queue.
constexpr const char* kBacklogFull = "error client backlog full";

bool parse_u32(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool parse_hex(const std::string& text, std::vector<std::uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        auto nib = [](char ch) -> int {
            if (ch >= '0' && ch <= '9') return ch - '0';
            if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
            if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
            return -1;
        };
        int hi = nib(text[i]), lo = nib(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool parse_switch(const std::string& text, bool& out) {
    if (text == "on") out = true;
    else if (text == "off") out = false;
    else return false;
    return true;
}

}  // namespace

std::vector<CodecRole::Client*> CodecRole::resolve(const std::string& spec, std::string& error) {
    std::string name = spec;
    std::uint32_t conn = 0;
    bool one = false;
    auto at = spec.find('@');
    if (at != std::string::npos) {
        name = spec.substr(0, at);
        if (!parse_u32(spec.substr(at + 1), conn)) {
            error = "error bad connection in " + spec;
            return {};
        }
        one = true;
    }
    std::size_t ep = find_endpoint(name);
    if (ep == kNoEndpoint) {
        error = "error unknown endpoint " + name;
        return {};
    }
    std::vector<Client*> out;
    for (auto& [id, c] : clients_)
        if (c.ep == ep && (!one || id == static_cast<int>(conn))) out.push_back(&c);
    if (out.empty()) error = "error no client on " + spec;
    return out;
}

std::size_t CodecRole::write_raw(const std::vector<Client*>& targets, std::span<const std::uint8_t> bytes) {
    std::vector<int> failed;
    std::size_t taken = 0;
    for (Client* c : targets) {
        // Recorded before the write, so a client never sees unrecorded bytes.
        bool ok = c->peer->can_take(bytes.size());
        core::Line line("raw");
        line.kv("ep", kEndpoints[c->ep].name).kv("t", core::now_us()).kv("conn", c->peer->id())
            .kv("len", static_cast<long long>(bytes.size())).hex("hex", bytes);
        if (!ok) line.kv("dropped", 1);
        ctx_.rec.write(line);
        if (ok) {
            c->peer->send(bytes);
            ++taken;
        }
        if (c->peer->failed())
            failed.push_back(c->peer->id());
        else
            update_events(*c);
    }
    for (int id : failed) close_client(id, true);
    return taken;
}

void CodecRole::add_commands() {
    auto& ctl = ctx_.control;

    ctl.add("stats", "stats", [this](const Args&, Reply reply) { reply("ok " + stats()); });

    ctl.add("send", "send EP HEX", [this](const Args& a, Reply reply) {
        std::vector<std::uint8_t> bytes;
        if (a.size() != 3 || !parse_hex(a[2], bytes)) return reply("error usage: send EP HEX");
        std::string error;
        auto targets = resolve(a[1], error);
        if (targets.empty()) return reply(error);
        if (write_raw(targets, bytes) == 0) return reply(kBacklogFull);
        reply("ok " + std::to_string(bytes.size()));
    });

    ctl.add("split", "split EP PAUSE_MS HEX HEX...", [this](const Args& a, Reply reply) {
        std::uint32_t pause = 0;
        if (a.size() < 4 || !parse_u32(a[2], pause)) return reply("error usage: split EP PAUSE_MS HEX HEX...");
        struct Job {
            std::vector<int> ids;
            std::vector<std::vector<std::uint8_t>> pieces;
            std::size_t next = 0;
        };
        auto job = std::make_shared<Job>();
        for (std::size_t i = 3; i < a.size(); ++i) {
            job->pieces.emplace_back();
            if (!parse_hex(a[i], job->pieces.back())) return reply("error bad hex piece " + std::to_string(i - 2));
        }
        std::string error;
        auto targets = resolve(a[1], error);
        if (targets.empty()) return reply(error);
        for (Client* c : targets) job->ids.push_back(c->peer->id());
        auto step = std::make_shared<std::function<void()>>();
        *step = [this, job, pause, reply, step] {
            std::vector<Client*> live;
            for (int id : job->ids) {
                auto it = clients_.find(id);
                if (it != clients_.end()) live.push_back(&it->second);
            }
            write_raw(live, job->pieces[job->next]);
            if (++job->next < job->pieces.size()) {
                ctx_.loop.after_ms(pause, *step);
            } else {
                reply("ok " + std::to_string(job->pieces.size()));
                *step = nullptr;  // break the self-reference
            }
        };
        (*step)();
    });

    auto build_header = [](const Args& a, wire::PacketHeader& h) {
        std::uint32_t type, ch, ts, gob, size;
        if (!parse_u32(a[2], type) || !parse_u32(a[3], ch) || !parse_u32(a[4], ts) || !parse_u32(a[5], gob) ||
            !parse_u32(a[6], size) || type > 255 || ch > 255)
            return false;
        h.u8StreamType = static_cast<std::uint8_t>(type);
        h.u8StreamCh = static_cast<std::uint8_t>(ch);
        h.u32TimeStamp = ts;
        h.u32Gob = gob;
        h.u32PacketSize = size;
        return true;
    };

    ctl.add("packet", "packet EP TYPE CH TS GOB SIZE [SEED]", [this, build_header](const Args& a, Reply reply) {
        wire::PacketHeader h;
        std::uint32_t seed = ctx_.settings.seed;
        if (a.size() < 7 || a.size() > 8 || !build_header(a, h) || (a.size() == 8 && !parse_u32(a[7], seed)))
            return reply("error usage: packet EP TYPE CH TS GOB SIZE [SEED]");
        if (h.u32PacketSize > media::Deframer::kMaxPayload)
            return reply("error size above " + std::to_string(media::Deframer::kMaxPayload) + "; use header for lengths only");
        std::string error;
        auto targets = resolve(a[1], error);
        if (targets.empty()) return reply(error);
        std::memcpy(scratch_.data(), wire::kMagic.data(), wire::kMagic.size());
        wire::store_header_fields(scratch_.data(), h);
        media::fill_payload(seed, static_cast<std::uint32_t>(targets.front()->ep), h.u8StreamCh, h.u32TimeStamp, 0,
                     {scratch_.data() + wire::kPacketHeaderSize, h.u32PacketSize});
        if (send_packet(targets, {scratch_.data(), wire::kPacketHeaderSize + h.u32PacketSize}, "script") == 0)
            return reply(kBacklogFull);
        reply("ok " + std::to_string(wire::kPacketHeaderSize + h.u32PacketSize));
    });

    ctl.add("header", "header EP TYPE CH TS GOB SIZE", [this, build_header](const Args& a, Reply reply) {
        wire::PacketHeader h;
        if (a.size() != 7 || !build_header(a, h)) return reply("error usage: header EP TYPE CH TS GOB SIZE");
        std::string error;
        auto targets = resolve(a[1], error);
        if (targets.empty()) return reply(error);
        std::array<std::uint8_t, wire::kPacketHeaderSize> hdr{};
        std::memcpy(hdr.data(), wire::kMagic.data(), wire::kMagic.size());
        wire::store_header_fields(hdr.data(), h);
        if (write_raw(targets, hdr) == 0) return reply(kBacklogFull);
        reply("ok 18");
    });

    ctl.add("refuse", "refuse KIND on|off", [this](const Args& a, Reply reply) {
        bool on;
        if (a.size() != 3 || !parse_switch(a[2], on)) return reply("error usage: refuse KIND on|off");
        bool known = false;
        for (const auto& e : kEndpoints) known = known || (!e.refuse_kind.empty() && e.refuse_kind == a[1]);
        if (!known) return reply("error unknown kind " + a[1]);
        if (on)
            refuse_.insert(a[1]);
        else
            refuse_.erase(a[1]);
        reply("ok");
    });

    ctl.add("grant-channel", "grant-channel N|off", [this](const Args& a, Reply reply) {
        std::uint32_t ch;
        if (a.size() == 2 && a[1] == "off")
            grant_channel_ = -1;
        else if (a.size() == 2 && parse_u32(a[1], ch) && ch <= 255)
            grant_channel_ = static_cast<int>(ch);
        else
            return reply("error usage: grant-channel N|off");
        reply("ok");
    });

    ctl.add("replies", "replies on|off", [this](const Args& a, Reply reply) {
        if (a.size() != 2 || !parse_switch(a[1], replies_)) return reply("error usage: replies on|off");
        reply("ok");
    });

    ctl.add("autostream", "autostream on|off", [this](const Args& a, Reply reply) {
        if (a.size() != 2 || !parse_switch(a[1], autostream_)) return reply("error usage: autostream on|off");
        reply("ok");
    });

    auto endpoint_arg = [](const Args& a, std::size_t n, std::size_t& ep) {
        if (a.size() != n) return false;
        ep = find_endpoint(a[1]);
        return ep != kNoEndpoint;
    };

    ctl.add("down", "down EP", [this, endpoint_arg](const Args& a, Reply reply) {
        std::size_t ep;
        if (!endpoint_arg(a, 2, ep)) return reply("error usage: down EP");
        take_down(ep);
        reply("ok");
    });

    ctl.add("up", "up EP", [this, endpoint_arg](const Args& a, Reply reply) {
        std::size_t ep;
        if (!endpoint_arg(a, 2, ep)) return reply("error usage: up EP");
        if (auto it = late_timers_.find(ep); it != late_timers_.end()) {
            ctx_.loop.cancel(it->second);
            late_timers_.erase(it);
        }
        if (bring_up(ep, true) != 0) return reply("error cannot listen");
        reply("ok");
    });

    ctl.add("late", "late EP SECONDS", [this, endpoint_arg](const Args& a, Reply reply) {
        std::size_t ep;
        std::uint32_t secs;
        if (!endpoint_arg(a, 3, ep) || !parse_u32(a[2], secs) || secs > 3600)
            return reply("error usage: late EP SECONDS");
        take_down(ep);
        if (auto it = late_timers_.find(ep); it != late_timers_.end()) ctx_.loop.cancel(it->second);
        late_timers_[ep] = ctx_.loop.after_ms(secs * 1000LL, [this, ep] {
            late_timers_.erase(ep);
            bring_up(ep, true);
        });
        reply("ok");
    });

    ctl.add("drop", "drop EP", [this](const Args& a, Reply reply) {
        if (a.size() != 2) return reply("error usage: drop EP");
        std::string error;
        auto targets = resolve(a[1], error);
        if (targets.empty()) return reply(error);
        std::vector<int> ids;
        for (Client* c : targets) ids.push_back(c->peer->id());
        for (int id : ids) close_client(id, false);
        reply("ok " + std::to_string(ids.size()));
    });
}

}  // namespace sim::codec
