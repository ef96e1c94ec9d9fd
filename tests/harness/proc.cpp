#include "harness/proc.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "harness/util.hpp"

extern char** environ;

namespace harness {

std::unique_ptr<Proc> Proc::start(const std::string& path, const std::vector<std::string>& args,
                                  const ProcOptions& opts) {
    std::string exe = path.find('/') == std::string::npos ? bin(path) : path;
    int in[2] = {-1, -1}, out[2], err[2];
    if (opts.stdin_pipe && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (opts.env.count(kv.substr(0, eq)) == 0) env_s.push_back(kv);
    }
    for (auto& [k, v] : opts.env) env_s.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // Close-on-exec: only its copy on descriptor 0 reaches the program.
        int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(opts.stdin_pipe ? in[0] : devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        // The test runner may ignore SIGPIPE; the program starts with defaults.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    std::unique_ptr<Proc> p(new Proc());
    p->pid_ = pid;
    if (opts.stdin_pipe) {
        close(in[0]);
        p->in_ = in[1];
    }
    close(out[1]);
    close(err[1]);
    p->out_ = out[0];
    p->err_ = err[0];
    p->thread_ = std::thread([raw = p.get()] { raw->reader(); });
    return p;
}

Proc::~Proc() {
    kill_now();
    if (thread_.joinable()) thread_.join();
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

void Proc::reader() {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    char buf[65536];
    int open_streams = 2;
    while (open_streams > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int s = 0; s < 2; ++s) {
            if (fds[s].fd < 0 || fds[s].revents == 0) continue;
            ssize_t n = read(fds[s].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard lk(mu_);
            if (n <= 0) {
                if (!partial_[s].empty()) lines_[s].push_back(std::move(partial_[s]));
                partial_[s].clear();
                eof_[s] = true;
                fds[s].fd = -1;
                --open_streams;
            } else {
                raw_[s].append(buf, static_cast<std::size_t>(n));
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] == '\n') {
                        lines_[s].push_back(std::move(partial_[s]));
                        partial_[s].clear();
                    } else {
                        partial_[s].push_back(buf[i]);
                    }
                }
            }
            cv_.notify_all();
        }
    }
}

std::optional<std::string> Proc::wait_line(int s, std::string_view needle, Ms timeout) {
    std::unique_lock lk(mu_);
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;) {
        for (; cursor_[s] < lines_[s].size(); ++cursor_[s]) {
            if (lines_[s][cursor_[s]].find(needle) != std::string::npos) return lines_[s][cursor_[s]++];
        }
        if (eof_[s]) return std::nullopt;
        if (cv_.wait_until(lk, deadline) == std::cv_status::timeout) {
            for (; cursor_[s] < lines_[s].size(); ++cursor_[s]) {
                if (lines_[s][cursor_[s]].find(needle) != std::string::npos) return lines_[s][cursor_[s]++];
            }
            return std::nullopt;
        }
    }
}

std::optional<std::string> Proc::wait_stdout(std::string_view needle, Ms timeout) {
    return wait_line(0, needle, timeout);
}
std::optional<std::string> Proc::wait_stderr(std::string_view needle, Ms timeout) {
    return wait_line(1, needle, timeout);
}

std::vector<std::string> Proc::stdout_lines() const {
    std::lock_guard lk(mu_);
    return lines_[0];
}
std::vector<std::string> Proc::stderr_lines() const {
    std::lock_guard lk(mu_);
    return lines_[1];
}
std::string Proc::stdout_text() const {
    std::lock_guard lk(mu_);
    return raw_[0];
}
std::string Proc::stderr_text() const {
    std::lock_guard lk(mu_);
    return raw_[1];
}
std::size_t Proc::count_stdout(std::string_view needle) const {
    std::lock_guard lk(mu_);
    std::size_t n = 0;
    for (auto& l : lines_[0]) n += l.find(needle) != std::string::npos;
    return n;
}

void Proc::write_stdin(std::string_view text) {
    if (in_ < 0) return;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Proc::close_stdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void Proc::signal(int sig) {
    if (pid_ > 0 && !exit_) ::kill(pid_, sig);
}

std::optional<int> Proc::wait_exit(Ms timeout) {
    if (exit_) return exit_;
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Let the reader drain what the program wrote before it ended.
            std::unique_lock lk(mu_);
            cv_.wait_for(lk, std::chrono::milliseconds(500), [this] { return eof_[0] && eof_[1]; });
            return exit_;
        }
        if (r < 0) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool Proc::running() {
    if (exit_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return r == 0;
}

void Proc::kill_now() {
    if (pid_ > 0 && !exit_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exit_ = 128 + SIGKILL;
    }
}

}  // namespace harness
