// The launcher daemon end to end: it detaches, writes its pid file, serves
// framed requests on /tmp/launcher.skt by starting detached programs, logs
// to syslog and ends on SIGTERM.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/proc.hpp"
#include "harness/syslog.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSocketPath = "/tmp/launcher.skt";
constexpr const char* kPidFile = "/var/run/launcher.pid";

// Records the argv of the shell that runs it (argv[0] included), one per
// line, into the file named by its first argument.
constexpr const char* kRecorder =
    "#!/bin/sh\n"
    "out=$1\n"
    "tr '\\000' '\\n' < /proc/$$/cmdline > \"$out.part\" && mv \"$out.part\" \"$out\"\n";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::string frame(const std::string& command) {
    std::string out{'\x70', '\x50', static_cast<char>(command.size() & 0xff),
                    static_cast<char>(command.size() >> 8)};
    return out + command;
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Fd try_connect() {
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kSocketPath, sizeof addr.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fd();
    return fd;
}

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, session.
struct Stat {
    char state = '?';
    int ppid = 0, pgrp = 0, session = 0;
};

std::optional<Stat> proc_stat(pid_t pid) {
    auto text = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    auto close = text->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream in(text->substr(close + 2));
    Stat s;
    in >> s.state >> s.ppid >> s.pgrp >> s.session;
    return s;
}

bool alive(pid_t pid) {
    auto s = proc_stat(pid);
    return s && s->state != 'Z';
}

// Pid of the live process whose argv is exactly argv (NUL-separated).
std::optional<pid_t> find_process(const std::vector<std::string>& argv) {
    std::string want;
    for (const auto& a : argv) want += a + '\0';
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return std::nullopt;
    std::optional<pid_t> found;
    while (dirent* e = readdir(dir)) {
        pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        auto cmdline = harness::read_file("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline && *cmdline == want && alive(pid)) {
            found = pid;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::vector<std::string> socket_fds(pid_t pid) {
    std::vector<std::string> sockets;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return sockets;
    while (dirent* e = readdir(d)) {
        char target[256] = {};
        std::string link = dir + "/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0) {
            sockets.push_back(std::string(e->d_name) + " -> " + target);
        }
    }
    closedir(d);
    return sockets;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class LauncherDaemon : public ::testing::Test {
protected:
    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        // Binds /dev/log, so only inside the sandbox.
        log_.emplace();
        ASSERT_TRUE(log_->ok());
        unlink(kSocketPath);
        unlink(kPidFile);
    }

    void TearDown() override {
        for (pid_t p : started_) kill(p, SIGKILL);
        if (daemon_ > 0 && alive(daemon_)) {
            kill(daemon_, SIGKILL);
            harness::wait_until([&] { return !alive(daemon_); }, 5s);
        }
        rmdir(kSocketPath);
        unlink(kSocketPath);
        unlink(kPidFile);
    }

    // Starts the daemon and waits until it accepts connections.
    void start_daemon() {
        starter_ = harness::Proc::start("launcher");
        ASSERT_EQ(starter_->wait_exit(5s), 0) << "the starting process exits 0 once detached";
        std::optional<std::string> pid_text;
        ASSERT_TRUE(harness::wait_until(
            [&] {
                pid_text = harness::read_file(kPidFile);
                return pid_text && !pid_text->empty() && pid_text->back() == '\n';
            },
            5s))
            << "no pid file";
        daemon_ = std::stoi(*pid_text);
        ASSERT_GT(daemon_, 1);
        ASSERT_TRUE(harness::wait_until([] { return try_connect().get() >= 0; }, 5s)) << "daemon not listening";
    }

    Fd connect_ok() {
        Fd fd = try_connect();
        EXPECT_GE(fd.get(), 0) << std::strerror(errno);
        return fd;
    }

    // Waits for a launched process with exactly this argv and remembers it
    // for teardown.
    std::optional<pid_t> wait_process(const std::vector<std::string>& argv) {
        std::optional<pid_t> pid;
        harness::wait_until([&] { return (pid = find_process(argv)).has_value(); }, 5s);
        if (pid) started_.push_back(*pid);
        return pid;
    }

    std::string recorder() {
        std::string path = tmp_ / "rec.sh";
        if (!harness::file_exists(path)) {
            harness::write_file(path, kRecorder);
            chmod(path.c_str(), 0755);
        }
        return path;
    }

    // argv the recorder wrote to out, or empty at the deadline.
    std::vector<std::string> recorded(const std::string& out) {
        std::optional<std::string> text;
        harness::wait_until([&] { return (text = harness::read_file(out)).has_value(); }, 5s);
        return text ? lines_of(*text) : std::vector<std::string>{};
    }

    std::optional<harness::SyslogCapture> log_;
    std::unique_ptr<harness::Proc> starter_;
    pid_t daemon_ = -1;
    std::vector<pid_t> started_;
    harness::TempDir tmp_;
};

TEST_F(LauncherDaemon, StartsDetachedWithPidFileAndBuildLine) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_EQ(harness::read_file(kPidFile), std::to_string(daemon_) + "\n");

    auto st = proc_stat(daemon_);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->session, daemon_) << "the daemon leads its own session";
    EXPECT_NE(st->ppid, starter_->pid());

    EXPECT_TRUE(starter_->wait_stderr("Build at : ", 2s));
    auto build = log_->wait_for("Build at : ", 2s);
    ASSERT_TRUE(build);
    EXPECT_EQ(build->severity(), LOG_NOTICE);
    auto pid_line = log_->wait_for("[pid: " + std::to_string(daemon_) + "]", 2s);
    ASSERT_TRUE(pid_line);
    EXPECT_EQ(pid_line->severity(), LOG_INFO);

    struct stat sb {};
    ASSERT_EQ(stat(kSocketPath, &sb), 0);
    EXPECT_TRUE(S_ISSOCK(sb.st_mode));
    EXPECT_EQ(sb.st_mode & 0777, 0777u);
}

TEST_F(LauncherDaemon, LaunchesDetachedProgramsWithoutItsSockets) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    Fd conn = connect_ok();
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sleep sleep 1001")));
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sleep;sleep;1002")));

    for (const char* secs : {"1001", "1002"}) {
        auto pid = wait_process({"sleep", secs});
        ASSERT_TRUE(pid) << "sleep " << secs << " not started";
        // The middle child may still be exiting when the program has
        // already exec'd; once it is gone the program belongs to init.
        EXPECT_TRUE(harness::wait_until(
            [&] {
                auto st = proc_stat(*pid);
                return st && st->ppid == 1;
            },
            5s))
            << "not adopted by init";
        EXPECT_EQ(socket_fds(*pid), std::vector<std::string>{}) << "inherited the daemon's sockets";
        // SIGPIPE(13), SIGTSTP(20), SIGTTIN(21), SIGTTOU(22) stay ignored across exec.
        auto status = harness::read_file("/proc/" + std::to_string(*pid) + "/status");
        ASSERT_TRUE(status);
        auto at = status->find("SigIgn:\t");
        ASSERT_NE(at, std::string::npos);
        unsigned long long ignored = std::stoull(status->substr(at + 8, 16), nullptr, 16);
        for (int sig : {SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) EXPECT_TRUE(ignored >> (sig - 1) & 1) << sig;
    }
    EXPECT_TRUE(log_->wait_for("skt accept ", 2s));
}

TEST_F(LauncherDaemon, BuildsArgvFromTokens) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string rec = recorder();
    std::string many = "/bin/sh sh " + rec + " " + (tmp_ / "many");
    std::vector<std::string> many_want = {"sh", rec, tmp_ / "many"};
    // Token i is "t<i>": tokens 33 and later are dropped.
    for (int i = 5; i <= 40; ++i) {
        const std::string token = 't' + std::to_string(i);
        many += ' ';
        many += token;
        if (i <= 32) many_want.push_back(token);
    }
    struct Case {
        std::string command;
        std::string out;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"/bin/sh;myname;" + rec + ";" + (tmp_ / "a") + ";x;y", tmp_ / "a", {"myname", rec, tmp_ / "a", "x", "y"}},
        {";; /bin/sh  ;sh ; " + rec + " " + (tmp_ / "b") + " ;;", tmp_ / "b", {"sh", rec, tmp_ / "b"}},
        {many, tmp_ / "many", many_want},
    };
    Fd conn = connect_ok();
    for (const auto& c : cases) {
        ASSERT_LE(c.command.size(), 511u);
        ASSERT_TRUE(send_all(conn.get(), frame(c.command)));
        EXPECT_EQ(recorded(c.out), c.want) << c.command;
    }
}

