// tonecue: resident prompt player. Holds decoder channel 11 open and, on
// commands from /dev/tonecue_in, streams prompt files to it in 120-byte
// blocks every 19.8 ms.
#include <event2/event.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "instance/instance_lock.hpp"
#include "libsocket/packet.h"
#include "libsocket/socket.h"
#include "notify/ready.hpp"
#include "tools/daemon_cli.hpp"
#include "tools/handles.hpp"
#include "tools/peer.hpp"
#include "player.hpp"
#include "wire/codes.hpp"

namespace tonecue {

using tools::EventPtr;
using tools::BasePtr;
using tools::SocketPtr;
using tools::Fd;

constexpr const char* kCmdPath = "/tmp/ado_dec_cmd_socket";
constexpr const char* kDatPath = "/tmp/ado_dec_server_socket";
constexpr const char* kFifoIn = "/dev/tonecue_in";
constexpr const char* kFifoOut = "/dev/tonecue_out";
constexpr const char* kVersion = "ZQV.13.11.18.001";
constexpr std::size_t kFifoMax = 256;
constexpr suseconds_t kTickUs = 19800;

constexpr const char* kUsage =
    "Usage: tonecue\n"
    "       tonecue --help | --version\n"
    "Resident prompt player: holds audio decoder channel 11 and plays prompt files\n"
    "on it on commands written into /dev/tonecue_in:\n"
    "  p LOOP PATH    play PATH in 120-byte blocks every 19.8 ms; LOOP non-zero\n"
    "                 plays it again after about 2 s of silence\n"
    "  k              stop playing\n"
    "Runs until SIGTERM or until the audio decoder server closes its socket.\n";

// The one command record; bytes 4..47 are cleared before every command.
wire::CodecCmd CodecCmd{.magic = wire::kMagic};

struct App {
    Player player;
    event_base* base = nullptr;
    event* sigterm = nullptr;
    int cmd_fd = -1;
    int fifo_in = -1;
    tools::ReplyReader reply;  // a reply the stream has delivered only in part
};

void loopbreak(App& app, const char* func, int line) {
    TONECUE_LOG("%s %d event_base_loopbreak\n", func, line);
    event_base_loopbreak(app.base);
}

enum class Req { Open, Close };

void ado_req_codec(App& app, Req req) {
    Player& p = app.player;
    const bool open = req == Req::Open;
    p.codec_st = open ? kOpenRequested : kCloseRequested;
    CodecCmd = wire::CodecCmd{.magic = wire::kMagic};
    CodecCmd.u16Cmd = open ? wire::REQ_ADO_DEC : wire::REQ_ADO_CLOSE;
    CodecCmd.u16Type = static_cast<std::uint16_t>(p.param.s32Type);
    CodecCmd.u8ChanIdx = static_cast<std::uint8_t>(p.param.s32ChanIdx);
    std::array<std::uint8_t, wire::kCodecCmdSize> out{};
    pack_codec_command(out, CodecCmd);
    const bool failed = socket_writen(app.cmd_fd, out.data(), out.size()) == -1;
    if (open) {
        if (failed) {
            TONECUE_LOG("%s %d avt dec ch %d wr err\n", "ado_req_codec", __LINE__, p.param.s32ChanIdx);
        } else {
            TONECUE_LOG("%s %d avt dec ch %d\n", "ado_req_codec", __LINE__, p.param.s32ChanIdx);
        }
    } else {
        if (failed) {
            TONECUE_LOG("%s %d cls dec ch %d wr err\n", "ado_req_codec", __LINE__, p.param.s32ChanIdx);
        } else {
            TONECUE_LOG("%s %d cls dec ch %d\n", "ado_req_codec", __LINE__, p.param.s32ChanIdx);
        }
    }
}

// A reply split by the stream is kept and completed on later events, so a
// server that stops in the middle of one cannot hold the loop.
void cmd_read_cb(evutil_socket_t fd, short, void* arg) {
    auto& app = *static_cast<App*>(arg);
    Player& p = app.player;
    switch (app.reply.read(fd)) {
    case tools::ReplyReader::Got::Closed:
        TONECUE_LOG("%s %d cmd server closed\n", "cmd_read_cb", __LINE__);
        loopbreak(app, "cmd_read_cb", __LINE__);
        return;
    case tools::ReplyReader::Got::Failed:
        TONECUE_LOG("%s %d cmd read fail\n", "cmd_read_cb", __LINE__);
        loopbreak(app, "cmd_read_cb", __LINE__);
        return;
    case tools::ReplyReader::Got::Partial:
        return;
    case tools::ReplyReader::Got::Whole:
        break;
    }
    wire::CodecCmd reply;
    unpack_codec_command(app.reply.bytes(), reply);
    if (reply.u16Cmd == wire::RSP_ADO_DEC) {
        // A refused open is only reported: the blocks flow all the same.
        if (reply.u8AgreeFlag != 0) {
            TONECUE_LOG("req ui ch ready (%d)\n", p.param.s32ChanIdx);
        } else {
            TONECUE_LOG("req ui ch fail  (%d)\n", p.param.s32ChanIdx);
        }
        p.codec_st = kOpen;
    } else if (reply.u16Cmd == wire::RSP_ADO_CLOSE) {
        TONECUE_LOG("close ui ch done (%d)\n", p.param.s32ChanIdx);
        p.codec_st = kClosed;
    }
}

// The decoder writes nothing we need: drain and drop it.
void dat_read_cb(evutil_socket_t fd, short, void* arg) {
    auto& app = *static_cast<App*>(arg);
    if (tools::peer_closed(fd)) {
        TONECUE_LOG("%s %d stream server closed\n", "dat_read_cb", __LINE__);
        loopbreak(app, "dat_read_cb", __LINE__);
        return;
    }
    std::array<std::uint8_t, 256> sink;
    if (socket_read(fd, sink.data(), sink.size()) <= 0) {
        TONECUE_LOG("%s %d stream read fail\n", "dat_read_cb", __LINE__);
        loopbreak(app, "dat_read_cb", __LINE__);
    }
}

// Drops the rest of an over-long command so that its tail is not taken for
// a command of its own.
void drain_fifo(int fd) {
    std::array<char, kFifoMax> sink;
    int pending = 0;
    while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) {
        if (::read(fd, sink.data(), sink.size()) <= 0) break;
    }
}

