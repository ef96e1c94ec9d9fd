// The control FIFO's command dispatcher, fed reads of any bytes (longer than
// its buffer too). Every read must run exactly the command a plain reading
// of its first bytes names, with the argument the C library would read,
// and change the call settings only as that command allows. The calls into
// the other modules are recorders: nothing is started, no shell is run.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fifo_cmd.hpp"
#include "fuzz_util.hpp"
#include "globals.hpp"

namespace {

std::vector<std::string> calls;

avhub::FifoHooks recorders() {
    avhub::FifoHooks h{};
    h.start_test = [] { calls.emplace_back("start_test"); };
    h.stop_test = [] { calls.emplace_back("stop_test"); };
    h.play_dtmf = [](int key) { calls.push_back("dtmf " + std::to_string(key)); };
    h.play_animation_cmd = [](std::string_view name) { calls.push_back("play " + std::string(name)); };
    h.finish_animation_cmd = [] { calls.emplace_back("finish"); };
    h.box_wait_begin = [] {};
    h.box_service_step = [] { calls.emplace_back("box_step"); };
    // A bridge is connected at once, so a waiting command never waits.
    h.box_vdo_btsm_cnt = []() -> std::uint32_t { return 1; };
    h.close_box_clients = [] { calls.emplace_back("close_box"); };
    h.run_shell = [](const char* cmd) {
        calls.push_back(std::string("shell ") + cmd);
        return 0;
    };
    return h;
}

std::int32_t c_int(const std::string& s, std::size_t from) {
    const long v = std::strtol(s.c_str() + std::min(from, s.size()), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

struct Settings {
    std::int32_t codec, audio, fr, bit, width, height, time;
    bool operator==(const Settings&) const = default;
};

Settings current() {
    return {avhub::CodecType, avhub::AdoType, avhub::FrameRate, avhub::BitRate,
            avhub::Width,     avhub::Height,  avhub::TestTime};
}

// The calls and settings a read should give, and whether it asks to close.
bool expect(const std::string& text, std::vector<std::string>& want, Settings& s) {
    auto is = [&](std::string_view w) { return text.size() >= w.size() && text.compare(0, w.size(), w) == 0; };
    if (text.size() < 4) return false;
    if (is("stop")) {
        want = {"stop_test"};
    } else if (is("dtmf")) {
        want = {"dtmf " + std::to_string(c_int(text, 4))};
    } else if (is("vcb_stop")) {
        want = {"stop_test", "close_box"};
    } else if (is("play ")) {
        std::string name = text.substr(5);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        name = name.substr(0, name.find('\0'));
        if (name.size() <= avhub::kPlayNameMax) want = {"play " + name};
    } else if (is("finish")) {
        want = {"finish"};
    } else if (is("start")) {
        want = {"start_test"};
    } else if (is("vcb_start")) {
        want = {"box_step", "start_test"};
    } else if (is("close")) {
        return true;
    } else if (is("get_wan_ip")) {
        want = {"shell *"};  // the quoted path, checked on its own
    } else {
        struct Rule {
            std::string_view word;
            std::int32_t* value;
            std::int32_t lo, hi;  // lo > hi: any non-zero value
        };
        const Rule rules[] = {{"video ", &s.codec, 51, 54}, {"audio ", &s.audio, 1, 11},
                              {"vdo_fr ", &s.fr, 1, 30},    {"vdo_bit ", &s.bit, 1, 0},
                              {"width ", &s.width, 1, 0},   {"height ", &s.height, 1, 0},
                              {"time ", &s.time, 1, 0}};
        for (const Rule& r : rules) {
            if (text.size() <= r.word.size() || !is(r.word)) continue;
            const std::int32_t n = c_int(text, r.word.size());
            if (r.lo > r.hi ? n != 0 : (n >= r.lo && n <= r.hi)) *r.value = n;
            break;
        }
    }
    return false;
}

// The shell line of get_wan_ip: one single-quoted word naming get_wan_ip in
// the working directory, so no character of the path reaches the shell.
void check_shell_line(const std::string& call) {
    const std::string line = call.substr(6);
    FUZZ_CHECK(line.size() >= 2 && line.front() == '\'' && line.back() == '\'');
    std::string unquoted;
    for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        if (line[i] == '\'') {
            FUZZ_CHECK(line.compare(i, 4, "'\\''") == 0);
            unquoted += '\'';
            i += 3;
        } else {
            unquoted += line[i];
        }
    }
    char cwd[4096];
    FUZZ_CHECK(::getcwd(cwd, sizeof cwd) != nullptr);
    FUZZ_CHECK(unquoted == std::string(cwd) + "/get_wan_ip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const avhub::FifoHooks hooks = recorders();
    fuzz::Reader in(data, size);
    avhub::CodecType = 51;
    avhub::AdoType = 1;
    avhub::FrameRate = 30;
    avhub::BitRate = avhub::Width = avhub::Height = avhub::TestTime = 7;
    while (!in.empty()) {
        auto b = in.take(in.u16() % 5000);
        const std::span<const char> bytes(reinterpret_cast<const char*>(b.data()), b.size());
        // The dispatcher sees at most one buffer's worth of a read.
        const std::string text(bytes.data(), std::min(bytes.size(), avhub::kFifoReadMax));

        std::vector<std::string> want;
        Settings s = current();
        const bool close = expect(text, want, s);
        calls.clear();
        const avhub::FifoAction act = avhub::handle_fifo_cmd(bytes, hooks);
        FUZZ_CHECK((act == avhub::FifoAction::kClose) == close);
        if (want.size() == 1 && want[0] == "shell *") {
            FUZZ_CHECK(calls.size() == 1 && calls[0].rfind("shell ", 0) == 0);
            check_shell_line(calls[0]);
        } else {
            FUZZ_CHECK(calls == want);
        }
        FUZZ_CHECK(current() == s);
    }
    return 0;
}
