// Unix-domain stream sockets: the control socket a running server serves in its home, the
// connecting end the command-line tools use, and the credentials of the process at the other
// end. Paths longer than a socket address can hold are reached through the directory's
// descriptor (/proc/self/fd/N/name), so any home works.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fd.h"
#include "platform/result.h"
#include "platform/socket.h"

namespace qorda::platform {

// Who is at the other end of a connected local socket (SO_PEERCRED).
struct PeerCredentials {
  uint32_t uid = 0;
  uint32_t gid = 0;
  int32_t pid = 0;
};

// What lies at a socket path now.
enum class LocalProbe {
  Absent,      // nothing by that name
  Stale,       // a socket file that nobody answers on (its server ended without removing it)
  Live,        // a socket file a process answers on
  NotASocket,  // another kind of file (a symbolic link included)
};
Result<LocalProbe> probe_local_socket(const std::string& path);

// Identity of the socket file a listener made, so that only that file is removed at the end.
struct LocalFileId {
  uint64_t dev = 0;
  uint64_t ino = 0;
};

// Makes a listening socket at `path` with the permission bits 0600, reporting to `loop`. It is
// bound inside a new private directory (mode 0700) beside `path`, given its mode there and then
// renamed onto `path`, so no other user can connect to it before the mode is set and a stale
// socket file at `path` is replaced in one step. The caller decides that replacing is right
// (probe_local_socket, under the home's lock).
Result<Socket> listen_local(EventLoop* loop, const std::string& path, int backlog, LocalFileId* id);
// Removes `path` when it is still the file `id` (another server may have taken the name).
void remove_local_socket(const std::string& path, const LocalFileId& id);

// Connects to the socket at `path`; the descriptor is blocking. ENOENT: no such file;
// ECONNREFUSED: nobody answers; EACCES: the file's mode refuses this user; EAGAIN: the
// connection (or, later, a write) waited `timeout_ms` (0: no limit) in vain.
Result<UniqueFd> connect_local(const std::string& path, int timeout_ms = 0);
// Reads what is there, waiting up to `timeout_ms` (-1: no limit) for it; ETIMEDOUT when nothing
// came. n == 0: the other end closed.
IoResult read_waiting(int fd, void* buf, size_t len, int timeout_ms);

// The process at the other end of a connected local socket.
Result<PeerCredentials> peer_credentials(const Socket& s);

}  // namespace qorda::platform
