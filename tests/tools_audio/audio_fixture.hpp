// Shared pieces of the audio tool tests: a box simulator per test, the wire
// bytes a tool is expected to send, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/syslog.hpp"
#include "harness/util.hpp"
#include "libsocket/packet.h"
#include "wire/codes.hpp"
#include "wire/records.hpp"

namespace audio_test {

using namespace std::chrono_literals;

inline std::unique_ptr<boxsim::Boxsim> start_sim(std::vector<std::string> args = {}) {
    boxsim::Options opts;
    opts.args = std::move(args);
    return boxsim::Boxsim::start(opts);
}

// The 48 bytes a tool sends for a record that starts cleared.
inline std::array<std::uint8_t, 48> wire_bytes(const wire::CodecCmd& cmd) {
    std::array<std::uint8_t, 48> out{};
    pack_codec_command(out, cmd);
    return out;
}

inline wire::CodecCmd cmd_of(std::uint16_t code, std::uint16_t type, std::uint8_t ch) {
    wire::CodecCmd c;
    c.u16Cmd = code;
    c.u16Type = type;
    c.u8ChanIdx = ch;
    return c;
}

// Bytes 0..n-1 as a string, each byte the value of its index mod 251 plus a
// seed, so that misplaced or repeated slices show.
inline std::string pattern_bytes(std::size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i % 251 + seed) & 0xFF);
    return s;
}

inline std::string payload_string(const boxsim::ChunkEvent& c) {
    return std::string(c.payload.begin(), c.payload.end());
}

}  // namespace audio_test
