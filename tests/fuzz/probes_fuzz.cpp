// The audio probe tools' console commands, server replies and stream
// intake, fed any bytes. encprobe must store exactly the payload bytes of
// the packets it takes (behind a length per chunk for SILK); decprobe must
// send whole, numbered packets cut from its input file in order; every
// command the tools write is one whole codec command; a tool stops exactly
// on the replies that end it. Each tool's source is compiled in with its
// entry point renamed, so the handlers run unchanged.
#include <sys/mman.h>

#include <cstdlib>
#include <string>

#include "fuzz_util.hpp"

#define main encprobe_program_main
#include "../../tools/encprobe/main.cpp"
#undef main
#define main decprobe_program_main
#include "../../tools/decprobe/main.cpp"
#undef main
#define main ctlprobe_program_main
#include "../../tools/ctlprobe/main.cpp"
#undef main

namespace {

constexpr std::size_t kHdr = wire::kPacketHeaderSize;
constexpr std::size_t kCmd = wire::kCodecCmdSize;

struct Base {
    event_base* base = event_base_new();
    ~Base() { event_base_free(base); }
    bool broke() const { return event_base_got_break(base) != 0; }
};

// A console line: at most 256 bytes, zero-terminated.
std::string console_line(fuzz::Reader& in) {
    auto b = in.take(in.byte());
    std::string s(b.begin(), b.end());
    return s.substr(0, s.find('\0'));
}

// Every command written on a command socket is 48 bytes with the magic.
void check_commands(int peer) {
    fuzz::Bytes out;
    fuzz::drain(peer, out);
    FUZZ_CHECK(out.size() % kCmd == 0);
    for (std::size_t o = 0; o < out.size(); o += kCmd) {
        FUZZ_CHECK(std::memcmp(out.data() + o, wire::kMagic.data(), 4) == 0);
    }
}

// A whole reply; the tool under test reads it with its own handler.
wire::CodecCmd send_reply(fuzz::Reader& in, int peer) {
    std::array<std::uint8_t, kCmd> raw{};
    auto b = in.take(kCmd);
    std::copy(b.begin(), b.end(), raw.begin());
    // The code is drawn from the replies that matter more often than not.
    static constexpr std::uint16_t kCodes[] = {wire::RSP_ADO_ENC, wire::RSP_ADO_DEC, wire::RSP_ADO_CLOSE,
                                               wire::RSP_ADO_CTRL_WRITE};
    const std::uint8_t pick = in.byte();
    if (pick < 4 * std::size(kCodes)) wire::store_be16(raw.data() + wire::kOffCmd, kCodes[pick % std::size(kCodes)]);
    FUZZ_CHECK(fuzz::send_some(peer, raw) == raw.size());
    wire::CodecCmd rec;
    unpack_codec_command(raw, rec);
    return rec;
}

// What encprobe stores of a stream: each packet's payload, in chunks of at
// most 24,576 bytes, each behind its little-endian length for SILK; a
// header without the magic, or of size zero, is skipped by itself.
fuzz::Bytes expected_store(std::span<const std::uint8_t> s, bool silk) {
    fuzz::Bytes out;
    std::size_t pos = 0;
    while (s.size() - pos >= kHdr) {
        const std::uint8_t* h = s.data() + pos;
        pos += kHdr;
        if (std::memcmp(h, wire::kMagic.data(), 4) != 0) continue;
        std::uint32_t left = wire::load_be32(h + 10);
        while (left > 0) {
            const std::size_t want = std::min<std::size_t>(left, encprobe::kChunkMax);
            const std::size_t n = std::min(want, s.size() - pos);
            if (n == 0) break;
            if (silk) {
                out.push_back(static_cast<std::uint8_t>(n));
                out.push_back(static_cast<std::uint8_t>(n >> 8));
            }
            out.insert(out.end(), s.begin() + static_cast<long>(pos), s.begin() + static_cast<long>(pos + n));
            pos += n;
            left -= static_cast<std::uint32_t>(n);
            if (n < want) break;
        }
    }
    return out;
}

void run_encprobe(fuzz::Reader& in) {
    Base b;
    fuzz::Pair dat(false), cmd(false);
    // The stored stream goes to a memory file, which never refuses a write.
    encprobe::Fd out(::memfd_create("encprobe_fuzz", 0));
    FUZZ_CHECK(out.get() >= 0);
    encprobe::State st;
    st.base = b.base;
    st.dat_fd = dat.fd[0];
    st.cmd_fd = cmd.fd[0];
    st.out_fd = out.get();
    st.chunk.resize(encprobe::kChunkMax);
    encprobe::clear_command();
    const std::uint8_t mode = in.byte();
    st.write_enable = (mode & 1) != 0;
    if (mode & 2) encprobe::CodecCmd.u16Type = wire::STD_SILK;

    // Commands and replies first: they set the stored format.
    for (int steps = in.byte() % 8; steps > 0; --steps) {
        if (in.byte() & 1) {
            const std::string line = console_line(in);
            encprobe::handle_command(st, line.c_str());
        } else {
            const wire::CodecCmd r = send_reply(in, cmd.fd[1]);
            encprobe::on_reply(cmd.fd[0], EV_READ, &st);
            if (r.u16Cmd == wire::RSP_ADO_CLOSE) FUZZ_CHECK(b.broke());
        }
        check_commands(cmd.fd[1]);
    }
    const bool silk = encprobe::CodecCmd.u16Type == wire::STD_SILK;
    // The SILK file magic of a start, if any, is already stored.
    const off_t before = ::lseek(out.get(), 0, SEEK_END);

    // Then the stream, closed at its end so that no read waits.
    auto stream = in.rest();
    FUZZ_CHECK(fuzz::send_some(dat.fd[1], stream) == stream.size());
    dat.close_peer();
    fuzz::Bytes got;
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        int pending = 0;
        if (::ioctl(dat.fd[0], FIONREAD, &pending) != 0 || pending == 0) break;
        encprobe::on_stream(dat.fd[0], EV_READ, &st);
    }
    // The readable event of the closed stream: a payload cut by the close
    // keeps what arrived of it.
    encprobe::on_stream(dat.fd[0], EV_READ, &st);
    FUZZ_CHECK(b.broke());
    const off_t end = ::lseek(out.get(), 0, SEEK_END);
    got.resize(static_cast<std::size_t>(end - before));
    FUZZ_CHECK(::pread(out.get(), got.data(), got.size(), before) == static_cast<ssize_t>(got.size()));
    int pending = 0;
    FUZZ_CHECK(::ioctl(dat.fd[0], FIONREAD, &pending) == 0 && pending == 0);
    if (st.write_enable) {
        FUZZ_CHECK(got == expected_store(stream, silk));
    } else {
        FUZZ_CHECK(got.empty());
    }
}

