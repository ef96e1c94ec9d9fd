// Process helper for integration tests: starts a real program, collects its
// standard output and error line by line, waits on them with deadlines,
// signals and reaps it, and kills it in the destructor when a test fails.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

struct ProcOptions {
    std::string cwd;                       // empty: the test's own
    std::map<std::string, std::string> env;  // added to (or replacing in) the test's environment
    bool stdin_pipe = false;               // give the program a pipe on standard input
};

class Proc {
public:
    // path: a full path, or a bare name looked up in build/bin.
    static std::unique_ptr<Proc> start(const std::string& path, const std::vector<std::string>& args = {},
                                       const ProcOptions& opts = {});
    ~Proc();
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t pid() const { return pid_; }

    // First line (not yet consumed by an earlier wait) containing needle, or
    // nullopt at the deadline. Each wait resumes after the line it returned.
    std::optional<std::string> wait_stdout(std::string_view needle, Ms timeout = 5000ms);
    std::optional<std::string> wait_stderr(std::string_view needle, Ms timeout = 5000ms);

    std::vector<std::string> stdout_lines() const;
    std::vector<std::string> stderr_lines() const;
    std::string stdout_text() const;  // raw bytes so far
    std::string stderr_text() const;
    // Number of stdout lines containing needle so far.
    std::size_t count_stdout(std::string_view needle) const;

    void write_stdin(std::string_view text);
    void close_stdin();

    void signal(int sig);
    // Exit code, or 128 + signal number; nullopt if still running at the deadline.
    std::optional<int> wait_exit(Ms timeout = 5000ms);
    bool running();
    void kill_now();

private:
    Proc() = default;
    void reader();
    std::optional<std::string> wait_line(int stream, std::string_view needle, Ms timeout);

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::optional<int> exit_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string raw_[2];
    std::vector<std::string> lines_[2];
    std::size_t cursor_[2] = {0, 0};
    std::string partial_[2];
    bool eof_[2] = {false, false};
    std::thread thread_;
};

}  // namespace harness
