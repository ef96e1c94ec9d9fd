// encprobe: opens one audio encoder channel, stores the packets the server
// streams back (SILK as a length-prefixed file), steps the SILK bit rate
// while it runs, and closes the channel after the run time or on command.
#include <event2/event.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "decoder_line.hpp"
#include "libsocket/packet.h"
#include "libsocket/socket.h"
#include "tools/handles.hpp"
#include "tools/peer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"
#include "wire/records.hpp"

namespace encprobe {

using tools::EventPtr;
using tools::BasePtr;
using tools::SocketPtr;
using tools::Fd;

constexpr const char* kDatPath = "/tmp/ado_enc_server_socket";
constexpr const char* kCmdPath = "/tmp/ado_enc_cmd_socket";
constexpr std::size_t kConsoleMax = 256;
constexpr std::size_t kChunkMax = 24576;
constexpr std::size_t kOutNameMax = 128;
constexpr std::uint32_t kTicksPerSec = 50;  // 20 ms timer
constexpr int kBitrateCheckChunks = 128;
constexpr std::uint16_t kStartBitRate = 24000;
constexpr std::array<std::uint16_t, 4> kSilkBitRates{12000, 14000, 16000, 20000};
constexpr std::array<std::uint8_t, 9> kSilkMagic{'#', '!', 'S', 'I', 'L', 'K', '_', 'V', '3'};
// Standards whose stored stream has a reference decoder.
constexpr std::array<std::uint16_t, 7> kDecodable{5, 6, 7, 8, 9, 11, 12};

constexpr const char* kUsage =
    "Usage:\nb # #                                      start audio encode\n"
    "  (stream id) (standard) (run_sec )(int_sample_rate)(wirte file enable )\n"
    "d # #                                      close audio encode\n  (stream id) (standard)\n"
    "q                                          quit\n\n";

// The one command record; bytes 4..47 are cleared before every command.
wire::CodecCmd CodecCmd{.magic = wire::kMagic};

struct State {
    event_base* base = nullptr;
    event* console = nullptr;
    int dat_fd = -1;
    int cmd_fd = -1;
    int out_fd = -1;

    bool args_mode = false;
    std::array<char, kConsoleMax + 1> cmd_buf{};  // the command the timer issues
    std::uint32_t tick = 0;
    std::uint32_t tick_end = 0;
    std::int32_t int_sample_rate = 0;
    bool write_enable = false;
    bool started = false;  // between the timer's start and its close
    std::uint8_t channel_idx = 0;
    std::uint8_t channel_fmt = 0;
    std::uint8_t bitrate_switch = 0;
    int dynamic_bitrate_cnt = 0;
    int get_num = 0;
    std::array<char, kConsoleMax> dec_system_cmd{};
    std::vector<std::uint8_t> chunk;  // payload chunk buffer, made once
    tools::ReplyReader reply;         // a reply the stream has delivered only in part