// decprobe's input file: distinct bytes, so a packet out of place shows.
char decprobe_file[] = "/tmp/decprobe_fuzz_XXXXXX";

const char* decprobe_input() {
    static std::string path = [] {
        char* name = decprobe_file;
        const int fd = ::mkstemp(name);
        std::atexit([] { ::unlink(decprobe_file); });
        if (fd < 0) std::abort();
        fuzz::Bytes b(20000);
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        if (::write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) std::abort();
        ::close(fd);
        return std::string(name);
    }();
    return path.c_str();
}

fuzz::Bytes read_all(const char* path) {
    fuzz::Bytes b;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return b;
    std::uint8_t buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}

void run_decprobe(fuzz::Reader& in) {
    static const fuzz::Bytes file = read_all(decprobe_input());
    Base b;
    fuzz::Pair dat(false), cmd(false);
    decprobe::State st;
    st.base = b.base;
    st.dat_fd = dat.fd[0];
    st.cmd_fd = cmd.fd[0];
    st.input_path = decprobe_input();
    // 0 sends on every tick, so short runs reach the end of the file.
    static constexpr std::uint32_t kSpeeds[] = {0, 1, 100000};
    st.speed_us = kSpeeds[in.byte() % 3];
    decprobe::clear_command();

    fuzz::Bytes sent;
    std::size_t checked = 0;
    std::size_t offset = 0;  // of the next payload in the file
    std::uint16_t seq = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        if (op % 3 == 0) {
            const std::string line = console_line(in);
            decprobe::handle_command(st, line.c_str());
        } else if (op % 3 == 1) {
            const wire::CodecCmd r = send_reply(in, cmd.fd[1]);
            const auto plan = decprobe::plan_for(st.standard, st.pattern, st.speed_us);
            decprobe::on_reply(cmd.fd[0], EV_READ, &st);
            if (r.u16Cmd == wire::RSP_ADO_DEC && r.u8AgreeFlag != 0) {
                seq = decprobe::kFirstSeq;
                // A known standard reopens the input from its start.
                if (plan.kind != decprobe::PlanKind::Unsupported) offset = 0;
            }
            if (r.u16Cmd == wire::RSP_ADO_CLOSE) FUZZ_CHECK(b.broke());
        } else {
            for (int i = 0; i <= op / 3 % 16; ++i) decprobe::on_tick(-1, EV_TIMEOUT, &st);
        }
        check_commands(cmd.fd[1]);
        fuzz::drain(dat.fd[1], sent);
        while (sent.size() - checked >= kHdr) {
            const std::uint8_t* h = sent.data() + checked;
            FUZZ_CHECK(std::memcmp(h, wire::kMagic.data(), 4) == 0);
            FUZZ_CHECK(h[4] == wire::kStreamAudio);
            const std::uint32_t len = wire::load_be32(h + 10);
            FUZZ_CHECK(wire::load_be32(h + 6) == static_cast<std::uint16_t>(seq + 1));
            FUZZ_CHECK(len > 0 && len <= st.frame_len && sent.size() - checked - kHdr >= len);
            // The fixed PCM file of standard 10 is not in the fixture; any
            // other packet is the next piece of the input file.
            FUZZ_CHECK(offset + len <= file.size());
            FUZZ_CHECK(std::memcmp(h + kHdr, file.data() + offset, len) == 0);
            offset += len;
            ++seq;
            checked += kHdr + len;
        }
        FUZZ_CHECK(checked == sent.size());
    }
}

