// Encoder channels: video frames (synthetic, or really coded with
// --real-media) cut into flagged pieces and audio blocks, paced on an
// absolute schedule, and the shared packet writer.
#include <algorithm>
#include <array>
#include <cstring>

#include "codec/codec_role.hpp"
#include "media/payload.hpp"
#include "wire/fields.hpp"

namespace sim::codec {

namespace {

// Bytes of 20 ms of each audio standard (index = u16Type), for opens that
// carry no block length. SILK (11) is derived from the bit rate instead.
constexpr std::array<std::size_t, 13> kAudioBlock{160, 160, 160, 160, 160, 60, 80, 60, 80, 120, 640, 0, 20};
constexpr std::size_t kDefaultAudioBlock = 160;
constexpr std::size_t kMinFrameBytes = 64;
constexpr std::size_t kMaxFrameBytes = 200000;
constexpr int kDefaultFps = 30;
// After a stall longer than this the schedule restarts instead of bursting.
constexpr long long kMaxLagUs = 1000000;

}  // namespace

void CodecRole::configure(Stream& s) {
    if (s.video) {
        int fps = s.fps ? s.fps : kDefaultFps;
        s.period_us = 1000000 / fps;
        std::size_t bytes = static_cast<std::size_t>(s.bitrate) * 1000 / 8 / static_cast<std::size_t>(fps);
        s.bytes = std::clamp(bytes, kMinFrameBytes, kMaxFrameBytes);
    } else {
        s.period_us = static_cast<long long>(ctx_.settings.audio_period_ms) * 1000;
        // SILK: bit/s over one period, never below a G.729-sized block.
        if (s.block_from_rate)
            s.bytes = std::max<std::size_t>(20, static_cast<std::size_t>(s.bitrate) * ctx_.settings.audio_period_ms / 8000);
    }
    // A change of rate opens the encoder afresh (its next frame is intra).
    if (ctx_.settings.real_media) open_real_encoder(s);
}

void CodecRole::start_stream(std::size_t cmd_ep, const wire::CodecCmd& req, pid_t owner) {
    if (!autostream_) return;
    std::size_t strm = partner(cmd_ep, Kind::EncStrm);
    StreamKey key{strm, req.u8ChanIdx};
    stop_stream(strm, req.u8ChanIdx);
    Stream s;
    s.ep = strm;
    s.ch = req.u8ChanIdx;
    s.video = kEndpoints[cmd_ep].group != Group::Audio;
    s.owner = owner;
    s.type = req.u16Type;
    s.bitrate = req.u16BitRate;
    s.fps = req.u8VdoFrRate;
    s.width = req.u16VdoWidth;
    s.height = req.u16VdoHeight;
    if (!s.video) {
        if (req.u16ByteNumPerBlk != 0)
            s.bytes = req.u16ByteNumPerBlk;
        else if (req.u16Type == wire::STD_SILK)
            s.block_from_rate = true;
        else
            s.bytes = req.u16Type < kAudioBlock.size() ? kAudioBlock[req.u16Type] : kDefaultAudioBlock;
    }
    configure(s);
    s.next_due = core::now_us() + s.period_us;
    core::Line line("stream");
    line.kv("ep", kEndpoints[strm].name).kv("t", core::now_us()).kv("ch", s.ch).kv("state", "start")
        .kv("period_us", s.period_us).kv("bytes", static_cast<long long>(s.bytes)).kv("media", s.media);
    ctx_.rec.write(line);
    streams_.emplace(key, std::move(s));
    schedule(key);
}

void CodecRole::stop_stream(std::size_t strm_ep, std::uint8_t ch) {
    auto it = streams_.find({strm_ep, ch});
    if (it == streams_.end()) return;
    ctx_.loop.cancel(it->second.timer);
    streams_.erase(it);
    core::Line line("stream");
    line.kv("ep", kEndpoints[strm_ep].name).kv("t", core::now_us()).kv("ch", ch).kv("state", "stop");
    ctx_.rec.write(line);
}

void CodecRole::schedule(StreamKey key) {
    Stream& s = streams_.at(key);
    s.timer = ctx_.loop.at(s.next_due, [this, key] {
        auto it = streams_.find(key);
        if (it == streams_.end()) return;
        Stream& st = it->second;
        emit(st);
        st.next_due += st.period_us;
        long long now = core::now_us();
        if (st.next_due < now - kMaxLagUs) st.next_due = now + st.period_us;
        schedule(key);
    });
}

std::vector<CodecRole::Client*> CodecRole::stream_targets(std::size_t ep, pid_t owner) {
    std::vector<Client*> all, own;
    for (auto& [id, c] : clients_) {
        if (c.ep != ep) continue;
        all.push_back(&c);
        if (owner > 0 && c.peer->pid() == owner) own.push_back(&c);
    }
    return own.empty() ? all : own;
}

void CodecRole::emit(Stream& s) {
    auto targets = stream_targets(s.ep, s.owner);
    const bool real = real_payload(s, coded_);
    const std::size_t total = real ? coded_.size() : s.bytes;
    if (total == 0) {  // the encoder held this frame back
        ++s.number;
        return;
    }
    const std::size_t piece_max = ctx_.settings.piece_bytes;
    const std::size_t pieces = s.video ? (total + piece_max - 1) / piece_max : 1;
    std::size_t left = total;
    for (std::size_t i = 0; i < pieces; ++i) {
        std::size_t size = s.video ? std::min(left, piece_max) : total;
        const std::size_t at = total - left;
        left -= size;
        wire::PacketHeader h;
        h.u8StreamType = s.video ? wire::kStreamVideo : wire::kStreamAudio;
        h.u8StreamCh = s.ch;
        h.u32TimeStamp = s.number;
        h.u32PacketSize = static_cast<std::uint32_t>(size);
        // Video piece flags sit in byte 17: 1 first, 2 last, 3 whole frame.
        h.u32Gob = s.video ? ((i == 0 ? wire::kGobFirst : 0u) | (i + 1 == pieces ? wire::kGobLast : 0u)) : 0u;
        std::memcpy(scratch_.data(), wire::kMagic.data(), wire::kMagic.size());
        wire::store_header_fields(scratch_.data(), h);
        if (real)
            std::memcpy(scratch_.data() + wire::kPacketHeaderSize, coded_.data() + at, size);
        else
            media::fill_payload(ctx_.settings.seed, static_cast<std::uint32_t>(s.ep), s.ch, s.number,
                                static_cast<std::uint32_t>(i), {scratch_.data() + wire::kPacketHeaderSize, size});
        send_packet(targets, {scratch_.data(), wire::kPacketHeaderSize + size}, "auto", i, pieces);
    }
    ++s.number;
}

std::size_t CodecRole::send_packet(const std::vector<Client*>& targets, std::span<const std::uint8_t> packet,
                                   const char* src, std::size_t piece, std::size_t pieces) {
    if (targets.empty()) return 0;
    std::size_t ep = targets.front()->ep;
    const std::string_view name = kEndpoints[ep].name;
    wire::PacketHeader h;
    wire::load_header_fields(packet.data(), h);
    // Records first, then the write: a client that has the bytes always
    // finds them recorded already.
    std::vector<Client*> taking;
    std::vector<int> dropped, failed;
    for (Client* c : targets) {
        if (c->peer->can_take(packet.size()))
            taking.push_back(c);
        else if (!c->peer->failed())
            dropped.push_back(c->peer->id());
    }
    long long now = core::now_us();
    Counts& counts = counts_[ep];
    // What a sent and a dropped packet record share: which stream, frame or
    // block, and piece it was.
    auto packet_line = [&](const char* kind, int conn) {
        core::Line line(kind);
        line.kv("ep", name).kv("t", now).kv("conn", conn)
            .kv("u8StreamType", h.u8StreamType).kv("u8StreamCh", h.u8StreamCh)
            .kv("u32TimeStamp", h.u32TimeStamp).kv("u32PacketSize", h.u32PacketSize)
            .kv("u32Gob", h.u32Gob).kv("flags", packet[17] & 3)
            .kv("piece", static_cast<long long>(piece)).kv("pieces", static_cast<long long>(pieces));
        return line;
    };
    if (!taking.empty()) {
        std::uint64_t off = ctx_.rec.append(std::string(name) + ".tx", packet.subspan(wire::kPacketHeaderSize));
        for (Client* c : taking) {
            ++counts.sent_packets;
            counts.sent_bytes += static_cast<long long>(packet.size() - wire::kPacketHeaderSize);
            core::Line line = packet_line("sent", c->peer->id());
            line.hex("hdr", packet.first(wire::kPacketHeaderSize)).kv("off", static_cast<long long>(off))
                .kv("src", src);
            ctx_.rec.write(line);
        }
    }
    for (int id : dropped) {
        ++counts.drops;
        core::Line line = packet_line("drop", id);
        line.kv("len", static_cast<long long>(packet.size()));
        ctx_.rec.write(line);
    }
    for (Client* c : taking) {
        c->peer->send(packet);
        if (c->peer->failed())
            failed.push_back(c->peer->id());
        else
            update_events(*c);
    }
    for (int id : failed) close_client(id, true);
    return taking.size();
}

}  // namespace sim::codec
