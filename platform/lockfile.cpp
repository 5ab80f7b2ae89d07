#include "platform/lockfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qorda::platform {

namespace {

// The pid the holder wrote, or 0 when the file holds none (yet).
long read_pid(int fd) {
  char buf[32] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  long pid = std::strtol(buf, &end, 10);
  return end != buf && pid > 0 ? pid : 0;
}

}  // namespace

Result<InstanceLock> InstanceLock::acquire(const std::string& path) {
  // SECURITY: the file is truncated and rewritten below; refusing a symbolic link stops a link
  // planted in the home from making a server run as root clobber another file.
  int raw = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (raw < 0) return Status::from_errno("can't open lock file " + path);
  UniqueFd fd(raw);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      long pid = read_pid(fd.get());
      std::string who = pid > 0 ? "pid " + std::to_string(pid) : "pid unknown";
      return Status::error(EWOULDBLOCK,
                           "another qorda is already running on this home (" + who + ")");
    }
    return Status::from_errno("can't lock " + path);
  }
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(::getpid()));
  // The pid is only informative; failing to record it does not make the lock less held.
  if (::ftruncate(fd.get(), 0) == 0) {
    ssize_t w = ::pwrite(fd.get(), buf, static_cast<size_t>(n), 0);
    (void)w;
  }
  return InstanceLock(std::move(fd));
}

Result<InstanceLock> InstanceLock::acquire_home(const std::string& home) {
  return acquire(home + "/" + kLockFileName);
}

}  // namespace qorda::platform
