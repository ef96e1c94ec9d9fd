// Whole-file advisory lock (flock) on a file that is never written: no
// planted link can make the holder change another file, and a lock owned by
// an open file description is shared with a forked child, so a daemon that
// detaches keeps it after its starting process exits.
#include "instance/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace instance {

Lock take(const std::string& dir, const std::string& name) {
    const std::string path = dir + "/" + name + ".lock";
    // Non-blocking open: a FIFO planted there must not hold the start.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return {-1, "cannot open " + path + ": " + std::strerror(errno)};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return {-1, path + " is not a regular file"};
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) return {-1, "another " + name + " is running (" + path + " is locked)"};
        return {-1, "cannot lock " + path + ": " + std::strerror(err)};
    }
    return {fd, {}};
}

bool hold(const char* name) {
    const Lock lock = take(kLockDir, name);
    if (lock.fd >= 0) return true;  // kept open until the process ends
    std::fprintf(stderr, "%s: not started: %s\n", name, lock.why.c_str());
    return false;
}

}  // namespace instance
