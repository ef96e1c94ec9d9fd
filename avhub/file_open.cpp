// Regular-file opening for names that come from outside.
#include "file_open.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace avhub {

namespace {

// statfs f_type values of the file systems media is read from. An allow
// list: the kernel keeps adding pseudo file systems whose files wait for
// events, and a file system missing here costs a refused clip, not a frozen
// loop.
constexpr auto kMediaFileSystems = std::to_array<std::uint32_t>({
    // local disks
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0xF2F52010,  // f2fs
    0x3153464A,  // jfs
    0x52654973,  // reiserfs
    0x3434,      // nilfs2
    0x2FC12FC1,  // zfs
    0xCA451A4E,  // bcachefs
    0x4D44,      // vfat, msdos
    0x2011BAB0,  // exfat
    0x5346544E,  // ntfs, ntfs3
    0x482B,      // hfsplus
    0x9660,      // iso9660
    0x15013346,  // udf
    0x794C7630,  // overlay (of the file systems above)
    // flash and read-only images
    0x24051905,  // ubifs
    0x72B6,      // jffs2
    0x5941FF53,  // yaffs2
    0x73717368,  // squashfs
    0xE0F5E1E2,  // erofs
    0x28CD3D45,  // cramfs
    0x453DCD28,  // cramfs, other byte order
    0x7275,      // romfs
    // memory
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
    // the kernel's network clients: data files served by a file server,
    // which benches mount their media and root from
    0x6969,      // nfs
    0xFF534D42,  // cifs
    0xFE534D42,  // smb2, smb3
    0x517B,      // smb
    0x01021997,  // 9p
    0x00C36400,  // ceph
    0x5346414F,  // afs
    0x6B414653,  // kafs
});

}  // namespace

bool media_file_system(std::uint32_t f_type) {
    return std::find(kMediaFileSystems.begin(), kMediaFileSystems.end(), f_type) != kMediaFileSystems.end();
}

int open_regular_file(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    struct statfs fs {};
    int err = 0;
    if (::fstat(fd, &st) != 0) err = errno;
    else if (S_ISDIR(st.st_mode)) err = EISDIR;
    else if (!S_ISREG(st.st_mode)) err = EINVAL;
    else if (::fstatfs(fd, &fs) != 0) err = errno;
    else if (!media_file_system(static_cast<std::uint32_t>(fs.f_type))) err = EMEDIUMTYPE;
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
