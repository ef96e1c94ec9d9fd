// Regular-file opening for names that come from outside.
#include "file_open.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace avhub {

int open_regular_file(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0) err = errno;
    else if (S_ISDIR(st.st_mode)) err = EISDIR;
    else if (!S_ISREG(st.st_mode)) err = EINVAL;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    // Reads of a regular file do not wait for a peer; blocking reads keep
    // the readers' end-of-file and error handling as they are.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace avhub