    // The packet being read from the stream, kept across readable events:
    // the header gathered so far, then the payload still to come and the
    // part of the current chunk already in the buffer.
    std::array<std::uint8_t, wire::kPacketHeaderSize> head{};
    std::size_t head_have = 0;
    std::uint32_t payload_left = 0;
    std::size_t chunk_want = 0;
    std::size_t chunk_have = 0;
};

void clear_command() { CodecCmd = wire::CodecCmd{.magic = wire::kMagic}; }

int send_command(State& st) {
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_codec_command(out, CodecCmd);
    return socket_writen(st.cmd_fd, out.data(), out.size());
}

void write_out(State& st, const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(st.out_fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

bool parse_channel(const char* args, int& ch, int& standard) {
    return std::sscanf(args, "%d %d", &ch, &standard) >= 2;
}

void fill_start(State& st, std::uint16_t code, int ch, int standard) {
    clear_command();
    CodecCmd.u16Cmd = code;
    CodecCmd.u16Type = static_cast<std::uint16_t>(standard);
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(ch);
    CodecCmd.u32VdoEncIFrameInterval = 0;
    CodecCmd.u32VdoEncIFrame = 1;
    CodecCmd.u16BitRate = kStartBitRate;
    CodecCmd.u32VdoEncIMBInsert = static_cast<std::uint32_t>(st.int_sample_rate);
}

void start_encoder(State& st, const char* args) {
    int ch = 0, standard = 0;
    if (!parse_channel(args, ch, standard)) {
        std::fputs("err (short)!!\n", stderr);
        return;
    }
    std::fprintf(stderr, "ch: %d fmt: %d\n", ch, standard);
    st.channel_idx = static_cast<std::uint8_t>(ch);
    st.channel_fmt = static_cast<std::uint8_t>(standard);
    fill_start(st, wire::REQ_ADO_ENC, ch, standard);
    const int ret = send_command(st);
    std::printf("[%d] enc: %d\n", ch, ret);
    if (standard == wire::STD_SILK && st.write_enable) write_out(st, kSilkMagic.data(), kSilkMagic.size());
}

void change_bit_rate(State& st, const char* args) {
    int ch = 0, standard = 0;
    if (!parse_channel(args, ch, standard)) {
        std::fputs("err (short)!!\n", stderr);
        return;
    }
    fill_start(st, wire::REQ_ADO_ENC_CHANGE_BIT_RATE, ch, standard);
    ++st.bitrate_switch;
    // Cycle through the four rates; a negative channel must not index
    // before the table.
    const long step = (static_cast<long>(ch) + st.bitrate_switch) % 4;
    CodecCmd.u16BitRate = kSilkBitRates[static_cast<std::size_t>((step + 4) % 4)];
    send_command(st);
}

void close_encoder(State& st, const char* args) {
    int ch = 0, standard = 0;
    if (!parse_channel(args, ch, standard)) {
        std::fputs("Err (short)!!\n", stderr);
        return;
    }
    std::fprintf(stderr, "Ch: %d fmt: %d\n", ch, standard);
    clear_command();
    CodecCmd.u16Cmd = wire::REQ_ADO_CLOSE;
    CodecCmd.u16Type = static_cast<std::uint16_t>(standard);
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(ch);
    send_command(st);
}

// The first character selects the command; its numbers start at the third.
void handle_command(State& st, const char* text) {
    const char* args = text[0] != '\0' && text[1] != '\0' ? text + 2 : "";
    switch (text[0]) {
    case 'b':
        start_encoder(st, args);
        break;
    case 'c':
        change_bit_rate(st, args);
        break;
    case 'd':
        close_encoder(st, args);
        break;
    case 'h':
        std::fputs(kUsage, stderr);
        break;
    case 'q':
        event_base_loopbreak(st.base);
        break;
    default:
        break;
    }
}

void run_cmd_buf(State& st) {
    std::fprintf(stderr, "handle_console_command %s\n", st.cmd_buf.data());
    handle_command(st, st.cmd_buf.data());
}

// One payload chunk is complete (or cut by the end of the stream): store it,
// behind its 16-bit little-endian length for SILK.
void store_chunk(State& st) {
    const std::size_t n = st.chunk_have;
    if (st.write_enable) {
        if (CodecCmd.u16Type == wire::STD_SILK) {
            std::array<std::uint8_t, 2> len{};
            wire::store_le16(len.data(), static_cast<std::uint16_t>(n));
            write_out(st, len.data(), len.size());
        }
        write_out(st, st.chunk.data(), n);
    }
    ++st.dynamic_bitrate_cnt;
    st.payload_left -= static_cast<std::uint32_t>(n);
    st.chunk_have = 0;
    st.chunk_want = st.payload_left < kChunkMax ? st.payload_left : kChunkMax;
    if (st.payload_left == 0) ++st.get_num;
}

// A whole header has arrived: check and unpack it.
void take_header(State& st) {
    st.head_have = 0;
    if (!is_packet_header(st.head)) {
        std::fputs("packet lost\n", stderr);
        return;
    }
    wire::PacketHeader hdr;
    unpack_packet_header(st.head, hdr);
    if (hdr.u32PacketSize == 0) {
        std::fputs("size zero\n", stderr);
        return;
    }
    st.payload_left = hdr.u32PacketSize;
    st.chunk_have = 0;
    st.chunk_want = st.payload_left < kChunkMax ? st.payload_left : kChunkMax;
}

// Takes what the stream holds now, never more: a server that stops inside
// a header or a payload leaves the packet half read until its next bytes
// come, and the loop keeps serving its other inputs. The payload is stored
// in chunks of at most 24,576 bytes whatever pieces the stream delivers.
void on_stream(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) < 0 || pending == 0) {
        // The end of the stream ends a payload: its last piece is stored.
        if (st.payload_left > 0 && st.chunk_have > 0) store_chunk(st);
        event_base_loopbreak(st.base);
        return;
    }
    auto left = static_cast<std::size_t>(pending);
    while (left > 0) {
        std::uint8_t* into = nullptr;
        std::size_t want = 0;
        if (st.payload_left == 0) {
            into = st.head.data() + st.head_have;
            want = st.head.size() - st.head_have;
        } else {
            into = st.chunk.data() + st.chunk_have;
            want = st.chunk_want - st.chunk_have;
        }
        const int n = socket_read(fd, into, want < left ? want : left);
        if (n <= 0) return;
        left -= static_cast<std::size_t>(n);
        if (st.payload_left == 0) {
            st.head_have += static_cast<std::size_t>(n);
            if (st.head_have == st.head.size()) take_header(st);
        } else {
            st.chunk_have += static_cast<std::size_t>(n);
            if (st.chunk_have == st.chunk_want) store_chunk(st);
        }
    }
}

bool decodable(std::uint16_t standard) {
    for (std::uint16_t s : kDecodable) {
        if (s == standard) return true;
    }
    return false;
}

// A reply split by the stream is kept and completed on later events, so a
// server that stops in the middle of one cannot hold the loop.
void on_reply(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    const tools::ReplyReader::Got got = st.reply.read(fd);
    if (got == tools::ReplyReader::Got::Partial) return;
    if (got != tools::ReplyReader::Got::Whole) {
        event_base_loopbreak(st.base);
        return;
    }
    wire::CodecCmd reply;
    unpack_codec_command(st.reply.bytes(), reply);
    if (reply.u16Cmd == wire::RSP_ADO_ENC) {
        if (reply.u8AgreeFlag == 0) std::fputs("no ack\n", stderr);
    } else if (reply.u16Cmd == wire::RSP_ADO_CLOSE) {
        std::printf(" close encoder \n");
        if (st.write_enable && decodable(CodecCmd.u16Type)) {
            std::printf("Executing Decoder (%s)\n", st.dec_system_cmd.data());
        }
        event_base_loopbreak(st.base);
    }
}

void on_tick(evutil_socket_t, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    if (st.args_mode) {
        if (st.tick == 0) {
            run_cmd_buf(st);
            st.started = true;
        } else if (st.tick_end != 0 && st.tick == st.tick_end - 1) {
            st.cmd_buf[0] = 'd';
            run_cmd_buf(st);
            st.started = false;
        }
        ++st.tick;
    }
    if (st.dynamic_bitrate_cnt > kBitrateCheckChunks && st.started) {
        if (st.channel_fmt == wire::STD_SILK) {
            std::snprintf(st.cmd_buf.data(), st.cmd_buf.size(), "c %d %d", st.channel_idx, wire::STD_SILK);
            handle_command(st, st.cmd_buf.data());
        }
        st.dynamic_bitrate_cnt = 0;
    }
}

void on_console(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    std::array<char, kConsoleMax + 1> line{};
    const ssize_t n = ::read(fd, line.data(), kConsoleMax);
    if (n > 0) {
        handle_command(st, line.data());
    } else if (n == 0) {
        // End of input stays readable for ever; stop listening to it.
        event_del(st.console);
    }
}

SocketPtr connect_endpoint(const char* path, const char* what) {
    std::fprintf(stderr, "%s  open enc %s socket\n", "main", what);
    SocketPtr sock(create_socket(path, 0));
    if (sock->fd <= 0 || open_socket(sock.get()) == 0) {
        std::fprintf(stderr, "%s err\n", "main");
        return nullptr;
    }
    if (tools::bound_writes(sock->fd) < 0) std::perror("main");
    return sock;
}

int run(int argc, char** argv) {
    if (argc >= 2 && argc <= 5) {
        std::fputs("ARGS: (stream id) (standard) (run_sec )(int_sample_rate)(wirte file enable )\n", stderr);
        return 0;
    }
    State st;
    std::array<char, kOutNameMax> out_name{};
    Fd out;
    if (argc >= 6) {
        st.args_mode = true;
        std::snprintf(st.cmd_buf.data(), st.cmd_buf.size(), "b %s %s", argv[1], argv[2]);
        st.tick_end = static_cast<std::uint32_t>(std::atoi(argv[3])) * kTicksPerSec;
        st.int_sample_rate = std::atoi(argv[4]);
        st.write_enable = std::atoi(argv[5]) != 0;
        std::snprintf(out_name.data(), out_name.size(), "./test%-d.bin", std::atoi(argv[1]));
        if (st.write_enable) {
            // Not truncated: a longer old file keeps its tail.
            out.reset(::open(out_name.data(), O_RDWR | O_CREAT, 0666));
            if (out.get() < 0) {
                std::fputs("open output fail\n", stderr);
                return 1;
            }
            st.out_fd = out.get();
        }
    }
    std::printf("pid id [%d]\n", static_cast<int>(getpid()));
    if (st.args_mode) {
        compose_decoder_line(st.dec_system_cmd.data(), st.dec_system_cmd.size(),
                             static_cast<std::uint16_t>(std::atoi(argv[2])), out_name.data(), argv[1]);
    }

    SocketPtr dat = connect_endpoint(kDatPath, "stream");
    if (!dat) return 1;
    SocketPtr cmd = connect_endpoint(kCmdPath, "cmd");
    if (!cmd) return 1;
    st.dat_fd = dat->fd;
    st.cmd_fd = cmd->fd;
    st.chunk.resize(kChunkMax);

    BasePtr base(event_base_new());
    if (!base) return 1;
    st.base = base.get();
    EventPtr stream_ev(event_new(st.base, st.dat_fd, EV_READ | EV_PERSIST, on_stream, &st));
    EventPtr reply_ev(event_new(st.base, st.cmd_fd, EV_READ | EV_PERSIST, on_reply, &st));
    EventPtr console_ev(event_new(st.base, STDIN_FILENO, EV_READ | EV_PERSIST, on_console, &st));
    EventPtr tick_ev(event_new(st.base, -1, EV_PERSIST, on_tick, &st));
    if (!stream_ev || !reply_ev || !console_ev || !tick_ev) return 1;
    st.console = console_ev.get();
    const timeval tick{0, 20000};
    if (event_add(stream_ev.get(), nullptr) < 0 || event_add(reply_ev.get(), nullptr) < 0 ||
        event_add(tick_ev.get(), &tick) < 0) {
        return 1;
    }
    // Standard input may be something the loop cannot watch (a regular
    // file): the tool then runs without a console.
    if (!st.args_mode) event_add(console_ev.get(), nullptr);

    event_base_dispatch(st.base);
    return 0;
}

}  // namespace encprobe

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    return encprobe::run(argc, argv);
}