TEST_F(LauncherDaemon, RefusedRequestsAreLoggedAndTheConnectionServesOn) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string rec = recorder();
    Fd conn = connect_ok();

    ASSERT_TRUE(send_all(conn.get(), frame("/bin/ls")));
    auto refused = log_->wait_for("launch ", 5s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->severity(), LOG_ERR);
    EXPECT_NE(refused->text.find(" error"), std::string::npos) << refused->text;

    ASSERT_TRUE(send_all(conn.get(), frame("/no/such/program prog")));
    auto exec_failed = log_->wait_for("launch ", 5s);
    ASSERT_TRUE(exec_failed);
    EXPECT_EQ(exec_failed->severity(), LOG_ERR);

    // Four bytes that are no header, then a valid request.
    ASSERT_TRUE(send_all(conn.get(), std::string("\x50\x70\x00\x00", 4)));
    auto magic = log_->wait_for("MAGIC_HDR error", 5s);
    ASSERT_TRUE(magic);
    EXPECT_EQ(magic->severity(), LOG_ERR);
    EXPECT_EQ(magic->text.rfind("read_cb ", 0), 0u) << magic->text;

    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sh sh " + rec + " " + (tmp_ / "after"))));
    EXPECT_EQ(recorded(tmp_ / "after"), (std::vector<std::string>{"sh", rec, tmp_ / "after"}));
}

