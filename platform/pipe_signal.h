// Holding SIGPIPE back around a call that writes to a socket without MSG_NOSIGNAL (sendfile,
// OpenSSL's plain write()), so that a vanished peer gives EPIPE instead of ending the process.
#pragma once

#include <csignal>

namespace qorda::platform {

class EventLoop;

// Blocks SIGPIPE for its lifetime and takes off again one that a vanished peer raised meanwhile
// (unless the thread held it back already); errno is kept across the destructor. Nothing at all
// when `loop` already holds SIGPIPE through its signal watch (the service does): a raised one is
// then read from the loop's signalfd, and the two mask calls per write are saved.
class PipeSignalHold {
 public:
  explicit PipeSignalHold(const EventLoop* loop);
  ~PipeSignalHold();
  PipeSignalHold(const PipeSignalHold&) = delete;
  PipeSignalHold& operator=(const PipeSignalHold&) = delete;

 private:
  bool active_ = false;
  sigset_t pipe_only_{};
  sigset_t old_{};
};

}  // namespace qorda::platform
