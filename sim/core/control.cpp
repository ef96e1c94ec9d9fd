// Control connections. Commands of one connection run one after another: a
// command whose reply comes later (a paced split write) holds back the next
// line, so replies always come back in the order of the commands.
#include "core/control.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "core/peer.hpp"

namespace sim::core {

namespace {
// A longer line is refused: the largest scripted write (a hex payload of a
// few hundred kilobytes) fits well within it.
constexpr std::size_t kMaxLine = 4u << 20;
}  // namespace

struct Control::Client {
    Fd fd;
    std::string in;
    std::deque<std::string> lines;
    bool busy = false;
    bool closing = false;
};

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

Control::Control(Loop& loop) : loop_(loop) {
    add("help", "help", [this](const std::vector<std::string>&, Reply reply) { reply("ok " + help()); });
}

Control::~Control() {
    for (auto& [id, c] : clients_) loop_.unwatch(c->fd.get());
    if (listen_fd_) {
        loop_.unwatch(listen_fd_.get());
        ::unlink(path_.c_str());
    }
}

int Control::listen(const std::string& path) {
    path_ = path;
    listen_fd_ = listen_unix(path);
    if (!listen_fd_) return -1;
    loop_.watch(listen_fd_.get(), POLLIN, [this](short) { on_accept(); });
    return 0;
}

void Control::add(const std::string& name, const std::string& usage, Handler handler) {
    commands_[name] = {usage, std::move(handler)};
}

std::string Control::help() const {
    std::string out;
    for (auto& [name, c] : commands_) {
        if (!out.empty()) out += " | ";
        out += c.first;
    }
    return out;
}

void Control::on_accept() {
    int fd = ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int id = next_id_++;
    auto c = std::make_unique<Client>();
    c->fd.reset(fd);
    clients_[id] = std::move(c);
    loop_.watch(fd, POLLIN, [this, id](short) { on_readable(id); });
}

void Control::on_readable(int id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    char buf[65536];
    ssize_t n = ::read(c.fd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        // Finish the commands already read, then let the connection go.
        loop_.unwatch(c.fd.get());
        c.closing = true;
        if (!c.busy && c.lines.empty()) drop(id);
        return;
    }
    c.in.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
        c.lines.push_back(c.in.substr(0, nl));
        c.in.erase(0, nl + 1);
    }
    if (c.in.size() > kMaxLine) {
        c.in.clear();
        c.lines.push_back("\x01too-long");
    }
    run_next(id);
}

void Control::run_next(int id) {
    for (;;) {
        auto it = clients_.find(id);
        if (it == clients_.end()) return;
        Client& c = *it->second;
        if (c.busy) return;
        if (c.lines.empty()) {
            if (c.closing) drop(id);
            return;
        }
        std::string line = std::move(c.lines.front());
        c.lines.pop_front();
        auto words = split_words(line);
        if (words.empty()) continue;
        c.busy = true;
        // The reply may come now or later; it is dropped if the client left.
        auto done = std::make_shared<bool>(false);
        Reply reply = [this, id, done](const std::string& text) {
            if (*done) return;
            *done = true;
            auto jt = clients_.find(id);
            if (jt == clients_.end()) return;
            std::string out = text + "\n";
            ::send(jt->second->fd.get(), out.data(), out.size(), MSG_NOSIGNAL);
            jt->second->busy = false;
            // Later lines run from the loop, not from inside this reply.
            loop_.at(0, [this, id] { run_next(id); });
        };
        if (words[0] == "\x01too-long") {
            reply("error line too long");
            continue;
        }
        auto cmd = commands_.find(words[0]);
        if (cmd == commands_.end()) {
            reply("error unknown command " + words[0]);
            continue;
        }
        cmd->second.second(words, reply);
    }
}

void Control::drop(int id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    loop_.unwatch(it->second->fd.get());
    clients_.erase(it);
}

}  // namespace sim::core
