// Request header decoding and command line splitting.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command.hpp"

namespace {

using launcher::command::Tokens;

std::vector<std::string> split(std::string line) {
    Tokens tokens{};
    std::size_t n = launcher::command::split_command(line.data(), tokens);
    EXPECT_EQ(tokens[n], nullptr) << "argv must end with a null entry";
    return {tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(LauncherCommand, HeaderIsLittleEndian) {
    const std::array<std::uint8_t, 4> wire{0x70, 0x50, 0x14, 0x01};
    auto h = launcher::command::parse_header(wire);
    EXPECT_EQ(h.magic, launcher::command::MAGIC_HDR);
    EXPECT_EQ(h.length, 0x0114);

    std::array<std::uint8_t, 4> out{};
    launcher::command::store_header(out, 0x0114);
    EXPECT_EQ(out, wire);
}

TEST(LauncherCommand, SplitsOnRunsOfSemicolonAndSpace) {
    struct Case {
        std::string line;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"/bin/sleep sleep 100", {"/bin/sleep", "sleep", "100"}},
        {"/bin/sleep;sleep;100", {"/bin/sleep", "sleep", "100"}},
        {"; ;/bin/sleep ;; ; sleep  100; ;", {"/bin/sleep", "sleep", "100"}},
        {"/bin/ls", {"/bin/ls"}},
        {"", {}},
        {" ;; ", {}},
        {"a\tb", {"a\tb"}},  // only ';' and ' ' separate
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.line), c.want) << "line: '" << c.line << "'";
}

TEST(LauncherCommand, TakesAtMost32Tokens) {
    std::string line;
    std::vector<std::string> want;
    for (int i = 1; i <= 40; ++i) {
        const std::string token = 't' + std::to_string(i);
        line += token;
        line += i % 2 ? ';' : ' ';
        if (i <= 32) want.push_back(token);
    }
    EXPECT_EQ(split(line), want);

    // Exactly 32 with no trailing separator keeps the last token whole.
    line.clear();
    want.clear();
    for (int i = 1; i <= 32; ++i) {
        if (i > 1) line += ' ';
        line += "long" + std::to_string(i);
        want.push_back("long" + std::to_string(i));
    }
    EXPECT_EQ(split(line), want);
}

}  // namespace
