// decprobe: opens one audio decoder channel, then streams a test file to it
// frame by frame on an absolute 20 ms schedule, and closes the channel at
// the end of the file, after the run time, on command or on SIGTERM.
#include <event2/event.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "avbox/build_info.hpp"
#include "frame_plan.hpp"
#include "libsocket/debug.h"
#include "libsocket/packet.h"
#include "libsocket/socket.h"
#include "tools/handles.hpp"
#include "tools/peer.hpp"
#include "wire/codes.hpp"
#include "wire/records.hpp"

namespace decprobe {

using tools::EventPtr;
using tools::BasePtr;
using tools::SocketPtr;

constexpr const char* kDatPath = "/tmp/ado_dec_server_socket";
constexpr const char* kCmdPath = "/tmp/ado_dec_cmd_socket";
constexpr const char* kVersion = "13.04.23.000";
constexpr std::size_t kConsoleMax = 256;
constexpr std::size_t kSendBufSize = 1 << 20;
constexpr std::uint32_t kTickUs = 20000;
constexpr std::uint16_t kFirstSeq = 65500;  // the first packet carries 65501

constexpr const char* kUsage =
    "Usage:\nb # # #                                    start audio decode\n"
    "  (stream id) (standard) (test pattern) \nd # #                                      close audio decode\n"
    "  (stream id) (standard)\nq                                          quit\n\n";

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// The one command record; bytes 4..47 are cleared before every command.
wire::CodecCmd CodecCmd{.magic = wire::kMagic};

// Header and frame are sent from one buffer made once; every frame length
// the plans give fits behind the header.
std::array<std::uint8_t, kSendBufSize> SendBuf;
static_assert(kPcmFrameLen + wire::kPacketHeaderSize <= kSendBufSize);
static_assert(kMaxFramesPerPacket * 120 + wire::kPacketHeaderSize <= kSendBufSize);

struct State {
    event_base* base = nullptr;
    event* console = nullptr;
    event* sigterm = nullptr;
    int dat_fd = -1;
    int cmd_fd = -1;
    tools::ReplyReader reply;  // a reply the stream has delivered only in part

    bool args_mode = false;
    std::array<char, kConsoleMax + 1> command_text{};
    std::uint32_t tick = 0;
    std::uint32_t run_ticks = 0;
    std::uint32_t speed_us = 100000;
    const char* input_path = "";

    std::uint16_t standard = 0;
    std::uint32_t pattern = 0;
    FilePtr input;
    std::uint32_t frame_len = 0;
    std::uint32_t interval_us = 0;
    bool sending = false;
    std::uint8_t stream_ch = 0;
    std::uint16_t seq = 0;

    bool first_send = false;
    std::uint32_t next_send = 0;
    std::uint32_t deadline = 0;

