// Readiness report to the service manager that started the daemon in the
// foreground (the NOTIFY_SOCKET datagram protocol of systemd's
// sd_notify(3)), written out so the daemon needs no library for it.
#pragma once

namespace launcher {

// Sends "READY=1" to the socket NOTIFY_SOCKET names, if any, without
// waiting, and drops the variable so the programs the daemon starts do not
// report for it. Returns false when a named socket could not be reached.
bool notify_ready();

}  // namespace launcher
