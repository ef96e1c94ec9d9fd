// Double-fork launcher: the daemon waits only for the short-lived middle
// child; the grandchild execs the program as an orphan adopted by init.
#include "launch.hpp"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "command.hpp"

namespace launcher {

namespace {

// The daemon catches SIGTERM through its event loop; a program that gets the
// signal before exec must die of it, not poke the daemon's loop.
void restore_default_sigterm() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
}

[[noreturn]] void exec_program(command::Tokens& tokens) {
    restore_default_sigterm();
    execv(tokens[0], &tokens[1]);
    syslog(LOG_ERR, "%s %d error\n", "launch", __LINE__);
    _exit(0);
}

int start_detached(command::Tokens& tokens) {
    pid_t middle = fork();
    if (middle < 0) {
        syslog(LOG_ERR, "%s %d error\n", "launch", __LINE__);
        return -1;
    }
    if (middle == 0) {
        restore_default_sigterm();
        pid_t grandchild = fork();
        if (grandchild == 0) exec_program(tokens);
        if (grandchild < 0) syslog(LOG_ERR, "%s %d error\n", "launch", __LINE__);
        // _exit: the middle child shares the daemon's stdio buffers and must
        // not flush or run exit handlers on their behalf.
        _exit(0);
    }

    // The middle child exits at once, so this blocks only for a moment and
    // leaves no zombie behind.
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace

int launch_with(char* line, Starter start) {
    command::Tokens tokens{};
    // A request must name the executable and the program's argv[0].
    if (command::split_command(line, tokens) < 2) {
        syslog(LOG_ERR, "%s %d error\n", "launch", __LINE__);
        return -1;
    }
    return start(tokens);
}

int launch(char* line) { return launch_with(line, start_detached); }

}  // namespace launcher
