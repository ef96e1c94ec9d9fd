// Starting a requested program as a fully detached process.
#pragma once

namespace launcher {

// Splits the zero-terminated command line and starts token 1 with tokens
// 2.. as its argv through a double fork, so the program is adopted by init
// and the daemon never owns it. Returns 0 when the program was handed to
// the intermediate child, -1 when the request was refused or fork failed.
// The line is modified in place.
int launch(char* line);

}  // namespace launcher
