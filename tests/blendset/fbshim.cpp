// Test stand-in for the framebuffer driver: on a regular file, the get and
// set region-parameter requests read and write the record at offset 0.
// FBSHIM_FAIL=get or FBSHIM_FAIL=set makes that request fail with EIO.
// Every other ioctl goes to the C library.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "ti81xxfb.h"

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

bool is_regular_file(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool fail_requested(const char* which) {
    const char* fail = std::getenv("FBSHIM_FAIL");
    return fail != nullptr && std::strcmp(fail, which) == 0;
}

int answer(int fd, unsigned long request, void* arg) {
    constexpr auto size = sizeof(struct ti81xxfb_region_params);
    if (request == TIFB_GET_PARAMS) {
        if (fail_requested("get")) return errno = EIO, -1;
        return pread(fd, arg, size, 0) == static_cast<ssize_t>(size) ? 0 : (errno = EIO, -1);
    }
    if (fail_requested("set")) return errno = EIO, -1;
    return pwrite(fd, arg, size, 0) == static_cast<ssize_t>(size) ? 0 : (errno = EIO, -1);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if ((request == TIFB_GET_PARAMS || request == TIFB_SET_PARAMS) && is_regular_file(fd)) {
        return answer(fd, request, arg);
    }
    static const auto real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    if (real == nullptr) return errno = ENOSYS, -1;
    return real(fd, request, arg);
}
