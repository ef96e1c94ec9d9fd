// Control socket: line commands from tests and people, one reply line each
// ("ok ..." or "error ..."). Roles register their own commands.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/loop.hpp"

namespace sim::core {

class Control {
public:
    // Called exactly once per command with the reply line (no newline).
    using Reply = std::function<void(const std::string&)>;
    // args[0] is the command word.
    using Handler = std::function<void(const std::vector<std::string>& args, Reply reply)>;

    explicit Control(Loop& loop);
    ~Control();
    int listen(const std::string& path);  // 0 or -1
    void add(const std::string& name, const std::string& usage, Handler handler);
    std::string help() const;

private:
    struct Client;
    void on_accept();
    void on_readable(int id);
    void run_next(int id);
    void drop(int id);

    Loop& loop_;
    Fd listen_fd_;
    std::string path_;
    int next_id_ = 1;
    std::map<int, std::unique_ptr<Client>> clients_;
    std::map<std::string, std::pair<std::string, Handler>> commands_;
};

std::vector<std::string> split_words(const std::string& line);

}  // namespace sim::core
