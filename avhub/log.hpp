// Event logging of avhub: standard output (flushed per line, so a pipe sees
// each event at once) and the system log at warning priority.
#pragma once

namespace avhub {

// Opens the system log under the identity "AVHUB", falling back to the
// console when the log daemon cannot be reached.
void open_event_log();

// "%d %s %d : " + message to stdout (Unix time, module, line) and
// "%s %d : " + message to the system log at LOG_WARNING.
void log_event(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// The stdout half of log_event only.
void log_stdout(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// "%s %s %d : " + message to stdout only, led by the local time text (the
// ctime text, which carries its own line break).
void log_stdout_time(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A message printed as it stands, flushed.
void print_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace avhub

// Each module file defines `constexpr char kModule[] = "<name>.c";` in an
// unnamed namespace; these macros put it and the line number in front.
#define AVHUB_LOG(...) ::avhub::log_event(kModule, __LINE__, __VA_ARGS__)
#define AVHUB_SAY(...) ::avhub::log_stdout(kModule, __LINE__, __VA_ARGS__)
#define AVHUB_SAY_TM(...) ::avhub::log_stdout_time(kModule, __LINE__, __VA_ARGS__)
