// Frame header codec and in-place command line tokeniser.
#include "command.hpp"

#include <wire/bytes.hpp>

namespace launcher::command {

namespace {

constexpr bool is_separator(char c) { return c == ';' || c == ' '; }

}  // namespace

Header parse_header(std::span<const std::uint8_t, kHeaderSize> bytes) {
    return Header{wire::load_le16(bytes.data()), wire::load_le16(bytes.data() + 2)};
}

void store_header(std::span<std::uint8_t, kHeaderSize> bytes, std::uint16_t length) {
    wire::store_le16(bytes.data(), MAGIC_HDR);
    wire::store_le16(bytes.data() + 2, length);
}

std::size_t split_command(char* line, Tokens& tokens) {
    std::size_t count = 0;
    char* p = line;
    while (count < kMaxTokens) {
        while (is_separator(*p)) ++p;
        if (*p == '\0') break;
        tokens[count++] = p;
        while (*p != '\0' && !is_separator(*p)) ++p;
        if (*p == '\0') break;
        *p++ = '\0';
    }
    tokens[count] = nullptr;
    return count;
}

}  // namespace launcher::command
