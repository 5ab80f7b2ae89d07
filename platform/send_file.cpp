#include "platform/send_file.h"

#include <sys/sendfile.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/event_loop.h"
#include "platform/pipe_signal.h"

namespace qorda::platform {
namespace {

std::atomic<bool> g_refused{false};

}  // namespace

void set_send_file_refused(bool on) {
  g_refused.store(on, std::memory_order_relaxed);
}

IoResult send_file(Socket& s, File& file, uint64_t offset, size_t count) {
  if (!s.valid() || !file.valid()) return IoResult{0, EBADF};
  if (g_refused.load(std::memory_order_relaxed)) return IoResult{0, ENOSYS};
  if (offset > static_cast<uint64_t>(INT64_MAX)) return IoResult{0, EINVAL};
  auto off = static_cast<off_t>(offset);
  ssize_t n;
  int err = 0;
  {
    PipeSignalHold hold(s.loop());  // sendfile has no MSG_NOSIGNAL
    do n = ::sendfile(s.fd(), file.fd(), &off, count);
    while (n < 0 && errno == EINTR);
    err = n < 0 ? errno : 0;
  }
  if (n < 0) {
    IoResult r{0, err};
    if (r.would_block() && s.loop()) s.loop()->note_send_blocked(s.fd());
    return r;
  }
  return IoResult{static_cast<size_t>(n), 0};
}

}  // namespace qorda::platform
