// The launcher's request checks and tokeniser: a program is started only
// for a line of at least two tokens, and then with exactly the tokens a
// plain split on runs of ';' and ' ' gives (the first 32), null-ended, each
// pointing into the line. The frame header codec round-trips every length.
#include <cstring>
#include <string>
#include <vector>

#include "command.hpp"
#include "fuzz_util.hpp"
#include "launch.hpp"

namespace {

using launcher::command::kMaxTokens;
using launcher::command::Tokens;

struct Started {
    int calls = 0;
    std::vector<std::string> tokens;
    bool null_ended = false;
    bool inside_line = true;
};

Started started;
const char* line_begin = nullptr;
std::size_t line_len = 0;

int record_start(Tokens& tokens) {
    ++started.calls;
    std::size_t n = 0;
    while (n < tokens.size() && tokens[n] != nullptr) {
        const char* t = tokens[n];
        if (t < line_begin || t >= line_begin + line_len) started.inside_line = false;
        started.tokens.emplace_back(t);
        ++n;
    }
    started.null_ended = n < tokens.size();
    return 0;
}

std::vector<std::string> plain_split(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == ';' || c == ' ') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    if (out.size() > kMaxTokens) out.resize(kMaxTokens);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint16_t length = in.u16();
    std::array<std::uint8_t, launcher::command::kHeaderSize> hdr{};
    launcher::command::store_header(hdr, length);
    const auto parsed = launcher::command::parse_header(hdr);
    FUZZ_CHECK(hdr[0] == 0x70 && hdr[1] == 0x50);
    FUZZ_CHECK(parsed.magic == launcher::command::MAGIC_HDR && parsed.length == length);

    auto rest = in.rest();
    std::string text(reinterpret_cast<const char*>(rest.data()), rest.size());
    text = text.substr(0, text.find('\0'));
    const std::vector<std::string> want = plain_split(text);

    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    line_begin = line.data();
    line_len = line.size();
    started = Started{};
    const int result = launcher::launch_with(line.data(), record_start);

    if (want.size() < 2) {
        FUZZ_CHECK(result == -1 && started.calls == 0);
        return 0;
    }
    FUZZ_CHECK(result == 0 && started.calls == 1);
    FUZZ_CHECK(started.null_ended && started.inside_line);
    FUZZ_CHECK(started.tokens == want);
    return 0;
}
