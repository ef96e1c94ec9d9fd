// Running a command line through the shell and waiting for its end.
#pragma once

namespace avhub {

// Runs "/bin/sh -c cmd" with the default broken-pipe action restored in the
// child, waits for it and returns its wait status (-1 when it could not be
// started).
int run_shell_command(const char* cmd);

}  // namespace avhub