TEST_F(LauncherDaemon, SeveralRequestsInOneSendAreAllLaunched) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string rec = recorder();
    std::string burst;
    for (const char* name : {"one", "two", "three"}) burst += frame("/bin/sh sh " + rec + " " + (tmp_ / name));
    Fd conn = connect_ok();
    ASSERT_TRUE(send_all(conn.get(), burst));
    for (const char* name : {"one", "two", "three"}) {
        EXPECT_EQ(recorded(tmp_ / name), (std::vector<std::string>{"sh", rec, tmp_ / name})) << name;
    }
}

TEST_F(LauncherDaemon, OversizeRequestIsDroppedWholeAndStreamStaysInFrame) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string rec = recorder();
    Fd conn = connect_ok();
    // 512 bytes is one over the limit; 65,535 is the largest length there is.
    // Their bodies look like runnable commands and must not be run.
    for (std::size_t len : {512u, 65535u}) {
        std::string body = "/bin/sh sh " + rec + " " + (tmp_ / ("big" + std::to_string(len))) + " ";
        body.resize(len, 'x');
        ASSERT_TRUE(send_all(conn.get(), frame(body)));
    }
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sh sh " + rec + " " + (tmp_ / "valid"))));
    EXPECT_EQ(recorded(tmp_ / "valid"), (std::vector<std::string>{"sh", rec, tmp_ / "valid"}));
    for (const char* len : {"512", "65535"}) {
        auto dropped = log_->wait_for(std::string("request length ") + len + " ", 2s);
        ASSERT_TRUE(dropped) << "no line for the " << len << "-byte request";
        EXPECT_EQ(dropped->severity(), LOG_ERR);
        EXPECT_FALSE(harness::file_exists(tmp_ / (std::string("big") + len)));
    }
    EXPECT_EQ(log_->count("MAGIC_HDR error"), 0u);
}

TEST_F(LauncherDaemon, PeerCloseIsLoggedAndCutRequestsAreNotRun) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string rec = recorder();
    {
        Fd conn = connect_ok();
        auto accepted = log_->wait_for("skt accept ", 5s);
        ASSERT_TRUE(accepted);
        std::string fd_text = accepted->text.substr(std::strlen("skt accept "));
        fd_text = fd_text.substr(0, fd_text.find_first_not_of("0123456789"));
        conn.reset();
        auto closed = log_->wait_for("skt close  " + fd_text, 5s);
        ASSERT_TRUE(closed) << "no close line for descriptor " << fd_text;
        EXPECT_EQ(closed->severity(), LOG_INFO);
    }
    {
        // A header declaring more than the peer sends before closing.
        Fd conn = connect_ok();
        std::string full = frame("/bin/sh sh " + rec + " " + (tmp_ / "cut") + " tail");
        ASSERT_TRUE(send_all(conn.get(), full.substr(0, full.size() - 5)));
        conn.reset();
        ASSERT_TRUE(log_->wait_for("short request", 5s));
        ASSERT_TRUE(log_->wait_for("skt close  ", 5s));
    }
    // The daemon goes on serving new connections.
    Fd conn = connect_ok();
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sh sh " + rec + " " + (tmp_ / "next"))));
    EXPECT_EQ(recorded(tmp_ / "next"), (std::vector<std::string>{"sh", rec, tmp_ / "next"}));
    EXPECT_FALSE(harness::file_exists(tmp_ / "cut"));
}

TEST_F(LauncherDaemon, SigtermEndsTheDaemonButNotItsPrograms) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    Fd conn = connect_ok();
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sleep sleep 1003")));
    auto sleeper = wait_process({"sleep", "1003"});
    ASSERT_TRUE(sleeper);

    ASSERT_EQ(kill(daemon_, SIGTERM), 0);
    auto bye = log_->wait_for("proc agent terminate", 5s);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->severity(), LOG_NOTICE);
    EXPECT_TRUE(harness::wait_until([&] { return !alive(daemon_); }, 5s)) << "daemon still running";
    EXPECT_TRUE(alive(*sleeper));
}

