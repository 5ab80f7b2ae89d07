// The single-instance lock: one `qorda serve` per home. An advisory lock (flock) on
// <home>/qorda.lock, held for the life of the InstanceLock and released by the kernel when the
// process ends in any way, so a crash never leaves a stale lock behind. The holder's pid is
// written into the file so that a refused second start can name it.
#pragma once

#include <string>

#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::platform {

inline constexpr const char* kLockFileName = "qorda.lock";

class InstanceLock {
 public:
  InstanceLock() = default;  // holds nothing
  InstanceLock(InstanceLock&&) noexcept = default;
  InstanceLock& operator=(InstanceLock&&) noexcept = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() = default;  // closing the descriptor releases the lock

  // Takes the lock on the file `path` (created when absent). When another process holds it the
  // error is EWOULDBLOCK and the message names that process ("another qorda is already running
  // on this home (pid 1234)").
  static Result<InstanceLock> acquire(const std::string& path);
  // The same for the lock file of a home directory.
  static Result<InstanceLock> acquire_home(const std::string& home);

  bool held() const { return fd_.valid(); }

 private:
  explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // the open, locked lock file
};

}  // namespace qorda::platform
