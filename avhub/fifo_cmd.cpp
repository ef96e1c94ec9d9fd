// Control FIFO commands: one keyword at the start of a read, its argument
// read base 10 after the keyword's trailing blank.
#include "fifo_cmd.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "globals.hpp"
#include "hooks.hpp"
#include "log.hpp"
#include "shell.hpp"

namespace avhub {

namespace {

constexpr char kModule[] = "main.c";

// The text of one read, zero-terminated, and its length.
struct Input {
    char* text;
    std::size_t len;
};

// Base-10 integer as the C library reads it: leading blanks skipped, 0 when
// no digits follow, saturated to 32 bits.
std::int32_t read_int(const char* s) {
    long v = std::strtol(s, nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

// A call setting changed by "<word> n".
struct SettingCmd {
    std::string_view word;  // with its trailing blank
    std::int32_t* value;
    bool nonzero_only;      // else lo..hi
    std::int32_t lo, hi;
    const char* accept;     // "<accept> old => new", nullptr: silent
    const char* refuse;     // "<refuse> v"
    bool refuse_shows_current;  // v is the value in force, else the input
};

const std::array<SettingCmd, 7> kSettingCmds{{
    {"video ", &CodecType, false, 51, 54, "change video type", "Error Video Codec Type", true},
    {"audio ", &AdoType, false, 1, 11, nullptr, "Error Audio Codec Type", true},
    {"vdo_fr ", &FrameRate, false, 1, 30, "change fr", "err fr", false},
    {"vdo_bit ", &BitRate, true, 0, 0, "change bit rate ", "err bit rate ", false},
    {"width ", &Width, true, 0, 0, "change width ", "err width ", false},
    {"height ", &Height, true, 0, 0, "change height ", "err height ", false},
    {"time ", &TestTime, true, 0, 0, "change test time ", "err test time ", false},
}};

void run_setting(const SettingCmd& c, const Input& in) {
    std::int32_t n = read_int(in.text + c.word.size());
    bool ok = c.nonzero_only ? n != 0 : (n >= c.lo && n <= c.hi);
    if (!ok) {
        print_msg("%s %d \n", c.refuse, c.refuse_shows_current ? *c.value : n);
        return;
    }
    if (c.accept != nullptr) print_msg("%s %d => %d \n", c.accept, *c.value, n);
    *c.value = n;
}

// Milliseconds from a to b on the wrapping 32-bit clock.
std::int32_t msec_diff(std::int32_t b, std::int32_t a) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(b) - static_cast<std::uint32_t>(a));
}

void run_vcb_start(const FifoHooks& h) {
    AVHUB_LOG("Start VCB Test!!\n");
    u32VcbMode = 1;
    std::int32_t start = get_msec_count();
    std::int32_t last_report = start;
    h.box_wait_begin();
    for (;;) {
        h.box_service_step();
        std::int32_t now = get_msec_count();
        if (msec_diff(now, last_report) >= 1000) {
            AVHUB_LOG("Wait VCB Connection \n");
            last_report = now;
        }
        if (h.box_vdo_btsm_cnt() != 0) break;
        const std::int32_t waited = msec_diff(now, start);
        if (waited > kVcbWaitMs || waited < -kVcbWaitMs) break;
        // Sleeps between steps instead of spinning: the codec servers share
        // the processor, and a step a millisecond serves a bridge as fast as
        // the poll loop serves everything else.
        (void)poll(nullptr, 0, kVcbStepSleepMs);
    }
    h.start_test();
}

void run_play(const Input& in, const FifoHooks& h) {
    std::size_t end = in.len;
    // The writer's line break is not part of the name.
    if (end > 5 && in.text[end - 1] == '\n') --end;
    in.text[end] = '\0';
    std::string_view name(in.text + 5, strnlen(in.text + 5, end - 5));
    if (name.size() > kPlayNameMax) {
        AVHUB_LOG("Play name too long [%d], at most %d bytes: refused \n", static_cast<int>(name.size()),
                  static_cast<int>(kPlayNameMax));
        return;
    }
    h.play_animation_cmd(name);
}

// Shell single quotes keep a working directory with blanks or shell
// characters one word.
bool shell_quote(const char* path, char* out, std::size_t cap) {
    std::size_t o = 0;
    auto put = [&](char c) {
        if (o + 1 >= cap) return false;
        out[o++] = c;
        return true;
    };
    if (!put('\'')) return false;
    for (const char* p = path; *p; ++p) {
        if (*p == '\'') {
            for (char c : std::string_view("'\\''"))
                if (!put(c)) return false;
        } else if (!put(*p)) {
            return false;
        }
    }
    if (!put('\'')) return false;
    out[o] = '\0';
    return true;
}

void run_get_wan_ip(const FifoHooks& h) {
    char cwd[4096];
    char path[256];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        AVHUB_LOG("Can't get working directory for get_wan_ip \n");
        return;
    }
    int n = std::snprintf(path, sizeof path, "%s/get_wan_ip", cwd);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) {
        AVHUB_LOG("get_wan_ip path longer than %d bytes: not run \n", static_cast<int>(sizeof path - 1));
        return;
    }
    AVHUB_LOG("CMD[%s] \n", path);
    char quoted[4 * sizeof path + 3];
    if (!shell_quote(path, quoted, sizeof quoted)) return;
    h.run_shell(quoted);
}

