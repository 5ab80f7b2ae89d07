#include "platform/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/event_loop.h"

namespace qorda::platform {
namespace {

// A socket address for a path, through the directory's descriptor when the path is too long
// for sun_path. The descriptor must stay open while the address is used.
struct UnixAddr {
  sockaddr_un sa{};
  UniqueFd dir;
};

Status make_addr(const std::string& path, UnixAddr* out) {
  out->sa.sun_family = AF_UNIX;
  std::string usable = path;
  if (usable.size() >= sizeof out->sa.sun_path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return Status::error(ENAMETOOLONG, path);
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    out->dir.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!out->dir) return Status::from_errno(dir);
    usable = "/proc/self/fd/" + std::to_string(out->dir.get()) + path.substr(slash);
    if (usable.size() >= sizeof out->sa.sun_path) return Status::error(ENAMETOOLONG, path);
  }
  std::memcpy(out->sa.sun_path, usable.c_str(), usable.size() + 1);
  return Status::success();
}

Result<UniqueFd> new_local_socket(int flags = 0) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return Status::from_errno("socket");
  return UniqueFd(fd);
}

// connect() on a blocking descriptor; the error code, 0 when connected.
int connect_to(int fd, const std::string& path) {
  UnixAddr a;
  if (Status st = make_addr(path, &a); !st.ok()) return st.err;
  int rc;
  do rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a.sa), sizeof a.sa);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

}  // namespace

Result<LocalProbe> probe_local_socket(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return LocalProbe::Absent;
    return Status::from_errno(path);
  }
  if (!S_ISSOCK(st.st_mode)) return LocalProbe::NotASocket;
  // Non-blocking: a listener whose queue is full answers EAGAIN at once instead of holding
  // this start up.
  auto fd = new_local_socket(SOCK_NONBLOCK);
  if (!fd.ok()) return fd.status();
  const int err = connect_to(fd->get(), path);
  if (err == 0) return LocalProbe::Live;
  if (err == ECONNREFUSED) return LocalProbe::Stale;
  // A full backlog (EAGAIN) means somebody listens.
  if (err == EAGAIN) return LocalProbe::Live;
  return Status::error(err, path);
}

Result<Socket> listen_local(EventLoop* loop, const std::string& path, int backlog,
                            LocalFileId* id) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  // SECURITY: the socket is bound where only this user can reach it (a new 0700 directory),
  // gets its 0600 mode there and only then takes its public name: no other local user can
  // connect in between, and no process-wide umask is changed behind other threads' backs.
  std::string temp = dir + "/.qorda.sock.XXXXXX";
  std::vector<char> buf(temp.begin(), temp.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr)
    return Status::from_errno("can't create a directory in " + dir);
  temp = buf.data();
  const std::string inner = temp + "/s";
  auto cleanup = [&] {
    ::unlink(inner.c_str());
    ::rmdir(temp.c_str());
  };
  auto fd = new_local_socket();
  if (!fd.ok()) {
    cleanup();
    return fd.status();
  }
  UnixAddr a;
  if (Status st = make_addr(inner, &a); !st.ok()) {
    cleanup();
    return st;
  }
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&a.sa), sizeof a.sa) != 0) {
    Status st = Status::from_errno("bind " + path);
    cleanup();
    return st;
  }
  if (::chmod(inner.c_str(), 0600) != 0 || ::rename(inner.c_str(), path.c_str()) != 0) {
    Status st = Status::from_errno(path);
    cleanup();
    return st;
  }
  ::rmdir(temp.c_str());
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    id->dev = static_cast<uint64_t>(st.st_dev);
    id->ino = static_cast<uint64_t>(st.st_ino);
  }
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    Status err = Status::from_errno("fcntl");
    ::unlink(path.c_str());
    return err;
  }
  const int raw = fd->get();
  if (loop != nullptr) loop->note_created(raw);
  Socket s = Socket::adopt(std::move(*fd), loop);
  if (Status ls = s.listen(backlog); !ls.ok()) {
    ::unlink(path.c_str());
    return ls;
  }
  return s;
}

void remove_local_socket(const std::string& path, const LocalFileId& id) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  if (static_cast<uint64_t>(st.st_dev) != id.dev || static_cast<uint64_t>(st.st_ino) != id.ino) {
    return;
  }
  ::unlink(path.c_str());
}

Result<UniqueFd> connect_local(const std::string& path, int timeout_ms) {
  auto fd = new_local_socket();
  if (!fd.ok()) return fd;
  if (timeout_ms > 0) {
    // A server whose queue is full (or that is stuck) makes connect and writes wait this long
    // at most, then fail with EAGAIN.
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    if (::setsockopt(fd->get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
      return Status::from_errno("SO_SNDTIMEO");
    }
  }
  if (int err = connect_to(fd->get(), path); err != 0) return Status::error(err, path);
  return fd;
}

IoResult read_waiting(int fd, void* buf, size_t len, int timeout_ms) {
  if (len == 0) return IoResult{0, EINVAL};
  pollfd p{fd, POLLIN, 0};
  int rc;
  do rc = ::poll(&p, 1, timeout_ms);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return IoResult{0, errno};
  if (rc == 0) return IoResult{0, ETIMEDOUT};
  ssize_t n;
  do n = ::recv(fd, buf, len, MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n < 0) return IoResult{0, errno};
  return IoResult{static_cast<size_t>(n), 0};
}

Result<PeerCredentials> peer_credentials(const Socket& s) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(s.fd(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return Status::from_errno("SO_PEERCRED");
  }
  return PeerCredentials{static_cast<uint32_t>(cred.uid), static_cast<uint32_t>(cred.gid),
                         static_cast<int32_t>(cred.pid)};
}

}  // namespace qorda::platform
