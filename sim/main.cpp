// boxsim: the box around the programs, for tests and demos. Runs the chosen
// roles in one poll loop with a shared record directory and control socket.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "codec/codec_role.hpp"
#include "core/capture.hpp"
#include "core/role.hpp"
#include "media/codecs.hpp"
#include "quad_display/quad_display.hpp"
#include "ui_app/ui_app.hpp"

namespace {

using sim::core::Settings;

constexpr const char* kUsage =
    "usage: boxsim [options]\n"
    "  --roles LIST          roles to run, comma separated (default codec)\n"
    "  --record DIR          record directory (default /tmp/boxsim)\n"
    "  --control PATH        control socket (default /tmp/boxsim.ctl)\n"
    "  --capture FILE        write every byte exchanged on every endpoint to FILE (pcapng)\n"
    "  --seed N              seed of the synthetic payloads (default 1)\n"
    "  --late EP:SECONDS     bring endpoint EP up SECONDS after start (repeatable)\n"
    "  --refuse KIND         refuse opens: ado_enc ado_dec ado_ctrl vdo_enc vdo_dec h239_enc h239_dec\n"
    "  --grant-channel N     channel granted in audio decoder replies (default: the requested one)\n"
    "  --no-replies          never reply on command sockets\n"
    "  --no-autostream       encoders stream only what the control socket scripts\n"
    "  --piece-bytes N       largest video piece payload (default 1400)\n"
    "  --audio-period-ms N   one audio block per period (default 20)\n"
    "  --real-media          encoders send real coded media, decoders decode it (libavcodec)\n"
    "  --plant-faults        test only: the control command plant makes receivers' records lie\n"
    "  --help                this text\n"
    "roles:\n"
    "  codec                 codec servers on /tmp/T_EncStrm ... /tmp/ado_ctrl_cmd_socket\n"
    "  ui_app                user-interface application FIFO /dev/tivane_in (128-byte records)\n"
    "  quad_display          quad display server on /tmp/quad_socket (32-byte frames)\n"
    "  bridge                remote bridge: TCP client of ports 2004-2007 (control command bridge)\n"
    "stdout: \"boxsim: ready\" once listening; a summary per endpoint at the end.\n"
    "SIGTERM, SIGINT or the control command quit end it with status 0.\n";

struct RoleEntry {
    const char* name;
    std::unique_ptr<sim::core::Role> (*make)(sim::core::Context&);
};

constexpr RoleEntry kRoles[] = {
    {"codec", [](sim::core::Context& ctx) -> std::unique_ptr<sim::core::Role> {
         return std::make_unique<sim::codec::CodecRole>(ctx);
     }},
    {"ui_app", [](sim::core::Context& ctx) -> std::unique_ptr<sim::core::Role> {
         return std::make_unique<sim::ui_app::UiAppRole>(ctx);
     }},
    {"quad_display", [](sim::core::Context& ctx) -> std::unique_ptr<sim::core::Role> {
         return std::make_unique<sim::quad_display::QuadDisplayRole>(ctx);
     }},
    {"bridge", [](sim::core::Context& ctx) -> std::unique_ptr<sim::core::Role> {
         return std::make_unique<sim::bridge::BridgeRole>(ctx);
     }},
};

bool parse_uint(const char* text, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max) return false;
    out = v;
    return true;
}

struct OptionEntry {
    const char* name;
    bool has_arg;
    // False when the argument is not acceptable.
    bool (*apply)(Settings&, const char* arg);
};

constexpr OptionEntry kOptions[] = {
    {"--roles", true,
     [](Settings& s, const char* a) {
         s.roles.clear();
         std::string_view rest(a);
         while (!rest.empty()) {
             auto comma = rest.find(',');
             s.roles.emplace_back(rest.substr(0, comma));
             rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
         }
         return !s.roles.empty();
     }},
    {"--record", true, [](Settings& s, const char* a) { s.record_dir = a; return *a != '\0'; }},
    {"--control", true, [](Settings& s, const char* a) { s.control_path = a; return *a != '\0'; }},
    {"--capture", true, [](Settings& s, const char* a) { s.capture_path = a; return *a != '\0'; }},
    {"--seed", true,
     [](Settings& s, const char* a) {
         long v;
         if (!parse_uint(a, 0xFFFFFFFFL, v)) return false;
         s.seed = static_cast<std::uint32_t>(v);
         return true;
     }},
    {"--late", true,
     [](Settings& s, const char* a) {
         const char* colon = std::strrchr(a, ':');
         long secs;
         if (!colon || colon == a || !parse_uint(colon + 1, 3600, secs)) return false;
         s.late.emplace_back(std::string(a, colon), static_cast<int>(secs));
         return true;
     }},
    {"--refuse", true, [](Settings& s, const char* a) { s.refuse.emplace_back(a); return true; }},
    {"--grant-channel", true,
     [](Settings& s, const char* a) {
         long v;
         if (!parse_uint(a, 255, v)) return false;
         s.grant_channel = static_cast<int>(v);
         return true;
     }},
    {"--no-replies", false, [](Settings& s, const char*) { s.replies = false; return true; }},
    {"--no-autostream", false, [](Settings& s, const char*) { s.autostream = false; return true; }},
    {"--real-media", false, [](Settings& s, const char*) { s.real_media = true; return true; }},
    {"--plant-faults", false, [](Settings& s, const char*) { s.plant_faults = true; return true; }},
    {"--piece-bytes", true,
     [](Settings& s, const char* a) {
         long v;
         if (!parse_uint(a, 1 << 20, v) || v == 0) return false;
         s.piece_bytes = static_cast<std::size_t>(v);
         return true;
     }},
    {"--audio-period-ms", true,
     [](Settings& s, const char* a) {
         long v;
         if (!parse_uint(a, 10000, v) || v == 0) return false;
         s.audio_period_ms = static_cast<int>(v);
         return true;
     }},
};

