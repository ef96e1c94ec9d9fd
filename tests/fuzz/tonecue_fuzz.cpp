// The prompt player driven by any sequence of FIFO commands (through a real
// pipe, over-long ones included), decoder replies (whole, or cut short by the
// server closing) and timer ticks. Every block on the stream socket must be
// one whole, correctly framed 120-byte block of a prompt file, numbered one
// after the other. The program's own source is compiled in with its entry
// point renamed, so the handlers run unchanged.
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz_util.hpp"

#define main tonecue_program_main
#include "../../tools/tonecue/main.cpp"
#undef main

namespace {

constexpr std::size_t kBlock = 120;
constexpr std::size_t kHdr = wire::kPacketHeaderSize;

// The prompt files, in a directory of their own that is the working
// directory of the run: a command can name nothing else (a '/' in a command
// is turned into '_'). Every block of every file is distinct.
std::set<std::string> fixture_blocks;
char fixture_dir[] = "/tmp/tonecue_fuzz_XXXXXX";
constexpr const char* kFixtureFiles[] = {"a", "b", "e"};

void remove_fixture() {
    for (const char* name : kFixtureFiles) ::unlink(name);
    ::chdir("/");
    ::rmdir(fixture_dir);
}

void make_fixture() {
    if (::mkdtemp(fixture_dir) == nullptr || ::chdir(fixture_dir) != 0) std::abort();
    std::atexit(remove_fixture);
    const std::pair<const char*, std::size_t> files[] = {
        {kFixtureFiles[0], 5 * kBlock}, {kFixtureFiles[1], 2 * kBlock + 50}, {kFixtureFiles[2], 0}};
    int id = 0;
    for (auto [name, len] : files) {
        std::string bytes(len, '\0');
        for (std::size_t i = 0; i < len; ++i) {
            bytes[i] = static_cast<char>(id * 101 + (i / kBlock) * 37 + i % kBlock);
        }
        std::FILE* f = std::fopen(name, "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, len, f) != len || std::fclose(f) != 0) std::abort();
        for (std::size_t o = 0; o + kBlock <= len; o += kBlock) fixture_blocks.insert(bytes.substr(o, kBlock));
        ++id;
    }
}

struct Run {
    tonecue::App app;
    fuzz::Pair cmd{false};
    fuzz::Pair dat{false};
    int fifo[2]{-1, -1};
    fuzz::Bytes sent;  // every byte on the stream socket so far
    std::size_t checked = 0;
    std::uint32_t last_ts = 0;
    bool cmd_open = true;

    Run() {
        static event_base* base = event_base_new();
        if (::pipe(fifo) != 0) std::abort();
        app.base = base;
        app.cmd_fd = cmd.fd[0];
        app.fifo_in = fifo[0];
        app.player = tonecue::Player{};
        app.player.dat_fd = dat.fd[0];
        app.player.param.s32ChanIdx = tonecue::kPromptChannel;
        app.player.param.s32Type = tonecue::kPromptType;
        app.player.param.s32BlkSz = tonecue::AdoBlkSz[tonecue::kPromptType];
    }
    ~Run() {
        tonecue::close_ado_file(app.player);
        ::close(fifo[0]);
        ::close(fifo[1]);
    }

    void fifo_command(fuzz::Reader& in) {
        // Lengths past the read size reach the over-long path.
        const std::size_t len = in.byte() + in.byte() % 2 * 100;
        auto text = in.take(len);
        if (text.empty()) return;
        std::string line(text.begin(), text.end());
        for (char& c : line) {
            if (c == '/') c = '_';
        }
        FUZZ_CHECK(::write(fifo[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()));
        tonecue::fifo_read_cb(fifo[0], EV_READ, &app);
        int left = 0;
        FUZZ_CHECK(::ioctl(fifo[0], FIONREAD, &left) == 0 && left == 0);
    }

    void reply(fuzz::Reader& in, bool whole) {
        if (!cmd_open) return;
        std::array<std::uint8_t, wire::kCodecCmdSize> raw{};
        auto b = in.take(whole ? raw.size() : in.byte() % raw.size());
        std::copy(b.begin(), b.end(), raw.begin());
        wire::CodecCmd rec;
        unpack_codec_command(raw, rec);
        const int before = app.player.codec_st;
        if (whole) {
            FUZZ_CHECK(fuzz::send_some(cmd.fd[1], raw) == raw.size());
        } else {
            fuzz::send_some(cmd.fd[1], {raw.data(), b.size()});
            cmd.close_peer();
            cmd_open = false;
        }
        tonecue::cmd_read_cb(cmd.fd[0], EV_READ, &app);
        int st = before;
        if (whole && rec.u16Cmd == wire::RSP_ADO_DEC) st = tonecue::kOpen;
        if (whole && rec.u16Cmd == wire::RSP_ADO_CLOSE) st = tonecue::kClosed;
        FUZZ_CHECK(app.player.codec_st == st);
    }

    void tick() {
        tonecue::timer_cb(-1, EV_TIMEOUT, &app);
        fuzz::drain(dat.fd[1], sent);
        while (sent.size() - checked >= kHdr) {
            const std::uint8_t* p = sent.data() + checked;
            wire::PacketHeader h;
            unpack_packet_header(std::span<const std::uint8_t, kHdr>(p, kHdr), h);
            FUZZ_CHECK(h.magic == wire::kMagic);
            FUZZ_CHECK(h.u8StreamType == wire::kStreamAudio && h.u8StreamCh == tonecue::kPromptChannel);
            FUZZ_CHECK(h.u32PacketSize == kBlock && h.u32Gob == 0);
            FUZZ_CHECK(h.u32TimeStamp == (last_ts >= 0xFFFF ? 0 : last_ts + 1));
            FUZZ_CHECK(sent.size() - checked >= kHdr + kBlock);
            FUZZ_CHECK(fixture_blocks.count(std::string(p + kHdr, p + kHdr + kBlock)) == 1);
            last_ts = h.u32TimeStamp;
            checked += kHdr + kBlock;
        }
        FUZZ_CHECK(sent.size() == checked);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    Run run;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        switch (op % 4) {
        case 0: run.fifo_command(in); break;
        case 1: run.reply(in, true); break;
        case 2: run.reply(in, false); break;
        default:
            // Runs of ticks reach the ends of files and the loop pauses.
            for (int i = 0; i <= op / 4; ++i) run.tick();
            break;
        }
    }
    return 0;
}
