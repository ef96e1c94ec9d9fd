// Deterministic synthetic payloads: the same seed, endpoint, channel and
// frame or block number give the same bytes in every run.
#pragma once

#include <cstdint>
#include <span>

namespace sim::media {

inline void fill_payload(std::uint32_t seed, std::uint32_t ep, std::uint32_t ch, std::uint32_t number,
                         std::uint32_t piece, std::span<std::uint8_t> out) {
    // xorshift32 from a mixed, never-zero state.
    std::uint32_t x = seed * 0x9E3779B1u ^ (ep << 24) ^ (ch << 16) ^ (number * 0x85EBCA6Bu) ^ (piece * 0xC2B2AE35u);
    if (x == 0) x = 0x6A09E667u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
}

}  // namespace sim::media
