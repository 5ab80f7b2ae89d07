// Zero-copy sending of a file's bytes to a socket (sendfile), with a switch that makes it refuse
// as a file system without support does, so the callers' fallback can be exercised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/result.h"
#include "platform/socket.h"

namespace qorda::platform {

// Sends up to `count` bytes of `file` from `offset` (the file's own offset is left alone) to the
// non-blocking socket `s`. n == 0 with no error: the file ends at `offset`. EAGAIN when the
// socket has no room (the loop then posts FD_WRITE again once it has, as after Socket::send).
// EINVAL or ENOSYS when the file or socket cannot be sent this way; the caller reads and sends.
// Never raises SIGPIPE: a vanished peer gives EPIPE or ECONNRESET.
IoResult send_file(Socket& s, File& file, uint64_t offset, size_t count);

// For tests: while on, send_file refuses every call with ENOSYS, as a kernel or file system
// without support does.
void set_send_file_refused(bool on);

}  // namespace qorda::platform
