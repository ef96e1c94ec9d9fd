#include "flows.hpp"

#include <algorithm>

namespace demo::flows {

namespace {

using checks::Arrival;
using checks::Sent;
using Event = boxsim::Event;

bool is(const Event& e, const char* kind, const std::string& ep, int ch, const char* ch_key) {
    return e.kind == kind && e.get("ep") == ep && (ch < 0 || e.num(ch_key) == ch);
}

// Calls f(event, stream number from 1) for each event of the snapshot that
// lies inside one of the streams.
template <typename F>
void in_streams(const Snapshot& s, const std::vector<Stream>& spans, F f) {
    const auto& evs = s.events();
    for (std::size_t k = 0; k < spans.size(); ++k)
        for (std::size_t i = spans[k].begin + 1; i < spans[k].end && i < evs.size(); ++i) f(evs[i], k + 1);
}

std::string of_stream(std::size_t k, std::size_t streams) {
    return streams > 1 ? " of stream " + std::to_string(k) : "";
}

// Adds one received packet: to the channel looked at, or to the others.
void receive(Received& r, const Event& e, int ch, std::string data, bool after_close) {
    const int got = static_cast<int>(e.num("u8StreamCh"));
    Arrival a{.label = "arrival " + std::to_string(r.on.size()) + " (ts=" + e.get("u32TimeStamp") + ")",
              .data = std::move(data),
              .after_close = after_close,
              .channel = got};
    if (got == ch) {
        r.on.push_back(std::move(a));
        r.t_us.push_back(e.num("t", 0));
    } else {
        r.elsewhere.push_back(std::move(a));
    }
}

}  // namespace

std::vector<Stream> streams(const Snapshot& s, const std::string& ep, int ch) {
    std::vector<Stream> out;
    const auto& evs = s.events();
    for (std::size_t i = 0; i < evs.size(); ++i) {
        if (!is(evs[i], "stream", ep, ch, "ch")) continue;
        const std::string state = evs[i].get("state");
        if (state == "start") {
            out.push_back({.begin = i, .end = evs.size()});
        } else if (state == "stop" && !out.empty() && !out.back().stopped) {
            out.back().end = i;
            out.back().stopped = true;
        }
    }
    return out;
}

bool stopped(const std::vector<Stream>& streams) {
    return !streams.empty() && std::all_of(streams.begin(), streams.end(), [](const Stream& s) { return s.stopped; });
}

std::vector<Sent> frames(const Snapshot& s, const std::string& ep, int ch) {
    const auto spans = streams(s, ep, ch);
    std::vector<checks::Piece> pieces;
    in_streams(s, spans, [&](const Event& e, std::size_t k) {
        const bool dropped = e.kind == "drop";
        if ((!dropped && e.kind != "sent") || e.get("ep") != ep || e.num("u8StreamCh") != ch) return;
        checks::Piece p{.conn = static_cast<int>(e.num("conn")),
                        .ch = ch,
                        .stream = static_cast<int>(k),
                        .ts = static_cast<std::uint32_t>(e.num("u32TimeStamp")),
                        .index = static_cast<int>(e.num("piece")),
                        .count = static_cast<int>(e.num("pieces")),
                        .flags = static_cast<unsigned>(e.num("flags", 3)),
                        .dropped = dropped};
        if (!dropped) p.data = s.payload(ep + ".tx", e.num("off"), e.num("u32PacketSize"));
        pieces.push_back(std::move(p));
    });
    std::vector<Sent> out;
    for (auto& f : checks::join_frames(pieces)) {
        out.push_back({.label = "frame ts=" + std::to_string(f.ts) + of_stream(static_cast<std::size_t>(f.stream), spans.size()),
                       .data = std::move(f.data),
                       .broken = std::move(f.broken)});
    }
    return out;
}

std::vector<Sent> blocks(const Snapshot& s, const std::string& ep, int ch, std::size_t block) {
    const auto spans = streams(s, ep, ch);
    std::string stream;
    struct Start {
        std::size_t at;
        std::string label;
    };
    std::vector<Start> starts;  // where each sent packet begins in the stream
    std::vector<Sent> out;
    in_streams(s, spans, [&](const Event& e, std::size_t k) {
        if ((e.kind != "sent" && e.kind != "drop") || e.get("ep") != ep || e.num("u8StreamCh") != ch) return;
        const std::string label = "block ts=" + std::to_string(e.num("u32TimeStamp")) + of_stream(k, spans.size());
        if (e.kind == "drop") {
            out.push_back({.label = label, .broken = "could not be sent (avhub was not reading)", .left = false});
            return;
        }
        starts.push_back({stream.size(), label});
        stream += s.payload(ep + ".tx", e.num("off"), e.num("u32PacketSize"));
    });
    if (block == 0) return out;
    std::size_t p = 0;
    for (std::size_t at = 0; at + block <= stream.size(); at += block) {
        while (p + 1 < starts.size() && starts[p + 1].at <= at) ++p;
        out.push_back({.label = starts[p].label, .data = stream.substr(at, block)});
    }
    return out;
}

std::vector<Sent> own_digests(const Snapshot& s, const std::string& kind, const std::string& ep, int ch) {
    const auto spans = streams(s, ep, ch);
    std::vector<Sent> out;
    const std::string name = kind == "sound" ? "block " : "picture ";
    in_streams(s, spans, [&](const Event& e, std::size_t k) {
        if (is(e, kind.c_str(), ep, ch, "ch"))
            out.push_back({.label = name + e.get("n") + of_stream(k, spans.size()), .data = e.get("md5")});
    });
    return out;
}

Received chunks(const Snapshot& s, const std::string& ep, int ch) {
    Received r;
    for (const auto& e : s.events())
        if (e.kind == "chunk" && e.get("ep") == ep)
            receive(r, e, ch, s.payload(ep + ".rx", e.num("off"), e.num("u32PacketSize")), e.num("open", 1) == 0);
    return r;
}

Received digests(const Snapshot& s, const std::string& kind, const std::string& ep, int ch) {
    Received r;
    for (const auto& e : s.events())
        if (is(e, kind.c_str(), ep, ch, "ch")) {
            r.on.push_back({.label = "decoded " + std::string(kind == "sound" ? "block " : "picture ") + e.get("n"),
                            .data = e.get("md5"),
                            .channel = ch});
            r.t_us.push_back(e.num("t", 0));
        }
    return r;
}

long long decode_errors(const Snapshot& s, const std::string& ep, int ch) {
    long long n = 0;
    for (const auto& e : s.events())
        if (is(e, "decode_error", ep, ch, "ch")) n += e.num("errors", 1);
    return n;
}

std::vector<Sent> bridge_sent(const Snapshot& s, int conn) {
    std::vector<Sent> out;
    for (const auto& e : s.events()) {
        if (e.kind != "bridge_sent" || e.num("conn") != conn) continue;
        const std::string label = "packet ts=" + e.get("u32TimeStamp");
        if (e.num("dropped", 0) != 0)
            out.push_back({.label = label, .broken = "could not be sent (avhub was not reading)", .left = false});
        else
            out.push_back({.label = label, .data = s.payload("bridge.tx", e.num("off"), e.num("u32PacketSize"))});
    }
    return out;
}

Received bridge_received(const Snapshot& s, int conn, int ch) {
    Received r;
    for (const auto& e : s.events())
        if (e.kind == "bridge_video" && e.num("conn") == conn)
            receive(r, e, ch, s.payload("bridge.rx", e.num("off"), e.num("u32PacketSize")), false);
    return r;
}

checks::Packets records(const Snapshot& s, const std::string& kind) {
    checks::Packets out;
    for (const auto& e : s.events())
        if (e.kind == kind) {
            const auto bytes = boxsim::from_hex(e.get("hex"));
            out.emplace_back(bytes.begin(), bytes.end());
        }
    return out;
}

}  // namespace demo::flows
