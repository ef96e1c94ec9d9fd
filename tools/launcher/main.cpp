// launcher: a daemon that starts detached programs on framed requests from
// its UNIX socket. Detaches itself (or, with --foreground, stays for a
// service manager), writes its pid file, listens and serves requests from
// one event loop until SIGTERM.
#include <event2/event.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "avbox/build_info.hpp"
#include "instance/instance_lock.hpp"
#include "notify/ready.hpp"
#include "server.hpp"
#include "socket.h"
#include "tools/daemon_cli.hpp"
#include "tools/handles.hpp"

namespace launcher {

using tools::BasePtr;
using tools::EventPtr;
using tools::Fd;
using tools::SocketPtr;

namespace {

constexpr const char* kSocketPath = "/tmp/launcher.skt";
constexpr const char* kPidFile = "/var/run/launcher.pid";
constexpr int kBacklog = 10;

constexpr const char* kUsage =
    "Usage: launcher [--foreground]\n"
    "       launcher --help | --version\n"
    "Starts programs on framed requests from /tmp/launcher.skt.\n"
    "  (no option)    detach: the starting process exits 0 at once\n"
    "  --foreground   stay in the foreground; when NOTIFY_SOCKET names a service\n"
    "                 manager's socket, report ready there once the socket listens\n"
    "  --help         this text\n"
    "  --version      the package version\n";

// The socket file this daemon bound, so that it removes that file only and
// never one another program put there since.
struct SocketFile {
    dev_t dev = 0;
    ino_t ino = 0;
    bool bound = false;
};

SocketFile socket_file(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
    return {st.st_dev, st.st_ino, true};
}

void remove_socket_file(const SocketFile& own) {
    const SocketFile now = socket_file(kSocketPath);
    if (own.bound && now.bound && now.dev == own.dev && now.ino == own.ino) unlink(kSocketPath);
}

void log_errno(int line) { syslog(LOG_ERR, "%s %d %s\n", "main", line, std::strerror(errno)); }

void ignore_signal(int sig) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// Parent exits, the child leads a new session without a controlling tty.
void detach() {
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "launcher: fork: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0) std::exit(0);
    if (setsid() < 0) std::exit(-1);
}

void write_pid_file() {
    // The folder is writable by others on some boxes: a link planted there,
    // symbolic or hard, must not make the daemon truncate the file it points
    // to, and a FIFO planted there must not hold it in the open or the
    // write. The file is truncated only once it is known to be its own.
    Fd fd(open(kPidFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (fd.get() < 0) return;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return;
    if (ftruncate(fd.get(), 0) != 0) return;
    std::string text = std::to_string(getpid()) + "\n";
    if (write(fd.get(), text.data(), text.size()) < 0) return;
}

// A listening descriptor that is not actually listening (bind or listen
// failed) polls readable for ever, and every accept on it fails.
bool is_listening(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

// SIGTERM arrives here through the loop. Logs, removes the socket file, then
// ends the daemon with the signal's default action; programs already
// started carry on.
void terminate_cb(evutil_socket_t /*sig*/, short /*what*/, void* arg) {
    syslog(LOG_NOTICE, "proc agent terminate\n");
    remove_socket_file(*static_cast<const SocketFile*>(arg));
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    kill(getpid(), SIGTERM);
}

int run(int argc, char** argv) {
    const tools::DaemonCli cli = tools::parse_daemon_cli(argc, argv, "launcher", kUsage, true);
    if (!cli.run) return cli.status;
    // Before anything a running launcher uses is replaced. The detached
    // child inherits the lock; its starting process only reports refusal.
    if (!instance::hold("launcher")) return 1;
    if (!cli.foreground) detach();

    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) ignore_signal(sig);

    syslog(LOG_NOTICE, "Build at : %s %s %s\n", avbox::kBuildDate, avbox::kBuildTime, __VERSION__);
    std::fprintf(stderr, "\nBuild at : %s %s %s\n", avbox::kBuildDate, avbox::kBuildTime, __VERSION__);

    write_pid_file();
    syslog(LOG_INFO, "[pid: %ld]\n", static_cast<long>(gettid()));

    SocketPtr listener(create_socket(kSocketPath, kBacklog));
    SocketFile own = listener->fd == -1 ? SocketFile{} : socket_file(kSocketPath);
    bool usable = false;
    if (listener->fd == -1) {
        log_errno(__LINE__);
    } else {
        if (fcntl(listener->fd, F_SETFD, fcntl(listener->fd, F_GETFD) | FD_CLOEXEC) < 0) log_errno(__LINE__);
        // accept must never wait, even for a client that left before it.
        if (fcntl(listener->fd, F_SETFL, fcntl(listener->fd, F_GETFL) | O_NONBLOCK) < 0) log_errno(__LINE__);
        usable = is_listening(listener->fd);
        if (!usable) syslog(LOG_ERR, "%s %d %s %s\n", "main", __LINE__, kSocketPath, "not listening");
    }

    BasePtr base(event_base_new());
    if (!base) {
        syslog(LOG_ERR, "%s %d %s\n", "main", __LINE__, "cannot create event base");
        return 1;
    }
    EventPtr term(evsignal_new(base.get(), SIGTERM, terminate_cb, &own));
    if (!term || event_add(term.get(), nullptr) < 0) {
        syslog(LOG_ERR, "%s %d %s\n", "main", __LINE__, "cannot watch SIGTERM");
    }
    server::Listener accept_side;
    if (usable && !server::listen_on(accept_side, base.get(), listener->fd)) {
        syslog(LOG_ERR, "%s %d %s\n", "main", __LINE__, "cannot watch listening socket");
        usable = false;
    }

    // Without a listening socket there is nothing to serve: the loop ends at
    // once instead of waiting on the signal alone.
    if (usable) {
        // Ready means listening: a service manager starts what needs the
        // socket only now.
        if (cli.foreground && !notify::ready()) syslog(LOG_ERR, "%s %d %s\n", "main", __LINE__, "cannot report ready");
        event_base_dispatch(base.get());
    }

    syslog(LOG_INFO, "%s loop break\n", "main");
    server::release(accept_side);
    term.reset();
    base.reset();
    return 0;
}

}  // namespace

}  // namespace launcher

int main(int argc, char** argv) { return launcher::run(argc, argv); }
