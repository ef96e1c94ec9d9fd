// Readiness report to the service manager that started a daemon (the
// NOTIFY_SOCKET datagram protocol of systemd's sd_notify(3)), written out
// so the daemons need no library for it. Started any other way, a daemon
// has no NOTIFY_SOCKET and nothing is sent.
#pragma once

namespace notify {

// Sends "READY=1" to the socket NOTIFY_SOCKET names, if any, without
// waiting, and drops the variable so that the programs the daemon starts
// (through the shell or a launch request) do not report for it. Returns
// false when a named socket could not be reached.
bool ready();

}  // namespace notify