bool starts_with(const Input& in, std::string_view word, std::size_t min_len) {
    return in.len >= min_len && std::memcmp(in.text, word.data(), word.size()) == 0;
}

using Handler = FifoAction (*)(const Input&, const FifoHooks&);

// A command word, the bytes a read needs to count as that command, and
// what it does.
struct Command {
    std::string_view word;
    std::size_t min_len;
    Handler run;
};

constexpr FifoAction kGoOn = FifoAction::kContinue;

const std::array<Command, 9> kCommands{{
    {"stop", 4,
     [](const Input&, const FifoHooks& h) {
         print_msg("Stop Test!!\n");
         h.stop_test();
         return kGoOn;
     }},
    {"dtmf", 4,
     [](const Input& in, const FifoHooks& h) {
         const int key = read_int(in.text + 4);
         AVHUB_LOG("DTMF %d\n", key);
         h.play_dtmf(key);
         return kGoOn;
     }},
    {"vcb_stop", 8,
     [](const Input&, const FifoHooks& h) {
         AVHUB_LOG("Stop VCB Test!!\n");
         h.stop_test();
         h.close_box_clients();
         return kGoOn;
     }},
    {"play ", 5,
     [](const Input& in, const FifoHooks& h) {
         run_play(in, h);
         return kGoOn;
     }},
    {"finish", 6,
     [](const Input&, const FifoHooks& h) {
         h.finish_animation_cmd();
         return kGoOn;
     }},
    {"start", 5,
     [](const Input&, const FifoHooks& h) {
         print_msg("Start Test!!\n");
         u32VcbMode = 0;
         h.start_test();
         return kGoOn;
     }},
    {"vcb_start", 9,
     [](const Input&, const FifoHooks& h) {
         run_vcb_start(h);
         return kGoOn;
     }},
    {"close", 5, [](const Input&, const FifoHooks&) { return FifoAction::kClose; }},
    {"get_wan_ip", 10,
     [](const Input&, const FifoHooks& h) {
         run_get_wan_ip(h);
         return kGoOn;
     }},
}};

FifoAction dispatch(const Input& in, const FifoHooks& h) {
    if (in.len >= 4) {
        for (const Command& c : kCommands) {
            if (starts_with(in, c.word, c.min_len)) return c.run(in, h);
        }
        for (const SettingCmd& c : kSettingCmds) {
            // A keyword with an argument needs at least one byte after the blank.
            if (starts_with(in, c.word, c.word.size() + 1)) {
                run_setting(c, in);
                return kGoOn;
            }
        }
    }
    print_msg("User Input %s \n", in.text);
    return kGoOn;
}

}  // namespace

const FifoHooks& default_fifo_hooks() {
    static const FifoHooks hooks{
        start_test,
        stop_test,
        play_dtmf,
        play_animation_cmd,
        finish_animation_cmd,
        begin_expansion_box_wait,
        expansion_box_thread_socket_data_proc,
        get_box_vdo_btsm_cnt,
        close_expansion_box_clients,
        run_shell_command,
    };
    return hooks;
}

FifoAction handle_fifo_cmd(std::span<const char> bytes, const FifoHooks& hooks) {
    static std::array<char, kFifoReadMax + 1> buf;
    const std::size_t len = std::min(bytes.size(), kFifoReadMax);
    std::copy_n(bytes.begin(), len, buf.begin());
    buf[len] = '\0';
    AVHUB_LOG("fifo [%s]%d\n", buf.data(), static_cast<int>(len));
    return dispatch(Input{buf.data(), len}, hooks);
}

}  // namespace avhub
