// One instance per daemon: avhub, launcher and tonecue each take an
// exclusive lock on /run/lock/<name>.lock before they touch anything
// another copy of them would be using (FIFOs, sockets, record files), and
// hold it until they end. The kernel drops the lock when the holder dies,
// however it dies, so a lock left by a dead process never blocks a start.
#pragma once

#include <string>

namespace instance {

inline constexpr const char* kLockDir = "/run/lock";

struct Lock {
    int fd = -1;       // the held lock (close-on-exec; survives fork); -1 when refused
    std::string why;   // the refusal, one line without a newline; empty when held
};

// Takes DIR/NAME.lock without waiting. The file is created when missing
// and never written; a link or anything but a regular file there is
// refused. A fork shares the lock with its parent.
Lock take(const std::string& dir, const std::string& name);

// The daemons' use: takes kLockDir/NAME.lock for the rest of the process's
// life. When another instance holds it (or it cannot be taken), prints the
// one reason line "NAME: not started: ..." on standard error and returns
// false; the caller then exits with a failure status, having changed
// nothing.
bool hold(const char* name);

}  // namespace instance