    bool quiet_exit = false;  // a standard the plans do not know: no close lines
};

void clear_command() { CodecCmd = wire::CodecCmd{.magic = wire::kMagic}; }

void send_command(State& st) {
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_codec_command(out, CodecCmd);
    socket_writen(st.cmd_fd, out.data(), out.size());
}

void open_decoder(State& st, const char* args) {
    int ch = 0, standard = 0, pattern = 0;
    if (std::sscanf(args, "%d %d %d", &ch, &standard, &pattern) < 3) {
        syslog(LOG_WARNING, "err (short)!!\n");
        return;
    }
    syslog(LOG_INFO, "ch: %d fmt: %d pattern: %d\n", ch, standard, pattern);
    st.standard = static_cast<std::uint16_t>(standard);
    st.pattern = static_cast<std::uint32_t>(pattern);
    clear_command();
    CodecCmd.u16Cmd = wire::REQ_ADO_DEC;
    CodecCmd.u16Type = st.standard;
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(ch);
    std::printf("decprobe: Active Decode Channel %d \n", ch);
    send_command(st);
    st.first_send = true;
}

void close_decoder(State& st, const char* args) {
    int ch = 0, standard = 0;
    if (std::sscanf(args, "%d %d", &ch, &standard) < 2) {
        syslog(LOG_WARNING, "Err (short)!!\n");
        return;
    }
    syslog(LOG_INFO, "Ch: %d fmt: %d\n", ch, standard);
    st.standard = static_cast<std::uint16_t>(standard);
    st.sending = false;
    clear_command();
    CodecCmd.u16Cmd = wire::REQ_ADO_CLOSE;
    CodecCmd.u16Type = st.standard;
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(ch);
    std::printf("decprobe: Close Decode Channel %d \n", ch);
    send_command(st);
}

// The first character selects the command; its numbers start at the third.
void handle_command(State& st, const char* text) {
    const char* args = text[0] != '\0' && text[1] != '\0' ? text + 2 : "";
    switch (text[0]) {
    case 'b':
        open_decoder(st, args);
        break;
    case 'd':
        close_decoder(st, args);
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

// The close that ends a run reuses the numbers of the opening command text.
void close_from_command_text(State& st) {
    st.command_text[0] = 'd';
    handle_command(st, st.command_text.data());
}

void start_stream(State& st) {
    const PlanResult r = plan_for(st.standard, st.pattern, st.speed_us);
    if (r.kind == PlanKind::Unsupported) {
        syslog(LOG_ERR, "Error argu.\n");
        st.quiet_exit = true;
        event_base_loopbreak(st.base);
        return;
    }
    st.input.reset();
    if (r.kind == PlanKind::NoFile) return;
    if (r.plan.log_text) syslog(LOG_INFO, "%s", r.plan.log_text);
    st.frame_len = r.plan.frame_len;
    st.interval_us = r.plan.interval_us;
    st.input.reset(std::fopen(r.plan.fixed_file ? r.plan.fixed_file : st.input_path, "rb"));
    if (st.input) std::printf(r.plan.quiet_open ? " file open \n" : "*** file open ***\n");
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
    if (reply.u16Cmd == wire::RSP_ADO_DEC && reply.u8AgreeFlag != 0) {
        st.stream_ch = reply.u8ChanIdx;
        st.sending = true;
        st.seq = kFirstSeq;
        start_stream(st);
    } else if (reply.u16Cmd == wire::RSP_ADO_CLOSE) {
        std::printf("*** close decoder ***\n");
        event_base_loopbreak(st.base);
    }
}

// Whatever the server writes back on the stream is drained and dropped.
void on_stream(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    if (tools::peer_closed(fd) || socket_read(fd, SendBuf.data(), SendBuf.size()) <= 0) {
        event_base_loopbreak(st.base);
    }
}

void write_checked(int fd, const std::uint8_t* data, std::size_t len) {
    const int ret = socket_writen(fd, data, len);
    if (ret != static_cast<int>(len)) syslog(LOG_WARNING, "ret (%d) != (%d) \n", ret, static_cast<int>(len));
}

void send_step(State& st) {
    const auto now = static_cast<std::uint32_t>(get_time());
    if (st.first_send) {
        // Both start now, so the first packet leaves on this tick whatever
        // the clock reads.
        st.first_send = false;
        st.next_send = now;
        st.deadline = now;
    }
    if (static_cast<std::int32_t>(now - st.deadline) < 0) return;
    if (!st.input) {
        std::printf("*** file open error ***\n");
        close_from_command_text(st);
        st.sending = false;
        return;
    }
    std::uint8_t* payload = SendBuf.data() + wire::kPacketHeaderSize;
    const std::size_t got = std::fread(payload, 1, st.frame_len, st.input.get());
    if (got > 0) {
        ++st.seq;
        wire::PacketHeader hdr;
        hdr.u8StreamType = wire::kStreamAudio;
        hdr.u8StreamCh = st.stream_ch;
        hdr.u32TimeStamp = st.seq;
        hdr.u32PacketSize = static_cast<std::uint32_t>(got);
        hdr.u32Gob = 0;
        pack_packet_header(std::span<std::uint8_t, wire::kPacketHeaderSize>(SendBuf.data(), wire::kPacketHeaderSize),
                           hdr);
        write_checked(st.dat_fd, SendBuf.data(), wire::kPacketHeaderSize);
        write_checked(st.dat_fd, payload, got);
    } else {
        syslog(LOG_DEBUG, "*** Error No data (%d) ***\n", st.stream_ch);
        std::printf("*** end of file ***\n");
        st.input.reset();
        std::printf("*** file close ***\n");
        st.sending = false;
        close_from_command_text(st);
    }
    st.next_send += st.interval_us;
    st.deadline = st.next_send;
}

void on_tick(evutil_socket_t, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    if (st.args_mode) {
        if (st.tick == 0) {
            syslog(LOG_INFO, "handle_console_command %s\n", st.command_text.data());
            handle_command(st, st.command_text.data());
        } else if (st.run_ticks != 0 && st.tick == st.run_ticks - 1) {
            st.command_text[0] = 'd';
            syslog(LOG_INFO, "handle_console_command %s\n", st.command_text.data());
            handle_command(st, st.command_text.data());
        }
        ++st.tick;
    }
    if (st.sending) send_step(st);
}

void on_console(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    std::array<char, kConsoleMax + 1> line{};
    const int n = socket_read(fd, line.data(), kConsoleMax);
    if (n > 0) {
        handle_command(st, line.data());
    } else if (n == 0) {
        // End of input stays readable for ever; stop listening to it.
        event_del(st.console);
    }
}

// Runs in the loop, not in a signal handler. Removing the event gives
// SIGTERM its default action back, so a second one ends the process.
void on_sigterm(evutil_socket_t, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    event_del(st.sigterm);
    std::printf("*** VERSION : %s , %s get killed***\n", kVersion, "terminate");
    close_from_command_text(st);
}

SocketPtr connect_endpoint(const char* path, const char* what) {
    SocketPtr sock(create_socket(path, 0));
    if (sock->fd <= 0 || open_socket(sock.get()) == 0) {
        syslog(LOG_ERR, "***%s %s err***\n", "main", what);
        return nullptr;
    }
    if (tools::bound_writes(sock->fd) < 0) syslog(LOG_ERR, "%s %d %s\n", "main", __LINE__, std::strerror(errno));
    return sock;
}

int run(int argc, char** argv) {
    std::printf("-------------------------------------\n");
    std::printf("function name=%s, build date=%s\n", "main", avbox::kBuildDate);
    std::printf("-------------------------------------\n");

    State st;
    if (argc >= 2 && argc <= 6) {
        syslog(LOG_INFO, "ARGS: (stream id) (standard) (test pattern) (run_sec) (send_packet_speed) (packetlose)\n");
        return 0;
    }
    if (argc > 6) {
        st.args_mode = true;
        std::snprintf(st.command_text.data(), st.command_text.size(), "b %s %s %s", argv[1], argv[2], argv[3]);
        st.run_ticks = static_cast<std::uint32_t>(std::atoi(argv[4])) * (1000000 / kTickUs);
        st.speed_us = static_cast<std::uint32_t>(std::atoi(argv[5]));
        st.input_path = argv[6];
        std::printf("(%s) %d %d\n", argv[1], static_cast<int>(st.speed_us), 0);
    }

    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) std::signal(sig, SIG_IGN);

    SocketPtr dat = connect_endpoint(kDatPath, "DatSock");
    if (!dat) return 1;
    SocketPtr cmd = connect_endpoint(kCmdPath, "CmdSock");
    if (!cmd) return 1;
    st.dat_fd = dat->fd;
    st.cmd_fd = cmd->fd;

    {
        BasePtr base(event_base_new());
        if (!base) return 1;
        st.base = base.get();
        EventPtr stream_ev(event_new(st.base, st.dat_fd, EV_READ | EV_PERSIST, on_stream, &st));
        EventPtr reply_ev(event_new(st.base, st.cmd_fd, EV_READ | EV_PERSIST, on_reply, &st));
        EventPtr console_ev(event_new(st.base, STDIN_FILENO, EV_READ | EV_PERSIST, on_console, &st));
        EventPtr tick_ev(event_new(st.base, -1, EV_PERSIST, on_tick, &st));
        EventPtr term_ev(evsignal_new(st.base, SIGTERM, on_sigterm, &st));
        if (!stream_ev || !reply_ev || !console_ev || !tick_ev || !term_ev) return 1;
        st.console = console_ev.get();
        st.sigterm = term_ev.get();
        const timeval tick{0, static_cast<suseconds_t>(kTickUs)};
        if (event_add(stream_ev.get(), nullptr) < 0 || event_add(reply_ev.get(), nullptr) < 0 ||
            event_add(tick_ev.get(), &tick) < 0 || event_add(term_ev.get(), nullptr) < 0) {
            return 1;
        }
        // Standard input may be something the loop cannot watch (a regular
        // file): the tool then runs without a console.
        if (!st.args_mode) event_add(console_ev.get(), nullptr);

        event_base_dispatch(st.base);
    }
    if (st.quiet_exit) return 0;

    dat.reset();
    std::printf("*** VERSION : %s close data socket ***\n", kVersion);
    cmd.reset();
    std::printf("*** VERSION : %s close cmd socket ***\n", kVersion);
    return 0;
}

}  // namespace decprobe

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return decprobe::run(argc, argv);
}