void run_ctlprobe(fuzz::Reader& in) {
    Base b;
    fuzz::Pair cmd(false);
    ctlprobe::State st;
    st.base = b.base;
    st.cmd_fd = cmd.fd[0];
    st.address = static_cast<std::int32_t>(in.u32());
    st.value = static_cast<std::int32_t>(in.u32());
    while (!in.empty()) {
        if (in.byte() & 1) {
            const std::string line = console_line(in);
            ctlprobe::handle_command(st, line.c_str());
            fuzz::Bytes out;
            fuzz::drain(cmd.fd[1], out);
            if (!line.empty() && line[0] == 'w') {
                FUZZ_CHECK(out.size() == kCmd);
                wire::CodecCmd c;
                unpack_codec_command(std::span<const std::uint8_t, kCmd>(out.data(), kCmd), c);
                FUZZ_CHECK(c.magic == wire::kMagic && c.u16Cmd == wire::REQ_ADO_CTRL_WRITE);
                FUZZ_CHECK(c.u8ChanIdx == static_cast<std::uint8_t>(st.address));
                FUZZ_CHECK(c.u32VdoEncComplexity == static_cast<std::uint32_t>(st.value));
            } else {
                FUZZ_CHECK(out.empty());
            }
        } else {
            const bool before = b.broke();
            const wire::CodecCmd r = send_reply(in, cmd.fd[1]);
            ctlprobe::on_reply(cmd.fd[0], EV_READ, &st);
            const bool ends = r.u16Cmd == wire::RSP_ADO_CLOSE || r.u16Cmd == wire::RSP_ADO_CTRL_WRITE;
            FUZZ_CHECK(b.broke() == (before || ends));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Everything fits a socket's buffer at once.
    if (size > 65536) return 0;
    fuzz::Reader in(data, size);
    switch (in.byte() % 3) {
    case 0: run_encprobe(in); break;
    case 1: run_decprobe(in); break;
    default: run_ctlprobe(in); break;
    }
    return 0;
}
