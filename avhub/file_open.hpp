// Opening files whose names come from outside (clips, tones): only regular
// files, so that a FIFO, a device, a socket or a directory of that name can
// never hold the loop in an open or a read.
#pragma once

namespace avhub {

// Opens path read-only and close-on-exec when it names a regular file.
// Returns the descriptor, or -1 with errno set (EISDIR for a directory,
// EINVAL for any other file that is not regular). The open itself does not
// wait: a FIFO without a writer is opened non-blocking and then refused.
int open_regular_file(const char* path);

}  // namespace avhub
