// boxdemo: runs one whole session of the box (boxsim with every role, and
// avhub) and shows what the box did, stage by stage, with a comparison of
// what was sent against what arrived. Meant to run inside the private
// namespaces of nsrun (scripts/run.sh does that), since the box's fixed
// paths (/tmp, /dev/avhub, /mnt/project) and TCP ports are used as they are.
//
//   boxdemo --run-dir DIR --cache-dir DIR [--call-seconds N] [--size WxH] [--bin-dir DIR]
//
// Test only: --plant STAGE,FAULT,WHERE[,N] (repeatable) starts boxsim with
// --plant-faults and plants FAULT in its records before stage STAGE, to show
// that the row accounting for WHERE fails, and no other.
//
// Exit status: 0 when every stage matched, 1 when one did not, 2 when the
// session could not be run (bad arguments, no namespace, no clips, the box
// did not come up).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "clips.hpp"
#include "console.hpp"
#include "harness/util.hpp"
#include "report.hpp"
#include "session.hpp"

namespace {

constexpr int kStages = 5;

int usage(const char* why) {
    std::fprintf(stderr,
                 "boxdemo: %s\nusage: boxdemo --run-dir DIR --cache-dir DIR [--call-seconds N] [--size WxH] [--bin-dir DIR]\n"
                 "  runs inside nsrun's namespaces; scripts/run.sh starts it\n",
                 why);
    return 2;
}

}  // namespace

// How tshark finds the dissector that decodes the run's capture: the
// source tree's when this boxdemo was built there; else the one the
// avbox-sim package installed in tshark's global Lua plugins folder, which
// tshark loads by itself.
static std::string tshark_dissector_option() {
    if (::access(AVBOX_DISSECTOR, R_OK) == 0) return std::string("-X lua_script:") + AVBOX_DISSECTOR + " ";
    return "";
}

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    demo::Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage("one whole session of the box, checked byte for byte");
            return 0;
        }
        if (i + 1 >= argc) return usage(("missing value after " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--run-dir") {
            settings.run_dir = value;
        } else if (arg == "--cache-dir") {
            settings.cache_dir = value;
        } else if (arg == "--call-seconds") {
            char* end = nullptr;
            const long n = std::strtol(value, &end, 10);
            if (end == value || *end != '\0' || n < 1 || n > 600) return usage("--call-seconds takes 1 to 600");
            settings.call_seconds = static_cast<int>(n);
        } else if (arg == "--size") {
            // The calls' picture size; a small one keeps a test run cheap.
            int w = 0, h = 0;
            char tail = 0;
            if (std::sscanf(value, "%dx%d%c", &w, &h, &tail) != 2 || w < 32 || h < 32 || w > 1920 || h > 1088 ||
                w % 2 || h % 2 || w == 176)
                return usage("--size takes WxH, even, 32x32 to 1920x1088 (not 176 wide: that is the QCIF call)");
            settings.width = w;
            settings.height = h;
        } else if (arg == "--plant") {
            demo::Plant p;
            char fault[16] = {}, where[64] = {};
            const int got = std::sscanf(value, "%d,%15[a-z],%63[A-Za-z_0-9:],%d", &p.stage, fault, where, &p.n);
            if (got < 3 || p.stage < 1 || p.stage > kStages || p.n < 1)
                return usage("--plant takes STAGE,FAULT,WHERE[,N] (a test's planted fault)");
            p.fault = fault;
            p.where = where;
            settings.plants.push_back(p);
        } else if (arg == "--bin-dir") {
            // The box's programs and boxsim from there (installed ones)
            // instead of this build's bin/ folder.
            if (*value == '\0') return usage("--bin-dir takes a folder");
            setenv("AVBOX_BIN_DIR", value, 1);
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }
    if (settings.run_dir.empty() || settings.cache_dir.empty()) return usage("--run-dir and --cache-dir are needed");
    if (!harness::in_sandbox()) return usage("not inside nsrun's private namespaces");

    demo::Console console(stdout);
    std::string made, error;
    if (!demo::clips::ensure(settings.cache_dir, made, error)) {
        std::fprintf(stderr, "boxdemo: %s\n", error.c_str());
        return 2;
    }
    console.say("clips in " + settings.cache_dir + (made.empty() ? " (cached)" : " (made now: " + made + ")"));
    console.say("logs and records go to " + settings.run_dir);

    demo::Session session(settings, console);
    if (!session.run()) {
        std::fprintf(stderr, "boxdemo: %s\n", session.error().c_str());
        console.say("logs and records: " + settings.run_dir);
        return 2;
    }
    const std::string text = demo::summary(session.results(), kStages);
    harness::write_file(settings.run_dir + "/summary.txt", text);
    std::fputs("\n", stdout);
    std::fputs(text.c_str(), stdout);
    std::printf("Logs and records: %s\n", settings.run_dir.c_str());
    std::printf("  avhub.log (avhub's output), syslog.log, boxsim.log, records/events.tsv (every command, packet "
                "and record the simulated box saw), records/*.rx|*.tx (payload bytes), summary.txt\n");
    const auto files = session.media_files();
    if (!files.empty()) {
        std::printf("Pictures and sound the decoders kept (contact sheets of each video stream, WAV per audio channel):\n");
        for (const auto& f : files) std::printf("  %s\n", f.c_str());
    }
    std::printf("Capture of every link (codec sockets and the bridge's TCP link), decoded by name:\n"
                "  tshark %s-2 -r %s/capture.pcapng\n",
                tshark_dissector_option().c_str(), settings.run_dir.c_str());
    std::fflush(stdout);
    return demo::all_matched(session.results(), kStages) ? 0 : 1;
}