// 0 to run, 1 after --help, 2 on a bad command line.
int parse_args(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        const OptionEntry* opt = nullptr;
        for (const auto& o : kOptions)
            if (arg == o.name) opt = &o;
        if (!opt) {
            std::fprintf(stderr, "boxsim: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
        const char* value = nullptr;
        if (opt->has_arg) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "boxsim: %s needs a value\n", opt->name);
                return 2;
            }
            value = argv[++i];
        }
        if (!opt->apply(s, value)) {
            std::fprintf(stderr, "boxsim: bad value for %s: %s\n", opt->name, value ? value : "");
            return 2;
        }
    }
    return 0;
}

}  // namespace

namespace sim::core {

void say(const char* fmt, ...) {
    std::fputs("boxsim: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace sim::core

int main(int argc, char** argv) {
    // A client that goes away must never end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    Settings settings;
    int parsed = parse_args(argc, argv, settings);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    if (settings.real_media) sim::media::quiet_libav();

    sim::core::Loop loop;
    sim::core::Recorder rec;
    sim::core::Control control(loop);
    if (!loop.ok()) {
        std::fprintf(stderr, "boxsim: cannot watch signals: %s\n", std::strerror(errno));
        return 1;
    }
    if (rec.open(settings.record_dir) != 0) {
        std::fprintf(stderr, "boxsim: cannot open record directory %s: %s\n", settings.record_dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!settings.capture_path.empty() && sim::core::capture().open(settings.capture_path) != 0) {
        std::fprintf(stderr, "boxsim: cannot write capture %s: %s\n", settings.capture_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    sim::core::Planted planted;
    sim::core::Context ctx{loop, rec, control, settings, settings.plant_faults ? &planted : nullptr};

    std::vector<std::unique_ptr<sim::core::Role>> roles;
    for (const auto& name : settings.roles) {
        const RoleEntry* entry = nullptr;
        for (const auto& r : kRoles)
            if (name == r.name) entry = &r;
        if (!entry) {
            std::fprintf(stderr, "boxsim: unknown role %s\n%s", name.c_str(), kUsage);
            return 2;
        }
        roles.push_back(entry->make(ctx));
    }
    control.add("quit", "quit", [&loop](const std::vector<std::string>&, sim::core::Control::Reply reply) {
        reply("ok");
        loop.stop();
    });
    control.add("mark", "mark TEXT", [&rec](const std::vector<std::string>& args, sim::core::Control::Reply reply) {
        std::string text;
        for (std::size_t i = 1; i < args.size(); ++i) text += (i > 1 ? " " : "") + args[i];
        sim::core::Line line("mark");
        line.kv("t", sim::core::now_us()).kv("text", text);
        rec.write(line);
        reply("ok");
    });
    if (settings.plant_faults)
        control.add("plant", "plant dup|drop|flip|swap|channel WHERE N",
                    [&planted](const std::vector<std::string>& args, sim::core::Control::Reply reply) {
                        reply(planted.arm(args));
                    });
    for (auto& role : roles) {
        // -2: the role rejected its settings, a command-line error.
        int rc = role->start();
        if (rc != 0) return rc == -2 ? 2 : 1;
    }
    if (control.listen(settings.control_path) != 0) {
        std::fprintf(stderr, "boxsim: cannot listen on %s: %s\n", settings.control_path.c_str(), std::strerror(errno));
        return 1;
    }
    sim::core::say("ready");
    loop.run();
    for (auto& role : roles) role->summary();
    // Roles close their connections first, so the capture ends each one.
    roles.clear();
    sim::core::capture().close();
    sim::core::say("exit");
    return 0;
}
