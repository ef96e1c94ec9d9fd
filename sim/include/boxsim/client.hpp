// Test client of the box simulator: starts boxsim, waits until its endpoints
// listen, sends control lines, and reads back what it recorded (commands the
// codec servers received, chunks the decoders received with their payloads,
// packets the encoders sent).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "harness/proc.hpp"
#include "wire/records.hpp"

namespace boxsim {

using Ms = std::chrono::milliseconds;

// One line of events.tsv: "ev=KIND" then tab-separated key=value fields.
struct Event {
    std::string kind;
    std::map<std::string, std::string> fields;

    std::string get(const std::string& key) const;  // "" when absent
    long long num(const std::string& key, long long fallback = -1) const;
    bool has(const std::string& key) const { return fields.count(key) != 0; }
};

// A 48-byte command a codec server read from a command socket.
struct CmdEvent {
    std::string ep;             // endpoint short name, e.g. "T_EncCmd"
    int conn = -1;              // connection id, unique for the run
    int pid = -1;               // peer process id
    long long t_us = 0;         // CLOCK_MONOTONIC microseconds at arrival
    wire::CodecCmd cmd;         // decoded fields (magic copied as received)
    std::array<std::uint8_t, 48> raw{};
};

// A framed chunk: received by a decoder ("chunk") or sent by an encoder ("sent").
struct ChunkEvent {
    std::string ep;
    int conn = -1;
    long long t_us = 0;
    wire::PacketHeader hdr;     // decoded header fields
    std::array<std::uint8_t, 18> raw_header{};
    std::uint8_t flags = 0;     // byte 17 & 3
    std::uint64_t off = 0;      // payload offset in the endpoint's data file
    bool open = false;          // decoder: the chunk's channel was open at arrival
    std::string src;            // sent: "auto" (streamed) or "script"
    std::vector<std::uint8_t> payload;
};

// Reader of a record directory. Every call re-reads the files, so it always
// sees what boxsim has written so far (an unfinished last line is skipped).
class Records {
public:
    explicit Records(std::string dir) : dir_(std::move(dir)) {}
    const std::string& dir() const { return dir_; }

    std::vector<Event> events(std::string_view kind = {}, std::string_view ep = {}) const;
    std::vector<CmdEvent> commands(std::string_view ep = {}) const;
    std::vector<ChunkEvent> chunks(std::string_view ep = {}) const;  // decoder receipts
    std::vector<ChunkEvent> sent(std::string_view ep = {}) const;    // encoder sends
    // Payload bytes, concatenated in order: received by a decoder endpoint
    // (EP.rx) or generated on an encoder endpoint (EP.tx).
    std::string rx_bytes(std::string_view ep) const;
    std::string tx_bytes(std::string_view ep) const;

    // Polls until pred holds on the current records, or the deadline passes.
    bool wait(const std::function<bool(const Records&)>& pred, Ms timeout) const;
    bool wait_commands(std::string_view ep, std::size_t n, Ms timeout) const;
    bool wait_chunks(std::string_view ep, std::size_t n, Ms timeout) const;

private:
    std::string dir_;
};

struct Options {
    std::vector<std::string> args;            // extra command-line arguments
    std::string record_dir = "/tmp/boxsim";
    std::string control = "/tmp/boxsim.ctl";
    Ms ready_timeout = Ms(10000);
};

// A running boxsim. The destructor stops it (SIGTERM, then kill).
class Boxsim {
public:
    // Starts build/bin/boxsim and waits for its "boxsim: ready" line and its
    // control socket; nullptr when it did not come up.
    static std::unique_ptr<Boxsim> start(const Options& opts = {});
    ~Boxsim();
    Boxsim(const Boxsim&) = delete;
    Boxsim& operator=(const Boxsim&) = delete;

    // Sends one control line and returns the reply line ("ok ..." or
    // "error ..."); "" when no reply came before the deadline.
    std::string command(std::string_view line, Ms timeout = Ms(5000));
    // command() and true when the reply starts with "ok".
    bool ok(std::string_view line, Ms timeout = Ms(5000));

    Records& records() { return records_; }
    harness::Proc& proc() { return *proc_; }
    // SIGTERM and wait; the exit status, or -1 when it did not end in time.
    int stop(Ms timeout = Ms(5000));

private:
    Boxsim(std::unique_ptr<harness::Proc> proc, Options opts);
    bool connect_control(Ms timeout);

    std::unique_ptr<harness::Proc> proc_;
    Options opts_;
    Records records_;
    int ctl_fd_ = -1;
    std::string ctl_pending_;
};

// Parsers used by Records, exposed for tests of the record format.
std::optional<Event> parse_event_line(std::string_view line);
std::vector<std::uint8_t> from_hex(std::string_view hex);

// Builders for scripted writes: lower-case hex as the control commands take
// it, and a framed chunk (magic, header fields big-endian, payload), so that
// "send EP " + to_hex(a) + to_hex(b) puts two packets in one write.
std::string to_hex(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> make_packet(std::uint8_t stream_type, std::uint8_t ch, std::uint32_t ts, std::uint32_t gob,
                                      std::span<const std::uint8_t> payload);

}  // namespace boxsim
