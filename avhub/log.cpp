// Event logging: one formatted message, written to stdout and the system log.
#include "log.hpp"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace avhub {

namespace {

// Large enough for a whole FIFO read (4096 bytes) echoed in a message.
constexpr std::size_t kMsgMax = 8192;

void format(char (&msg)[kMsgMax], const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
void format(char (&msg)[kMsgMax], const char* fmt, va_list ap) {
    std::vsnprintf(msg, sizeof msg, fmt, ap);
}

void to_stdout(const char* module, int line, const char* msg) {
    std::printf("%d %s %d : %s", static_cast<int>(std::time(nullptr)), module, line, msg);
    std::fflush(stdout);
}

}  // namespace

void open_event_log() {
    openlog("AVHUB", LOG_CONS, LOG_USER);
}

void log_event(const char* module, int line, const char* fmt, ...) {
    char msg[kMsgMax];
    va_list ap;
    va_start(ap, fmt);
    format(msg, fmt, ap);
    va_end(ap);
    to_stdout(module, line, msg);
    syslog(LOG_WARNING, "%s %d : %s", module, line, msg);
}

void log_stdout(const char* module, int line, const char* fmt, ...) {
    char msg[kMsgMax];
    va_list ap;
    va_start(ap, fmt);
    format(msg, fmt, ap);
    va_end(ap);
    to_stdout(module, line, msg);
}

void log_stdout_time(const char* module, int line, const char* fmt, ...) {
    char msg[kMsgMax];
    va_list ap;
    va_start(ap, fmt);
    format(msg, fmt, ap);
    va_end(ap);
    std::time_t now = std::time(nullptr);
    char tm_text[64];
    std::tm local{};
    localtime_r(&now, &local);
    if (std::strftime(tm_text, sizeof tm_text, "%a %b %e %H:%M:%S %Y\n", &local) == 0) tm_text[0] = '\0';
    std::printf("%s %s %d : %s", tm_text, module, line, msg);
    std::fflush(stdout);
}

void print_msg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

}  // namespace avhub
