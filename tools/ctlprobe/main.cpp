// ctlprobe: writes one register of the audio control server and waits for
// the server's answer, from one event loop.
#include <event2/event.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "libsocket/packet.h"
#include "libsocket/socket.h"
#include "tools/handles.hpp"
#include "tools/peer.hpp"
#include "wire/codes.hpp"
#include "wire/records.hpp"

namespace ctlprobe {

using tools::EventPtr;
using tools::BasePtr;
using tools::SocketPtr;

constexpr const char* kCtrlCmdPath = "/tmp/ado_ctrl_cmd_socket";
constexpr std::size_t kConsoleMax = 256;

// The usage text is the audio decode client's: bench scripts compare it.
constexpr const char* kUsage =
    "Usage:\nb # # #                                    start audio decode\n"
    "  (stream id) (standard) (test pattern) \nd # #                                      close audio decode\n"
    "  (stream id) (standard)\nq                                          quit\n\n";

// The one command record; bytes 4..47 are cleared before every command.
wire::CodecCmd CodecCmd{.magic = wire::kMagic};

struct State {
    event_base* base = nullptr;
    int cmd_fd = -1;
    tools::ReplyReader reply;  // a reply the stream has delivered only in part
    std::int32_t address = 0;
    std::int32_t value = 0;
    std::array<char, kConsoleMax> command_text{};
    bool fired = false;
    event* timer = nullptr;
    event* console = nullptr;
};

void clear_command() { CodecCmd = wire::CodecCmd{.magic = wire::kMagic}; }

// Numbers as 32-bit two's complement: "-1" and "4294967295" are the same
// register value.
std::int32_t parse_int32(const char* text) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(text, nullptr, 10)));
}

void send_write(State& st) {
    std::printf("set command \n");
    clear_command();
    CodecCmd.u16Cmd = wire::REQ_ADO_CTRL_WRITE;
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(st.address);
    CodecCmd.u32VdoEncComplexity = static_cast<std::uint32_t>(st.value);
    std::printf("CtrlClientCmd: address:%d value:%d \n", st.address, st.value);
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_codec_command(out, CodecCmd);
    socket_writen(st.cmd_fd, out.data(), out.size());
}

// Only the first character selects the command; a typed w reuses the
// address and value given on the command line.
void handle_command(State& st, const char* text) {
    switch (text[0]) {
    case 'w':
        send_write(st);
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
    if (reply.u16Cmd == wire::RSP_ADO_CLOSE || reply.u16Cmd == wire::RSP_ADO_CTRL_WRITE) {
        std::printf(" close decoder \n");
        event_base_loopbreak(st.base);
    }
}

void on_timer(evutil_socket_t, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    if (st.fired) return;
    st.fired = true;
    // Later ticks would do nothing: stop waking up for them.
    event_del(st.timer);
    handle_command(st, st.command_text.data());
}

void on_console(evutil_socket_t fd, short, void* arg) {
    auto& st = *static_cast<State*>(arg);
    std::array<char, kConsoleMax + 1> line{};
    int n = socket_read(fd, line.data(), kConsoleMax);
    if (n > 0) {
        handle_command(st, line.data());
    } else if (n == 0) {
        // End of input stays readable for ever; stop listening to it.
        event_del(st.console);
    }
}

int run(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("ARGS: (command) (address) (value)\n", stderr);
        return 0;
    }
    State st;
    std::snprintf(st.command_text.data(), st.command_text.size(), "%s %s %s", argv[1], argv[2], argv[3]);
    st.address = parse_int32(argv[2]);
    st.value = parse_int32(argv[3]);

    SocketPtr sock(create_socket(kCtrlCmdPath, 0));
    if (sock->fd <= 0 || open_socket(sock.get()) == 0) {
        std::fprintf(stderr, "%s err\n", "main");
        return 1;
    }
    st.cmd_fd = sock->fd;
    if (tools::bound_writes(st.cmd_fd) < 0) std::perror("main");

    BasePtr base(event_base_new());
    if (!base) return 1;
    st.base = base.get();
    EventPtr reply_ev(event_new(st.base, st.cmd_fd, EV_READ | EV_PERSIST, on_reply, &st));
    EventPtr console_ev(event_new(st.base, STDIN_FILENO, EV_READ | EV_PERSIST, on_console, &st));
    EventPtr timer_ev(event_new(st.base, -1, EV_PERSIST, on_timer, &st));
    if (!reply_ev || !console_ev || !timer_ev) return 1;
    st.console = console_ev.get();
    st.timer = timer_ev.get();
    const timeval one_ms{0, 1000};
    if (event_add(reply_ev.get(), nullptr) < 0 || event_add(timer_ev.get(), &one_ms) < 0) return 1;
    // Standard input may be something epoll cannot watch (a regular file):
    // the tool then runs without a console.
    event_add(console_ev.get(), nullptr);

    event_base_dispatch(st.base);
    return 0;
}

}  // namespace ctlprobe

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    return ctlprobe::run(argc, argv);
}
