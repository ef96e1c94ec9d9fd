// Opening files whose names come from outside (clips, tones): only regular
// files on file systems whose reads end, so that a FIFO, a device, a socket,
// a directory or an event file of a kernel or user-space file system can
// never hold the loop in an open or a read.
#pragma once

#include <cstdint>

namespace avhub {

// Opens path read-only and close-on-exec when it names a regular file on a
// file system avhub reads media from. Returns the descriptor, or -1 with
// errno set: EISDIR for a directory, EINVAL for any other file that is not
// regular, EMEDIUMTYPE for a regular file on any other file system. The open
// itself does not wait: a FIFO without a writer is opened non-blocking and
// then refused.
int open_regular_file(const char* path);

// True for the file systems (statfs f_type) whose regular files hold data
// that a read returns without waiting for an event: local disks, flash and
// memory file systems, and the kernel's network file systems. Everything
// else is refused: proc, sys, debug and trace files that block until
// something happens, FUSE files served by a process that may never answer,
// and any file system this list does not know.
bool media_file_system(std::uint32_t f_type);

}  // namespace avhub
