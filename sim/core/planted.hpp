// Planted faults, for tests of the demo's accounting only (boxsim
// --plant-faults; off otherwise). A receiver's record of what it got is made
// to lie in one of five ways: a chunk recorded twice, not at all, with one
// byte flipped, after the chunk behind it, or with the next channel number.
// Only the record lies: what the receiver decodes is what really came, so a
// test sees the one row that accounts for the chunk fail and no other.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::core {

class Planted {
public:
    // Records one chunk (its 18-byte header and its payload).
    using Record = std::function<void(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload)>;

    // "plant FAULT WHERE N": FAULT (dup, drop, flip, swap, channel) on the
    // Nth chunk (from 1) recorded at WHERE from now on. WHERE is a decoder
    // endpoint with its channel ("T_DecStrm:0") or "bridge" (the video the
    // bridge receives). Returns the reply line.
    std::string arm(const std::vector<std::string>& args);

    // Records a chunk that arrived at `where` (same form as above) through
    // the armed faults: once, twice, not yet (a swap holds it back until the
    // next chunk there), or not at all.
    void pass(const std::string& where, std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload,
              const Record& record);

private:
    enum class Fault { Dup, Drop, Flip, Swap, Channel };
    struct Armed {
        Fault fault;
        std::string where;
        long long left;  // chunks at `where` until the one it hits
    };
    struct Held {
        std::string where;
        std::array<std::uint8_t, 18> header{};
        std::vector<std::uint8_t> payload;
    };

    std::vector<Armed> armed_;
    std::vector<Held> held_;  // chunks a swap holds back
};

}  // namespace sim::core
