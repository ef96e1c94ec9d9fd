// Byte helpers of the bridge tests: bridge packets as a bridge sends them,
// joining, hex text, non-blocking reads and writes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/bytes.hpp"
#include "wire/bytes.hpp"

namespace bridge_test {

using harness::Bytes;

// A bridge packet: magic, stream type, channel, time stamp, length, flags in
// byte 17, then a payload whose bytes depend on seed.
inline Bytes packet(std::uint8_t type, std::uint32_t payload_len, std::uint8_t seed, std::uint32_t declared = ~0u) {
    Bytes b(18 + payload_len);
    b[0] = 0x00;
    b[1] = 0x55;
    b[2] = 0xAA;
    b[3] = 0xFF;
    b[4] = type;
    b[5] = 7;
    wire::store_be32(&b[6], 5000u + seed);
    wire::store_be32(&b[10], declared == ~0u ? payload_len : declared);
    b[17] = 3;
    for (std::uint32_t i = 0; i < payload_len; ++i) b[18 + i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 8));
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

using harness::drain;
using harness::write_all;

// Lower-case hex without separators.
inline std::string hexs(const std::uint8_t* data, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

inline int count_lines(const std::string& out, const std::string& needle) {
    int n = 0;
    for (std::size_t p = out.find(needle); p != std::string::npos; p = out.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace bridge_test
