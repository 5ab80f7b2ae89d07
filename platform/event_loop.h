// The one-thread event loop: socket notifications, reverse look-up answers and the 250 ms tick,
// delivered as messages to one handler (the engine's nproc), in arrival order, each handled to
// completion before the next.
//
// Notification semantics callers rely on (for sockets whose events were requested with
// select_events):
//  - FD_READ / FD_ACCEPT: posted when data (a pending connection) is there, and not again until
//    the program has called recv (accept) on that socket since the last one.
//  - FD_WRITE: posted once as soon as it is requested on a connected socket (and once when a
//    connect completes), then again only after a send failed with "would block" and the socket
//    became writable again.
//  - FD_CONNECT: posted once when a non-blocking connect completes, with its error (0 = success).
//  - FD_CLOSE: posted once when the peer closed or reset the connection, and only after every
//    byte received before the close has been handed to the program through FD_READ/recv.
//  - Closing a socket (Socket::close or its destructor) drops every message still queued for it,
//    so a stale message never reaches a newer socket that got the same descriptor number.
//  - Mask 0 cancels the notifications and drops the messages still queued for the socket; a
//    message whose event has left the mask by the time it would be dispatched is dropped too.
//    Requesting events again re-enables FD_READ/FD_ACCEPT and, on a connected socket, FD_WRITE.
//  - An accept that fails for lack of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM)
//    leaves FD_ACCEPT off for one tick period (kAcceptBackoffMs), then re-enables it, so a full
//    descriptor table neither spins the loop nor stops accepting for good.
// Look-up answers carry 0 when a name was found, ENOENT when the address has no name, ETIMEDOUT
// when no server answered, and another errno value for other failures.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/limits.h"
#include "platform/result.h"

namespace qorda::platform {

// Event bits, numbered as the engine knows them.
enum : uint32_t {
  FD_READ = 1,
  FD_WRITE = 2,
  FD_ACCEPT = 8,
  FD_CONNECT = 16,
  FD_CLOSE = 32,
};

// Local: the server's own control channel (a Unix-domain socket), delivered to the local
// handler, so it keeps working while the engine is closed and its handler is a no-op.
enum class MsgKind : uint8_t { Timer, Control, Lookup, Listen, Data, Local };

struct SockAddr;

struct Message {
  MsgKind kind = MsgKind::Timer;
  int handle = -1;     // socket descriptor, or look-up handle for MsgKind::Lookup
  uint32_t event = 0;  // one FD_* bit for socket messages
  int error = 0;       // errno value; for look-ups 0 when a name was found
  std::string host;    // look-up answer: the official host name (empty on error)
};

class EventLoop {
 public:
  using Handler = std::function<void(const Message&)>;

  // Creates the epoll set, the timer descriptor and the look-up channel. The loop owns all of them.
  static Result<std::unique_ptr<EventLoop>> create();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The procedure every message is handed to. May be replaced from inside a handler (the new
  // one takes over from the next run_once).
  void set_handler(Handler h);
  // The procedure MsgKind::Local messages are handed to instead of the one above (none: they
  // are dropped). It is not replaced when the engine opens or closes.
  void set_local_handler(Handler h);

  // The epoll descriptor, so that a GUI toolkit can watch it and call run_once(0). Whenever
  // control is outside the loop it is readable while messages wait in the queue (including
  // those queued by select_events, post_event or a handler), and not readable once the queue
  // is empty and nothing else is ready.
  int epoll_fd() const;

  // Requests notifications for `fd` as messages of `kind`; mask 0 cancels them. The loop keeps
  // the registration until the socket is closed through Socket (which calls forget()).
  Status select_events(int fd, MsgKind kind, uint32_t mask);

  // Queues `event` for a socket as if the system had reported it, behind every message already
  // queued: for work a handler chose to continue in a later turn. Dropped, like any message,
  // when the socket's request has changed by then or no longer holds `event`. EINVAL when the
  // socket has no request for `event`.
  Status post_event(int fd, uint32_t event);

  // The periodic tick (MsgKind::Timer). Stopping drops any queued tick.
  Status start_timer(unsigned period_ms);
  void stop_timer();

  // Reverse look-up of an IPv4 address (network byte order). Returns a non-zero handle; the
  // answer arrives as a MsgKind::Lookup message with that handle. 0 means it could not start.
  uint32_t start_reverse_lookup(uint32_t ipv4_be);
  // Forgets the request: no answer is posted for it afterwards (a queued one is dropped too).
  void cancel_lookup(uint32_t handle);
  // Replaces the name servers taken from /etc/resolv.conf (used by tests, and where that file
  // names none). Addresses that cannot be set leave the previous servers in place.
  Status set_name_servers(const std::vector<SockAddr>& servers);

  // Waits up to timeout_ms (-1 = forever, 0 = poll) for events, then dispatches the messages
  // that are queued at that moment (messages posted by handlers wait for the next call).
  // Returns the number of messages dispatched. Not re-entrant: called from a handler it
  // returns 0 at once.
  int run_once(int timeout_ms);
  // Dispatches until stop() is called (from a handler or a signal path). Not re-entrant either.
  void run();
  void stop();

  // Wakes a blocked run_once from a signal handler or another thread (async-signal-safe).
  void wake();

  // Blocks these signals (in the calling thread, the process's only one) and delivers them through
  // the loop (signalfd): `on` is called on the loop's thread, between messages. Replaces any
  // earlier set.
  Status watch_signals(std::initializer_list<int> signals, std::function<void(int)> on);
  // Whether watch_signals holds `signo` back now (blocked, and taken from the signalfd).
  bool holds_signal(int signo) const;

  // Hooks used by Socket to re-enable notifications; not for general callers.
  void note_recv(int fd);             // recv was called: FD_READ may be posted again
  void note_accept(int fd, int err);  // accept was called (err: its result)
  void note_send_blocked(int fd);     // send would block: post FD_WRITE when writable again
  void note_connect(int fd);          // a non-blocking connect started: post FD_CONNECT when done
  void note_connected(int fd);        // an accepted socket: connected from the start
  void note_created(int fd);          // a new socket of ours: its role needs no probing
  void note_listen(int fd);           // the socket listens: FD_ACCEPT applies to it
  void forget(int fd);  // the socket is being closed: drop its registration and messages

  struct Impl;

 private:
  EventLoop();
  std::unique_ptr<Impl> impl_;
};

}  // namespace qorda::platform
