// launcher: a daemon that starts detached programs on framed requests from
// its UNIX socket. Detaches itself, writes its pid file, listens and serves
// requests from one event loop until SIGTERM.
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

#include "server.hpp"
#include "socket.h"
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

// SIGTERM arrives here through the loop. Logs, then ends the daemon with the
// signal's default action; programs already started carry on.
void terminate_cb(evutil_socket_t /*sig*/, short /*what*/, void* /*arg*/) {
    syslog(LOG_NOTICE, "proc agent terminate\n");
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    kill(getpid(), SIGTERM);
}

int run() {
    detach();

    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) ignore_signal(sig);

    syslog(LOG_NOTICE, "Build at : %s %s %s\n", __DATE__, __TIME__, __VERSION__);
    std::fprintf(stderr, "\nBuild at : %s %s %s\n", __DATE__, __TIME__, __VERSION__);

    write_pid_file();
    syslog(LOG_INFO, "[pid: %ld]\n", static_cast<long>(gettid()));

    SocketPtr listener(create_socket(kSocketPath, kBacklog));
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
    EventPtr term(evsignal_new(base.get(), SIGTERM, terminate_cb, nullptr));
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
    if (usable) event_base_dispatch(base.get());

    syslog(LOG_INFO, "%s loop break\n", "main");
    server::release(accept_side);
    term.reset();
    base.reset();
    return 0;
}

}  // namespace

}  // namespace launcher

int main() { return launcher::run(); }