// A program the daemon starts inherits nothing the daemon opened: neither
// the listener, nor a client's connection, nor the event loop's
// descriptors.
TEST_F(LauncherDaemon, LaunchedProgramsInheritNoDescriptors) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string lister = tmp_ / "fds.sh";
    harness::write_file(lister,
                        "#!/bin/sh\n"
                        "ls -l /proc/self/fd > \"$1.part\" && mv \"$1.part\" \"$1\"\n");
    chmod(lister.c_str(), 0755);
    Fd idle = connect_ok();  // another client's connection is open meanwhile
    Fd conn = connect_ok();
    const std::string out = tmp_ / "fds";
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sh sh " + lister + " " + out)));
    std::optional<std::string> text;
    ASSERT_TRUE(harness::wait_until([&] { return (text = harness::read_file(out)).has_value(); }, 5s));
    // "lr-x------ 1 root root 64 ... 3 -> socket:[123]". What the daemon
    // itself was handed at start passes on as it came; what it opens (the
    // listener, connections, the event loop's descriptors, the pid file)
    // must not.
    std::size_t listed = 0;
    for (const std::string& line : lines_of(*text)) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        ++listed;
        const std::string target = line.substr(arrow + 4);
        for (const char* own : {"socket:", "anon_inode:", kPidFile}) {
            EXPECT_EQ(target.find(own), std::string::npos) << "inherited: " << line;
        }
    }
    EXPECT_GE(listed, 3u) << *text;
}

// What is planted where the pid file goes is left as it is: a link,
// symbolic or hard, is not written through (the file it names keeps its
// content) and a FIFO without a reader does not hold the daemon in the
// open. The daemon serves all the same.
enum class Plant { SymbolicLink, HardLink, Fifo };
struct Planted {
    const char* what;
    Plant plant;
};
class LauncherPidFile : public LauncherDaemon, public ::testing::WithParamInterface<Planted> {};

TEST_P(LauncherPidFile, PlantedPathIsNotWrittenThrough) {
    // A hard link needs its file on the pid file's own file system.
    const std::string victim =
        GetParam().plant == Plant::HardLink ? std::string(kPidFile) + ".victim" : std::string(tmp_ / "victim");
    harness::write_file(victim, "keep\n");
    switch (GetParam().plant) {
    case Plant::SymbolicLink: ASSERT_EQ(symlink(victim.c_str(), kPidFile), 0); break;
    case Plant::HardLink: ASSERT_EQ(link(victim.c_str(), kPidFile), 0) << std::strerror(errno); break;
    case Plant::Fifo: ASSERT_EQ(mkfifo(kPidFile, 0666), 0); break;
    }
    starter_ = harness::Proc::start("launcher");
    ASSERT_EQ(starter_->wait_exit(5s), 0);
    auto pid_line = log_->wait_for("[pid: ", 5s);
    ASSERT_TRUE(pid_line);
    daemon_ = std::stoi(pid_line->text.substr(pid_line->text.find("[pid: ") + 6));
    ASSERT_TRUE(harness::wait_until([] { return try_connect().get() >= 0; }, 5s)) << "daemon not listening";
    EXPECT_EQ(harness::read_file(victim), "keep\n");
    struct stat sb {};
    ASSERT_EQ(lstat(kPidFile, &sb), 0);
    EXPECT_EQ(S_ISLNK(sb.st_mode), GetParam().plant == Plant::SymbolicLink);
    if (GetParam().plant == Plant::HardLink) unlink(victim.c_str());

    const std::string rec = recorder();
    Fd conn = connect_ok();
    ASSERT_TRUE(send_all(conn.get(), frame("/bin/sh sh " + rec + " " + (tmp_ / "served"))));
    EXPECT_EQ(recorded(tmp_ / "served"), (std::vector<std::string>{"sh", rec, tmp_ / "served"}));
}

INSTANTIATE_TEST_SUITE_P(Planted, LauncherPidFile,
                         ::testing::Values(Planted{"link", Plant::SymbolicLink}, Planted{"hard_link", Plant::HardLink},
                                           Planted{"fifo", Plant::Fifo}),
                         [](const auto& p) { return std::string(p.param.what); });

TEST_F(LauncherDaemon, EndsWhenItCannotListen) {
    // A directory where the socket belongs: unlink and bind both fail.
    ASSERT_EQ(mkdir(kSocketPath, 0755), 0);
    starter_ = harness::Proc::start("launcher");
    ASSERT_EQ(starter_->wait_exit(5s), 0);
    ASSERT_TRUE(log_->wait_for("main loop break", 5s)) << "the daemon must not spin on a dead socket";
    std::optional<std::string> pid_text = harness::read_file(kPidFile);
    ASSERT_TRUE(pid_text);
    daemon_ = std::stoi(*pid_text);
    EXPECT_TRUE(harness::wait_until([&] { return !alive(daemon_); }, 5s));
}

}  // namespace
