// In-test stand-ins for the codec servers: UNIX listeners on the twelve
// endpoint paths that accept avhub's connections and keep every byte that
// arrives, so a test can check order and content of what avhub sent.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace spine_test {

inline const std::vector<std::string> kEndpoints{
    "/tmp/T_EncStrm",  "/tmp/T_EncCmd",  "/tmp/T_DecStrm",           "/tmp/T_DecCmd",
    "/tmp/ado_enc_server_socket", "/tmp/ado_enc_cmd_socket", "/tmp/ado_dec_server_socket",
    "/tmp/ado_dec_cmd_socket",    "/tmp/t_EncStrm", "/tmp/t_EncCmd", "/tmp/t_DecStrm", "/tmp/t_DecCmd",
};

class CodecListeners {
public:
    CodecListeners();
    ~CodecListeners();  // closes everything and removes the paths
    CodecListeners(const CodecListeners&) = delete;
    CodecListeners& operator=(const CodecListeners&) = delete;

    // Binds and listens on one path (removing a stale one first).
    bool listen_on(const std::string& path);
    void listen_all() {
        for (const auto& p : kEndpoints) listen_on(p);
    }

    // Connections accepted on a path so far, and the bytes they delivered.
    int accepted(const std::string& path) const;
    std::string bytes(const std::string& path) const;
    bool wait_accepted(const std::string& path, int n, std::chrono::milliseconds timeout) const;
    bool wait_bytes(const std::string& path, std::size_t n, std::chrono::milliseconds timeout) const;
    // Closes the server side of the path's connections (the peer goes away).
    void drop_connections(const std::string& path);

private:
    struct Ep {
        int listen_fd = -1;
        std::vector<int> conns;
        std::string data;
    };
    void run();
    mutable std::mutex mu_;
    std::map<std::string, Ep> eps_;
    int wake_[2] = {-1, -1};
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace spine_test
