// Small helpers shared by the tests: where the programs are, bounded waits,
// files, and the sandbox guard for integration tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

using Ms = std::chrono::milliseconds;

// build/bin/<name>
std::string bin(const std::string& name);
// The source tree (for fixtures kept in tests/).
std::string source_dir();

// True inside the private namespaces nsrun makes.
bool in_sandbox();

// Polls pred every step until it holds or the deadline passes.
bool wait_until(const std::function<bool()>& pred, Ms timeout, Ms step = Ms(2));

std::optional<std::string> read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

std::string hex(const std::uint8_t* data, std::size_t n);
std::string hex(const std::string& bytes);

// A fresh directory under /tmp, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace harness

// Integration tests touch fixed paths (/tmp/..., /dev/avhub, ports 2004-2007):
// outside the sandbox they refuse to run.
#define HARNESS_REQUIRE_SANDBOX()                                                      \
    do {                                                                               \
        if (!::harness::in_sandbox()) GTEST_SKIP() << "not inside nsrun's namespaces"; \
    } while (0)
