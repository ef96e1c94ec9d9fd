// nsrun: runs one test program inside private mount, network and pid
// namespaces, so that the fixed paths (/tmp/..., /dev/avhub, /run/...) and
// TCP ports the programs use are private to that test and never touch the
// host. Exits 77 (CTest's skip code) with the reason when the namespaces
// cannot be made.
//
//   nsrun [--keep DIR]... -- PROGRAM [ARG]...
//
// Inside: tmpfs over /tmp, /run (with the lock folder /run/lock), /mnt and
// /dev (with null, zero, full, random, urandom and tty bound back in), a
// fresh /proc, loopback up, and eth0 (one end of a veth pair) carrying
// 192.0.2.1/24. Each --keep DIR that the tmpfs
// mounts would hide (a build tree under /tmp, say) is bound back in place.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kSkip = 77;

[[noreturn]] void skip(const std::string& why) {
    std::fprintf(stderr, "nsrun: SKIPPED: %s\n", why.c_str());
    std::exit(kSkip);
}

std::string errtext(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        skip(errtext(path));
    }
    close(fd);
}

void mkdir_p(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) skip(errtext(part.c_str()));
        }
    }
}

// Binds whatever the O_PATH descriptor names onto target.
void bind_fd(int fd, const std::string& target) {
    std::string src = "/proc/self/fd/" + std::to_string(fd);
    if (mount(src.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        skip(errtext(("bind " + target).c_str()));
    }
}

void mount_tmpfs(const char* where, const char* mode) {
    std::string opts = std::string("mode=") + mode;
    if (mount("tmpfs", where, "tmpfs", MS_NOSUID, opts.c_str()) != 0) skip(errtext(where));
}

int run(const char* prog, std::vector<const char*> argv) {
    argv.insert(argv.begin(), prog);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(prog, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void bring_up_loopback() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) skip(errtext("socket"));
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) skip(errtext("SIOCGIFFLAGS lo"));
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) skip(errtext("SIOCSIFFLAGS lo"));
    close(s);
}

// eth0 is one end of a veth pair whose other end stays in this namespace too,
// so nothing sent to it can leave. A kernel without veth gets a dummy eth0.
void make_eth0() {
    if (run("ip", {"link", "add", "eth0", "type", "veth", "peer", "name", "eth0peer"}) == 0) {
        run("ip", {"link", "set", "eth0peer", "up"});
    } else if (run("ip", {"link", "add", "eth0", "type", "dummy"}) != 0) {
        skip("cannot create eth0 (ip link add failed; is iproute2 installed?)");
    }
    if (run("ip", {"addr", "add", "192.0.2.1/24", "dev", "eth0"}) != 0 ||
        run("ip", {"link", "set", "eth0", "up"}) != 0) {
        skip("cannot configure eth0");
    }
}

struct Kept {
    std::string path;
    int fd;
    struct stat st;
};

void set_up_sandbox(const std::vector<std::string>& keep) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) skip(errtext("make / private"));

    // Hold on to what the tmpfs mounts will cover before covering it.
    std::vector<Kept> kept;
    for (const auto& dir : keep) {
        int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) skip(errtext(dir.c_str()));
        Kept k{dir, fd, {}};
        fstat(fd, &k.st);
        kept.push_back(k);
    }
    const char* devs[] = {"null", "zero", "full", "random", "urandom", "tty"};
    std::vector<std::pair<std::string, int>> dev_fds;
    for (const char* d : devs) {
        std::string p = std::string("/dev/") + d;
        int fd = open(p.c_str(), O_PATH | O_CLOEXEC);
        if (fd >= 0) dev_fds.emplace_back(p, fd);
    }

    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        skip(errtext("mount /proc"));
    }
    mount_tmpfs("/tmp", "1777");
    mount_tmpfs("/run", "0755");
    mount_tmpfs("/mnt", "0755");
    mount_tmpfs("/dev", "0755");

    for (auto& [path, fd] : dev_fds) {
        int f = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (f >= 0) close(f);
        bind_fd(fd, path);
        close(fd);
    }
    mkdir("/dev/shm", 01777);
    chmod("/dev/shm", 01777);
    // Conveniences of a usual /dev; a program that needs one notices itself.
    for (const auto& [target, link] : {std::pair{"/proc/self/fd", "/dev/fd"}, std::pair{"/proc/self/fd/0", "/dev/stdin"},
                                       std::pair{"/proc/self/fd/1", "/dev/stdout"},
                                       std::pair{"/proc/self/fd/2", "/dev/stderr"}}) {
        if (symlink(target, link) != 0) std::fprintf(stderr, "nsrun: %s\n", errtext(link).c_str());
    }
    // Debian's lock folder, where the daemons take their one-instance locks.
    mkdir("/run/lock", 01777);
    chmod("/run/lock", 01777);

    for (auto& k : kept) {
        struct stat now {};
        bool hidden = stat(k.path.c_str(), &now) != 0 || now.st_dev != k.st.st_dev || now.st_ino != k.st.st_ino;
        if (hidden) {
            mkdir_p(k.path);
            bind_fd(k.fd, k.path);
        }
        close(k.fd);
    }

    bring_up_loopback();
    make_eth0();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> keep;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc) {
            keep.emplace_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: nsrun [--keep DIR]... -- PROGRAM [ARG]...\n");
        return 2;
    }
    char** cmd = argv + i;

    // Already inside a sandbox (a test that runs a helper through nsrun).
    if (getenv("HARNESS_SANDBOX") != nullptr) {
        execv(cmd[0], cmd);
        std::perror(cmd[0]);
        return 127;
    }

    const uid_t uid = getuid();
    const gid_t gid = getgid();
    const int flags = CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID;
    if (unshare(flags) != 0) {
        int first = errno;
        if (uid == 0 || unshare(flags | CLONE_NEWUSER) != 0) {
            errno = first;
            skip(errtext("cannot create namespaces (unshare)"));
        }
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }

    std::fflush(nullptr);
    pid_t init = fork();
    if (init < 0) skip(errtext("fork"));
    if (init == 0) {
        // pid 1 of the new namespace: set up, start the test, reap orphans
        // (daemons the tests start are re-parented here) until it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        set_up_sandbox(keep);
        setenv("HARNESS_SANDBOX", "1", 1);
        pid_t test = fork();
        if (test < 0) skip(errtext("fork"));
        if (test == 0) {
            signal(SIGPIPE, SIG_DFL);
            execv(cmd[0], cmd);
            std::perror(cmd[0]);
            _exit(127);
        }
        for (;;) {
            int status = 0;
            pid_t who = waitpid(-1, &status, 0);
            if (who < 0 && errno == EINTR) continue;
            if (who < 0) _exit(1);
            if (who == test) {
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
        }
    }
    int status = 0;
    while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::fprintf(stderr, "nsrun: sandbox ended by signal %d\n", WTERMSIG(status));
    return 128 + WTERMSIG(status);
}
