#include "harness/util.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

std::string bin(const std::string& name) {
    const char* dir = std::getenv("AVBOX_BIN_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : AVBOX_BIN_DIR) + "/" + name;
}
std::string source_dir() { return AVBOX_SOURCE_DIR; }

bool in_sandbox() { return std::getenv("HARNESS_SANDBOX") != nullptr; }

int time_factor() {
    static const int factor = [] {
        const char* text = std::getenv("AVBOX_TIME_FACTOR");
        if (text == nullptr) return 1;
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        return (end != text && *end == '\0' && n >= 1 && n <= 20) ? static_cast<int>(n) : 1;
    }();
    return factor;
}

Ms scaled(Ms timeout) { return timeout * time_factor(); }

bool wait_until(const std::function<bool()>& pred, Ms timeout, Ms step) {
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(step);
    }
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string hex(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s.push_back(' ');
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

std::string hex(const std::string& bytes) {
    return hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/avbox-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace harness
