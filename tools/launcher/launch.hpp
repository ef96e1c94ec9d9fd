// Starting a requested program as a fully detached process.
#pragma once

#include "command.hpp"

namespace launcher {

// Splits the zero-terminated command line and starts token 1 with tokens
// 2.. as its argv through a double fork, so the program is adopted by init
// and the daemon never owns it. Returns 0 when the program was handed to
// the intermediate child, -1 when the request was refused or fork failed.
// The line is modified in place.
int launch(char* line);

// What starts the program once the request passed its checks: tokens[0] is
// the executable, tokens[1..] its null-ended argv; 0 or -1 as launch.
using Starter = int (*)(command::Tokens& tokens);

// launch with another starter in place of the double fork, so tests and
// fuzzers see exactly which requests would start a program.
int launch_with(char* line, Starter start);

}  // namespace launcher
