// The command line of the resident tools, which take no arguments to run:
// --help and --version answer on standard output and end the program with
// status 0, before anything is started; anything unknown is refused with
// the usage on standard error and status 2.
#pragma once

#include <cstdio>
#include <cstring>

#include "avbox/build_info.hpp"

namespace tools {

struct DaemonCli {
    bool run = false;       // start the program
    bool foreground = false;  // the --foreground option (where the program has one)
    int status = 0;         // exit status when !run
};

// usage: the full --help text. foreground_option: the program accepts
// --foreground.
inline DaemonCli parse_daemon_cli(int argc, char** argv, const char* name, const char* usage,
                                  bool foreground_option) {
    if (argc == 1) return {.run = true};
    const char* arg = argv[1];
    const bool help = std::strcmp(arg, "--help") == 0;
    const bool version = std::strcmp(arg, "--version") == 0;
    const bool foreground = foreground_option && std::strcmp(arg, "--foreground") == 0;
    // One option at most: the first word that is not one is named.
    const char* bad = !help && !version && !foreground ? arg : argc > 2 ? argv[2] : nullptr;
    if (bad != nullptr) {
        std::fprintf(stderr, "%s: unknown argument: %s\n", name, bad);
        std::fputs(usage, stderr);
        return {.status = 2};
    }
    if (help) std::fputs(usage, stdout);
    if (version) std::printf("%s (avbox) %s\n", name, avbox::kVersion);
    return {.run = foreground, .foreground = foreground};
}

}  // namespace tools
