// The codec servers: video, content and audio encoders and decoders and the
// audio control server, on their UNIX endpoints under /tmp.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/endpoints.hpp"
#include "media/codecs.hpp"
#include "media/deframer.hpp"
#include "media/sheet.hpp"
#include "media/wav.hpp"
#include "core/peer.hpp"
#include "core/role.hpp"
#include "wire/records.hpp"

namespace sim::codec {

class CodecRole : public core::Role {
public:
    explicit CodecRole(core::Context& ctx);
    ~CodecRole() override;
    int start() override;
    void summary() override;

private:
    struct Counts {
        long long conns = 0, cmds = 0, replies = 0, chunks = 0, frames = 0, blocks = 0, bytes = 0, garbage = 0,
                  sent_packets = 0, sent_bytes = 0, drops = 0;
    };
    struct Client {
        std::unique_ptr<core::Peer> peer;
        std::size_t ep = 0;
        std::array<std::uint8_t, 48> cmd{};
        std::size_t cmd_len = 0;
        std::unique_ptr<media::Deframer> deframer;  // decoder bitstream clients only
    };
    // An encoder channel that streams.
    struct Stream {
        std::size_t ep = 0;  // bitstream endpoint
        std::uint8_t ch = 0;
        bool video = true;
        pid_t owner = -1;  // process that opened it
        std::uint16_t type = 0;
        std::uint16_t bitrate = 0;
        std::uint8_t fps = 0;
        bool block_from_rate = false;  // SILK opened without a block length
        long long period_us = 0;
        std::size_t bytes = 0;  // frame or block size
        std::uint32_t number = 0;
        long long next_due = 0;
        std::uint64_t timer = 0;
        // real media (--real-media): the encoder, and the decoder that
        // decodes its own output, as the far end will see it
        int width = 0, height = 0;
        std::string media = "synthetic";
        std::unique_ptr<media::VideoEncoder> venc;
        std::unique_ptr<media::VideoDecoder> vself;
        std::unique_ptr<media::AudioEncoder> aenc;
        std::unique_ptr<media::AudioDecoder> aself;
        std::uint32_t decoded = 0;  // pictures or blocks the own decoder gave
    };
    // A decoder channel decoding what it receives (--real-media).
    struct Decoding {
        std::unique_ptr<media::VideoDecoder> video;
        std::unique_ptr<media::AudioDecoder> audio;
        std::unique_ptr<media::ContactSheet> sheet;
        std::uint16_t type = 0;
        std::uint32_t decoded = 0, errors = 0, serial = 0;
        bool ended = false;
        std::uint32_t ended_at = 0;  // decoded + errors when the sheet was last written
    };
    using StreamKey = std::pair<std::size_t, std::uint8_t>;

    // endpoints
    int bring_up(std::size_t ep, bool late);
    void take_down(std::size_t ep, bool record = true);
    void on_accept(std::size_t ep);
    void on_client(int id, short revents);
    void close_client(int id, bool record_eof);
    void update_events(Client& c);

    // input
    void read_commands(Client& c);
    void take_pending_commands(std::size_t strm_ep);
    void read_bitstream(Client& c);
    void handle_command(Client& c, std::span<const std::uint8_t, 48> raw);
    void reply(Client& c, const wire::CodecCmd& req, std::uint16_t code, bool agree, std::uint8_t ch);
    bool refused(std::size_t ep) const;

    // encoders
    void start_stream(std::size_t cmd_ep, const wire::CodecCmd& req, pid_t owner);
    void stop_stream(std::size_t strm_ep, std::uint8_t ch);
    void configure(Stream& s);
    void schedule(StreamKey key);
    void emit(Stream& s);
    std::vector<Client*> stream_targets(std::size_t ep, pid_t owner);

    // real media (media_io.cpp)
    void open_real_encoder(Stream& s);
    // The next coded frame or block of a real encoder into `out`; false
    // when the stream has none and sends synthetic bytes.
    bool real_payload(Stream& s, media::Bytes& out);
    // Decoding runs apart from reading: a decoder's chunks are recorded as
    // they are read and decoded one a loop turn, so that a slow decode (a
    // sanitizer build, a loaded machine) never holds up the reading, and the
    // arrival times recorded, of the other sockets. Opens and closes of
    // decoder channels queue behind the chunks that came before them.
    void open_decoding(std::size_t strm, std::uint8_t ch, std::uint16_t type);
    void close_decoding(std::size_t strm, std::uint8_t ch);
    void end_sheet(std::size_t strm, std::uint8_t ch, Decoding& d);
    void finish_decoding();
    std::string wav_path(std::size_t strm, std::uint8_t ch) const;
    void decode_chunk(std::size_t strm, const wire::PacketHeader& h, std::span<const std::uint8_t> payload);
    struct DecodeWork {
        enum Kind { Open, Close, Chunk } kind;
        std::size_t strm;
        std::uint8_t ch;
        std::uint16_t type = 0;  // Open
        wire::PacketHeader header{};  // Chunk
        std::vector<std::uint8_t> payload;
    };
    void queue_decoding(DecodeWork work);
    void schedule_decoding();
    void decode_next();
    void start_decoding(std::size_t strm, std::uint8_t ch, std::uint16_t type);
    void decode_now(std::size_t strm, const wire::PacketHeader& h, std::span<const std::uint8_t> payload);
    void record_picture(std::size_t ep, std::uint8_t ch, std::uint32_t n, const std::string& md5);
    void record_sound(std::size_t ep, std::uint8_t ch, std::uint32_t n, std::span<const std::int16_t> pcm);
    // Writes one header + payload to the targets and records it; returns
    // how many targets took it (the others are recorded as drops). A
    // streamed video frame goes out as `pieces` packets; `piece` numbers
    // this one from 0, so a reader can tell a frame that left whole.
    std::size_t send_packet(const std::vector<Client*>& targets, std::span<const std::uint8_t> packet, const char* src,
                            std::size_t piece = 0, std::size_t pieces = 1);

    // control commands
    void add_commands();
    std::vector<Client*> resolve(const std::string& spec, std::string& error);
    // Returns how many targets took the bytes.
    std::size_t write_raw(const std::vector<Client*>& targets, std::span<const std::uint8_t> bytes);
    std::string stats() const;

    core::Context& ctx_;
    std::array<core::Fd, kEndpoints.size()> listen_{};
    std::array<Counts, kEndpoints.size()> counts_{};
    std::map<int, Client> clients_;
    int next_id_ = 1;
    std::map<StreamKey, Stream> streams_;
    std::set<StreamKey> open_decoders_;
    std::set<std::string> refuse_;
    int grant_channel_;
    bool replies_;
    bool autostream_;
    std::map<std::size_t, std::uint64_t> late_timers_;
    // One packet built at a time: header + the largest payload a script or
    // a stream produces.
    std::vector<std::uint8_t> scratch_;
    std::map<StreamKey, Decoding> decoding_;
    std::deque<DecodeWork> decode_queue_;
    std::size_t queued_bytes_ = 0;
    std::uint64_t decode_timer_ = 0;
    std::map<std::uint8_t, media::WavWriter> wavs_;  // per audio decoder channel, for the whole run
    std::map<StreamKey, std::uint32_t> sheet_serial_;
    media::Bytes coded_;
    std::vector<std::int16_t> pcm_;
};

}  // namespace sim::codec
