// Launch requests: the 4-byte frame header in front of each command line and
// the split of a command line into the executable path and its argv.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace launcher::command {

// First two bytes of every request, little-endian (0x70 0x50 on the wire).
inline constexpr std::uint16_t MAGIC_HDR = 0x5070;
inline constexpr std::size_t kHeaderSize = 4;
// One byte of the receive buffer is kept for the terminating zero.
inline constexpr std::size_t kRecvBufSize = 512;
inline constexpr std::size_t kMaxCommandLen = kRecvBufSize - 1;
inline constexpr std::size_t kMaxTokens = 32;

struct Header {
    std::uint16_t magic;
    std::uint16_t length;  // command bytes that follow the header
};

Header parse_header(std::span<const std::uint8_t, kHeaderSize> bytes);
void store_header(std::span<std::uint8_t, kHeaderSize> bytes, std::uint16_t length);

// Token 1 is the executable, tokens 2.. its argv; one extra slot holds the
// null entry that ends the argv handed to execv.
using Tokens = std::array<char*, kMaxTokens + 1>;

// Splits the zero-terminated line in place on runs of ';' and ' ' (each
// separator after a token becomes its terminating zero). Takes at most
// kMaxTokens tokens and ignores the rest of the line; the slot after the
// last token is set to null. Returns the number of tokens.
std::size_t split_command(char* line, Tokens& tokens);

}  // namespace launcher::command