void fifo_read_cb(evutil_socket_t fd, short, void* arg) {
    auto& app = *static_cast<App*>(arg);
    std::array<char, kFifoMax + 1> text{};
    const ssize_t n = ::read(fd, text.data(), kFifoMax);
    if (n <= 0 || static_cast<std::size_t>(n) == kFifoMax) {
        const int err = errno;
        if (n > 0) drain_fifo(fd);
        syslog(LOG_ERR, "Apo: %s %d %s\n", "fifo_read_cb", __LINE__, std::strerror(err));
        return;
    }
    fifo_cmd(app.player, text.data(), static_cast<std::size_t>(n));
}

void timer_cb(evutil_socket_t, short, void* arg) {
    auto& app = *static_cast<App*>(arg);
    if (app.player.codec_st == kOpen) packet_arrive_ado(app.player);
}

// Runs in the loop, not in a signal handler. Removing the event gives
// SIGTERM its default action back, so a second one ends the process.
void terminate(evutil_socket_t, short, void* arg) {
    auto& app = *static_cast<App*>(arg);
    event_del(app.sigterm);
    ado_req_codec(app, Req::Close);
    loopbreak(app, "terminate", __LINE__);
}

// Connects, retrying once a second until the server listens; an endpoint
// that could not even be made is reported and left unusable.
SocketPtr connect_retry(const char* path, const char* what) {
    SocketPtr sock(create_socket(path, 0));
    if (sock->fd <= 0) {
        TONECUE_LOG("\33[0;32;31mopen %s fail\33[m\n", what);
        return sock;
    }
    while (open_socket(sock.get()) == 0) sleep(1);
    TONECUE_LOG("\33[0;32;31mopen %s success\33[m\n", what);
    if (tools::bound_writes(sock->fd) < 0) TONECUE_LOG("%s %d %s\n", "main", __LINE__, std::strerror(errno));
    return sock;
}

