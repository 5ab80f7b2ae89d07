#include "platform/logfile.h"

#include <fcntl.h>
#include <unistd.h>

namespace qorda::platform {

Result<UniqueFd> open_append(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return Status::from_errno(path);
  return UniqueFd(fd);
}

IoResult write_once(int fd, std::string_view data) {
  for (;;) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n >= 0) return IoResult{static_cast<size_t>(n), 0};
    if (errno != EINTR) return IoResult{0, errno};
  }
}

}  // namespace qorda::platform
