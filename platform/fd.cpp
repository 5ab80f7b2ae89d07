#include "platform/fd.h"

#include <unistd.h>

namespace qorda::platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace qorda::platform