// The FIFOs are made by this player and removed when it ends, so nothing
// is left for a writer to block on while no player reads. A file that is
// not a FIFO where one belongs (left by a writer while no player ran) is
// replaced: it could never carry a command.
struct FifoFile {
    const char* path;
    ~FifoFile() { unlink(path); }
};

int open_fifo(const char* path) {
    struct stat st {};
    if (lstat(path, &st) == 0 && !S_ISFIFO(st.st_mode) && !S_ISDIR(st.st_mode)) unlink(path);
    if (mkfifo(path, 0777) == 0) chmod(path, 0777);
    // Non-blocking: should another reader of the FIFO take a command between
    // the readable event and the read, the read fails instead of waiting.
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) TONECUE_LOG("%s %d %s\n", "main", __LINE__, std::strerror(errno));
    return fd;
}

int run(int argc, char** argv) {
    const tools::DaemonCli cli = tools::parse_daemon_cli(argc, argv, "tonecue", kUsage, false);
    if (!cli.run) return cli.status;
    // Before the FIFOs of a running player are touched.
    if (!instance::hold("tonecue")) return 1;

    TONECUE_LOG("-------------------------------------\n");
    TONECUE_LOG("ver=%s pid=%d\n", kVersion, static_cast<int>(getpid()));
    TONECUE_LOG("-------------------------------------\n");

    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) std::signal(sig, SIG_IGN);

    App app;
    SocketPtr cmd = connect_retry(kCmdPath, "CmdSock");
    SocketPtr dat = connect_retry(kDatPath, "DatSock");
    app.cmd_fd = cmd->fd;
    app.player.dat_fd = dat->fd;

    const FifoFile in_file{kFifoIn};
    Fd fifo_in(open_fifo(kFifoIn));
    if (fifo_in.get() < 0) return 1;
    const FifoFile out_file{kFifoOut};
    Fd fifo_out(open_fifo(kFifoOut));
    if (fifo_out.get() < 0) return 1;
    app.fifo_in = fifo_in.get();

    TonecueParam_t& param = app.player.param;
    param = TonecueParam_t{};
    param.s32ChanIdx = kPromptChannel;
    param.s32Type = kPromptType;
    param.s32BlkSz = AdoBlkSz[static_cast<std::size_t>(param.s32Type)];

    {
        BasePtr base(event_base_new());
        if (!base) return 1;
        app.base = base.get();
        EventPtr dat_ev(event_new(app.base, app.player.dat_fd, EV_READ | EV_PERSIST, dat_read_cb, &app));
        EventPtr cmd_ev(event_new(app.base, app.cmd_fd, EV_READ | EV_PERSIST, cmd_read_cb, &app));
        EventPtr fifo_ev(event_new(app.base, app.fifo_in, EV_READ | EV_PERSIST, fifo_read_cb, &app));
        EventPtr timer_ev(event_new(app.base, -1, EV_PERSIST, timer_cb, &app));
        EventPtr term_ev(evsignal_new(app.base, SIGTERM, terminate, &app));
        if (!dat_ev || !cmd_ev || !fifo_ev || !timer_ev || !term_ev) return 1;
        app.sigterm = term_ev.get();
        const timeval tick{0, kTickUs};
        // A connection that could not be made has no descriptor to watch.
        if (app.player.dat_fd > 0) event_add(dat_ev.get(), nullptr);
        if (app.cmd_fd > 0) event_add(cmd_ev.get(), nullptr);
        if (event_add(fifo_ev.get(), nullptr) < 0 || event_add(timer_ev.get(), &tick) < 0 ||
            event_add(term_ev.get(), nullptr) < 0) {
            return 1;
        }

        ado_req_codec(app, Req::Close);
        ado_req_codec(app, Req::Open);

        // Its FIFOs take commands from here on: a service manager counts the
        // player started only now.
        notify::ready();
        event_base_dispatch(app.base);
    }
    close_ado_file(app.player);
    cmd.reset();
    dat.reset();
    TONECUE_LOG("close (pid=%d)\n", static_cast<int>(getpid()));
    return 0;
}

}  // namespace tonecue

int main(int argc, char** argv) { return tonecue::run(argc, argv); }
