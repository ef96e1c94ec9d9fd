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

// build/bin/<name>, or <name> in the folder AVBOX_BIN_DIR names (installed
// programs, for the demo).
std::string bin(const std::string& name);
// The source tree (for fixtures kept in tests/).
std::string source_dir();

// True inside the private namespaces nsrun makes.
bool in_sandbox();

// The one widening factor of test deadlines: AVBOX_TIME_FACTOR (a whole
// number from 1 to 20; 1 when unset or malformed). CTest passes it to every
// test of a build configured with -DAVBOX_TIME_FACTOR=N (scripts/cross.sh
// does that for the tests run under emulation). Every bounded wait of the
// harness takes scaled() deadlines; native runs keep their bounds as they are.
int time_factor();
Ms scaled(Ms timeout);

// Polls pred every step until it holds or the (scaled) deadline passes.
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
