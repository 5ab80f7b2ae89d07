#include "platform/pipe_signal.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "platform/event_loop.h"

namespace qorda::platform {

PipeSignalHold::PipeSignalHold(const EventLoop* loop)
    : active_(loop == nullptr || !loop->holds_signal(SIGPIPE)) {
  if (!active_) return;
  sigemptyset(&pipe_only_);
  sigaddset(&pipe_only_, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only_, &old_);
}

PipeSignalHold::~PipeSignalHold() {
  if (!active_) return;
  const int saved = errno;  // the guarded call's, which the caller reads next
  if (!sigismember(&old_, SIGPIPE)) {
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
      const timespec none{0, 0};
      while (sigtimedwait(&pipe_only_, nullptr, &none) == SIGPIPE) {
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  errno = saved;
}

}  // namespace qorda::platform
