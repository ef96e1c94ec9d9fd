// Starting avhub in the sandbox and the bytes it is expected to send.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace spine_test {

inline const std::vector<std::string> kGoodArgs{"54", "1280", "720", "30", "1024", "1", "0", "0", "0"};

inline std::unique_ptr<harness::Proc> start_avhub(const std::vector<std::string>& args = kGoodArgs,
                                                  const std::string& cwd = "") {
    return harness::Proc::start("avhub", args, {.cwd = cwd});
}

// One 48-byte close request as avhub packs it.
inline std::string close_request(std::uint16_t code, std::uint8_t chan) {
    std::array<std::uint8_t, 48> b{};
    b[1] = 0x55;
    b[2] = 0xAA;
    b[3] = 0xFF;
    b[4] = static_cast<std::uint8_t>(code >> 8);
    b[5] = static_cast<std::uint8_t>(code);
    b[38] = chan;
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Writes one command into the control FIFO in one write.
inline bool fifo_write(const std::string& text) {
    int fd = ::open("/dev/avhub", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// Removes what an avhub run leaves behind in the shared sandbox.
inline void clean_fixed_paths() {
    unlink("/dev/avhub");
    unlink("/tmp/avhub.pid");
}

}  // namespace spine_test
