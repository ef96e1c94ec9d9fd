// Shell commands run by avhub (get_wan_ip, the display client).
#include "shell.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace avhub {

int run_shell_command(const char* cmd) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // avhub ignores SIGPIPE; the programs it starts get the default.
        std::signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace avhub
