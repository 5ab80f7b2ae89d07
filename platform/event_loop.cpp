// The event loop over epoll. One epoll set holds the sockets that asked for notifications, a
// timerfd for the tick, an eventfd for wake(), an optional signalfd and the resolver's sockets.
// Ready events are turned into queued messages; the queue is then dispatched in order.
//
// Per-socket state lives in a table indexed by descriptor. Every registration carries a
// generation number that is copied into each message posted for it; closing the socket (or
// cancelling its events) bumps the generation, so queued messages of the old owner of a
// descriptor number are recognised and dropped at dispatch.
#include "platform/event_loop.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/fd.h"
#include "platform/socket.h"

namespace qorda::platform {
namespace {

// What an epoll entry stands for; stored in the upper half of epoll_event.data.u64.
enum class Tag : uint32_t { Socket = 1, Timer, Wake, Signal, Resolver };

uint64_t pack(Tag t, int fd) {
  return (static_cast<uint64_t>(t) << 32) | static_cast<uint32_t>(fd);
}
Tag tag_of(uint64_t v) {
  return static_cast<Tag>(v >> 32);
}
int fd_of(uint64_t v) {
  return static_cast<int>(static_cast<uint32_t>(v));
}

// What the socket is doing, which decides which readiness means what.
enum class Role : uint8_t { Unknown, Fresh, Listening, Connecting, Connected, Dead };

// One registration. Default state = "nothing known, nothing requested".
struct Reg {
  uint32_t gen = 0;   // bumped whenever queued messages must be dropped
  uint32_t mask = 0;  // requested FD_* bits; 0 = no notifications
  MsgKind kind = MsgKind::Data;
  Role role = Role::Unknown;
  bool read_armed = true;     // FD_READ may be posted (recv called since the last one)
  bool accept_armed = true;   // FD_ACCEPT may be posted (accept called since the last one)
  bool write_wanted = false;  // post FD_WRITE at the next writability
  bool write_queued = false;  // an FD_WRITE for this registration waits in the queue
  bool eof_seen = false;      // the peer closed or reset; the read side is finished
  bool close_posted = false;  // FD_CLOSE was posted (only ever once)
  bool in_backoff = false;    // accept ran out of descriptors; FD_ACCEPT off for a while
  int close_err = 0;          // error the close carried
  uint32_t interest = 0;      // events currently in the epoll set
  bool in_epoll = false;
  bool stale = false;      // listed in Impl::stale: the interest set is brought in line later
  bool made_here = false;  // created by Socket::tcp: every change of role is announced
};

struct Queued {
  Message msg;
  uint32_t gen = 0;  // registration (or timer) generation at posting time
};

uint64_t monotonic_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int socket_error(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int lookup_error(int status) {
  switch (status) {
    case ARES_SUCCESS:
      return 0;
    case ARES_ENOTFOUND:
    case ARES_ENODATA:
    case ARES_ENONAME:
      return ENOENT;
    case ARES_ETIMEOUT:
      return ETIMEDOUT;
    case ARES_ENOMEM:
      return ENOMEM;
    case ARES_ECONNREFUSED:
      return ECONNREFUSED;
    default:
      return EIO;
  }
}

std::once_flag g_ares_once;
int g_ares_init = ARES_SUCCESS;

// A resolver request. Owned by the loop from start until the resolver's callback runs (the
// resolver always calls back: with the answer, on cancellation or on channel destruction).
struct LookupReq {
  EventLoop::Impl* impl;
  uint32_t handle;
  bool cancelled = false;
};
}  // namespace

struct EventLoop::Impl {
  UniqueFd epfd, timerfd, wakefd, sigfd;
  std::vector<Reg> regs;
  // Sockets whose interest set may no longer match what can be posted for them. Readiness is
  // only read by epoll_wait, so the set need only be right when run_once waits or returns;
  // deferring the epoll_ctl calls until then lets a disarm and its re-arm (FD_READ posted, recv
  // called) cancel out instead of costing two system calls per message.
  std::vector<int> stale;
  std::deque<Queued> queue;
  Handler handler;
  Handler local_handler;
  std::atomic<bool> stopping{false};
  bool dispatching = false;
  // Inside run_once or run(): whatever is queued now is dispatched before control returns, so
  // posting needs no wake.
  bool turning = false;
  // The wake eventfd was written because messages wait in the queue, and not read since.
  bool wake_for_queue = false;

  uint32_t timer_gen = 0;
  bool timer_running = false;
  bool tick_queued = false;

  std::vector<std::pair<int, uint32_t>> backoff;  // (fd, gen) with FD_ACCEPT off
  uint64_t backoff_until = 0;

  sigset_t watched{};
  bool watching = false;
  std::function<void(int)> on_signal;
  std::vector<int> raised;  // signals read this round, reported before dispatching

  ares_channel channel = nullptr;
  bool destroying = false;
  uint32_t next_handle = 1;
  std::unordered_map<uint32_t, LookupReq*> live;   // requests whose answer is still to come
  std::unordered_set<uint32_t> answered;           // answers queued and not cancelled
  std::unordered_map<int, uint32_t> resolver_fds;  // resolver socket -> epoll events

  Reg& reg(int fd) {
    if (static_cast<size_t>(fd) >= regs.size()) regs.resize(static_cast<size_t>(fd) + 1);
    return regs[static_cast<size_t>(fd)];
  }
  Reg* find(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= regs.size()) return nullptr;
    return &regs[static_cast<size_t>(fd)];
  }

  void post(int fd, const Reg& r, uint32_t event, int err) {
    Queued q;
    q.msg.kind = r.kind;
    q.msg.handle = fd;
    q.msg.event = event;
    q.msg.error = err;
    q.gen = r.gen;
    queue.push_back(std::move(q));
  }

  // Brings the epoll interest set of `fd` in line with what may be posted for it. A socket with
  // nothing to wait for leaves the set entirely: epoll reports EPOLLHUP/EPOLLERR regardless of
  // the interest, and a socket whose FD_READ is still unread must not make epoll_wait spin.
  // Returns 0, or the errno of an epoll_ctl that failed (the socket then gets no events).
  int update(int fd, Reg& r) {
    uint32_t want = 0;
    if (r.mask != 0) {
      switch (r.role) {
        case Role::Listening:
          if ((r.mask & FD_ACCEPT) && r.accept_armed && !r.in_backoff) want = EPOLLIN;
          break;
        case Role::Connecting:
          want = EPOLLOUT;
          break;
        case Role::Connected:
          if (!r.eof_seen) {
            if (r.mask & FD_READ) {
              if (r.read_armed) want |= EPOLLIN | EPOLLRDHUP;
            } else if (r.mask & FD_CLOSE) {
              want |= EPOLLRDHUP;
            }
          }
          if ((r.mask & FD_WRITE) && r.write_wanted) want |= EPOLLOUT;
          break;
        default:
          break;
      }
    }
    if (r.in_epoll && want == r.interest) return 0;
    if (want == 0) {
      if (r.in_epoll) ::epoll_ctl(epfd.get(), EPOLL_CTL_DEL, fd, nullptr);
      r.in_epoll = false;
      r.interest = 0;
      return 0;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = pack(Tag::Socket, fd);
    int op = r.in_epoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int rc = ::epoll_ctl(epfd.get(), op, fd, &ev);
    if (rc != 0 && op == EPOLL_CTL_MOD && errno == ENOENT) {
      rc = ::epoll_ctl(epfd.get(), EPOLL_CTL_ADD, fd, &ev);  // closed behind our back, reused
    }
    if (rc != 0) {
      int err = errno;
      r.in_epoll = false;
      r.interest = 0;
      return err;
    }
    r.in_epoll = true;
    r.interest = want;
    return 0;
  }

  // Marks the interest set of `fd` for update_stale().
  void mark_stale(int fd, Reg& r) {
    if (r.stale) return;
    r.stale = true;
    stale.push_back(fd);
  }

  void update_stale() {
    for (size_t i = 0; i < stale.size(); ++i) {
      Reg* r = find(stale[i]);
      if (!r || !r->stale) continue;  // forgotten meanwhile
      r->stale = false;
      update(stale[i], *r);
    }
    stale.clear();
  }

  void peer_closed(int fd, Reg& r, int err) {
    r.eof_seen = true;
    r.close_err = err;
    if ((r.mask & FD_CLOSE) && !r.close_posted) {
      r.close_posted = true;
      post(fd, r, FD_CLOSE, err);
    }
  }

  void on_socket(int fd, uint32_t ev) {
    Reg* rp = find(fd);
    if (!rp || !rp->in_epoll) return;
    Reg& r = *rp;
    const bool hup = ev & (EPOLLERR | EPOLLHUP);
    switch (r.role) {
      case Role::Connecting:
        if ((ev & EPOLLOUT) || hup) {
          int err = socket_error(fd);
          r.role = err ? Role::Dead : Role::Connected;
          if (r.mask & FD_CONNECT) post(fd, r, FD_CONNECT, err);
          if (!err && (r.mask & FD_WRITE)) post(fd, r, FD_WRITE, 0);
          r.write_wanted = false;
        }
        break;
      case Role::Listening:
        if ((ev & EPOLLIN || hup) && r.accept_armed && (r.mask & FD_ACCEPT)) {
          r.accept_armed = false;
          post(fd, r, FD_ACCEPT, 0);
        }
        break;
      case Role::Connected:
        if (!r.eof_seen) {
          if (r.mask & FD_READ) {
            if (r.read_armed && (ev & (EPOLLIN | EPOLLRDHUP) || hup)) {
              // Data and end of stream look alike to epoll once the peer has closed; a one-byte
              // peek then tells them apart, so the close is reported only once every byte
              // before it has been read. Without a close, readable means data.
              char c;
              ssize_t n = 1;
              if ((ev & EPOLLRDHUP) || hup) {
                do n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
                while (n < 0 && errno == EINTR);
              }
              if (n > 0) {
                r.read_armed = false;
                post(fd, r, FD_READ, 0);
              } else if (n == 0) {
                peer_closed(fd, r, socket_error(fd));
              } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                peer_closed(fd, r, errno);
              } else if (hup) {
                peer_closed(fd, r, socket_error(fd));
              }
            }
          } else if ((r.mask & FD_CLOSE) && (ev & EPOLLRDHUP || hup)) {
            peer_closed(fd, r, socket_error(fd));
          }
        }
        if (r.write_wanted && (r.mask & FD_WRITE) && (ev & EPOLLOUT || hup)) {
          r.write_wanted = false;
          post(fd, r, FD_WRITE, 0);
        }
        break;
      default:
        break;
    }
    mark_stale(fd, r);
  }

  void on_timer() {
    uint64_t expirations = 0;
    ssize_t n = ::read(timerfd.get(), &expirations, sizeof expirations);
    if (n != sizeof expirations || expirations == 0 || !timer_running) return;
    if (!tick_queued) {  // missed expirations coalesce into one tick
      tick_queued = true;
      Queued q;
      q.msg.kind = MsgKind::Timer;
      q.gen = timer_gen;
      queue.push_back(std::move(q));
    }
  }

  void on_wake() {
    // One read takes the whole count and resets it; nothing to take means nobody woke us.
    uint64_t v;
    ssize_t n = ::read(wakefd.get(), &v, sizeof v);
    (void)n;
    wake_for_queue = false;
  }

  // A caller that watches epoll_fd() runs the loop only when the descriptor is readable, and a
  // message in the queue makes nothing in the epoll set ready: the wake eventfd stands in for
  // it while control is outside the loop. Written once however many messages wait.
  void signal_queue() {
    if (wake_for_queue || queue.empty()) return;
    uint64_t one = 1;
    if (::write(wakefd.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
      wake_for_queue = true;
    }
  }

  // Called after something was queued: outside the loop, the watcher must learn of it.
  void queued() {
    if (!turning) signal_queue();
  }

  // Control leaves the loop: the descriptor is readable exactly when messages wait (a wake
  // written for messages dispatched meanwhile is read back, or a watcher would spin).
  void leave_loop() {
    turning = false;
    if (!queue.empty()) {
      signal_queue();
    } else if (wake_for_queue) {
      on_wake();
    }
  }

  void on_signalfd() {
    signalfd_siginfo si;
    while (::read(sigfd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      raised.push_back(static_cast<int>(si.ssi_signo));
    }
  }

  // Resolver plumbing: its sockets join the same epoll set.
  static void resolver_sock_state(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<Impl*>(data);
    uint32_t want = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    auto it = self->resolver_fds.find(fd);
    if (want == 0) {
      if (it != self->resolver_fds.end()) {
        ::epoll_ctl(self->epfd.get(), EPOLL_CTL_DEL, fd, nullptr);
        self->resolver_fds.erase(it);
      }
      return;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = pack(Tag::Resolver, fd);
    if (it == self->resolver_fds.end()) {
      if (::epoll_ctl(self->epfd.get(), EPOLL_CTL_ADD, fd, &ev) == 0) self->resolver_fds[fd] = want;
    } else if (it->second != want) {
      ::epoll_ctl(self->epfd.get(), EPOLL_CTL_MOD, fd, &ev);
      it->second = want;
    }
  }

  static void resolver_answer(void* arg, int status, int /*timeouts*/, hostent* host) {
    auto* req = static_cast<LookupReq*>(arg);
    Impl* self = req->impl;
    const bool drop = req->cancelled || self->destroying || status == ARES_EDESTRUCTION ||
                      status == ARES_ECANCELLED;
    if (!req->cancelled) self->live.erase(req->handle);
    if (!drop) {
      Queued q;
      q.msg.kind = MsgKind::Lookup;
      q.msg.handle = static_cast<int>(req->handle);
      q.msg.error = lookup_error(status);
      if (status == ARES_SUCCESS && host && host->h_name) q.msg.host = host->h_name;
      if (q.msg.error == 0 && q.msg.host.empty()) q.msg.error = ENOENT;
      self->answered.insert(req->handle);
      self->queue.push_back(std::move(q));
      self->queued();  // a hosts-file answer arrives inside start_reverse_lookup
    }
    delete req;
  }

  void on_resolver(int fd, uint32_t ev) {
    if (!channel) return;
    ares_socket_t r = (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) ? fd : ARES_SOCKET_BAD;
    ares_socket_t w = (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) ? fd : ARES_SOCKET_BAD;
    ares_process_fd(channel, r, w);
  }

  void init_resolver() {
    std::call_once(g_ares_once, [] { g_ares_init = ares_library_init(ARES_LIB_INIT_ALL); });
    if (g_ares_init != ARES_SUCCESS) return;
    ares_options opts{};
    opts.sock_state_cb = &Impl::resolver_sock_state;
    opts.sock_state_cb_data = this;
    static char lookups[] = "fb";  // the hosts file first, then DNS
    opts.lookups = lookups;
    opts.timeout = kLookupTimeoutMs;
    opts.tries = kLookupTries;
    int optmask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_LOOKUPS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    if (ares_init_options(&channel, &opts, optmask) != ARES_SUCCESS) channel = nullptr;
  }

  // Milliseconds until the resolver or an accept back-off needs attention; -1 for none.
  int internal_timeout() {
    long best = -1;
    if (channel && !live.empty()) {
      timeval tv{};
      if (ares_timeout(channel, nullptr, &tv)) {
        best = static_cast<long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
      }
    }
    if (!backoff.empty()) {
      uint64_t now = monotonic_ms();
      long left = backoff_until > now ? static_cast<long>(backoff_until - now) : 0;
      if (best < 0 || left < best) best = left;
    }
    return best < 0 ? -1 : static_cast<int>(std::min<long>(best, INT_MAX));
  }

  // One turn: waits up to timeout_ms, then dispatches what is queued at that moment.
  int turn(int timeout_ms);

  void end_backoff() {
    if (backoff.empty() || monotonic_ms() < backoff_until) return;
    auto waiting = std::move(backoff);
    backoff.clear();
    for (auto [fd, gen] : waiting) {
      Reg* r = find(fd);
      if (!r || r->gen != gen || !r->in_backoff) continue;
      r->in_backoff = false;
      r->accept_armed = true;
      mark_stale(fd, *r);
    }
  }

  // Whether a queued message is still wanted by the time it would be dispatched.
  bool deliverable(const Queued& q) {
    switch (q.msg.kind) {
      case MsgKind::Timer:
        tick_queued = false;
        return timer_running && q.gen == timer_gen;
      case MsgKind::Lookup:
        return answered.erase(static_cast<uint32_t>(q.msg.handle)) > 0;
      default: {
        Reg* r = find(q.msg.handle);
        return r && r->gen == q.gen && r->kind == q.msg.kind && (r->mask & q.msg.event);
      }
    }
  }

  void drop_signal_watch() {
    if (!watching) return;
    if (sigfd) {
      ::epoll_ctl(epfd.get(), EPOLL_CTL_DEL, sigfd.get(), nullptr);
      on_signalfd();  // consume what is pending so unblocking does not deliver it
      raised.clear();
      sigfd.reset();
    }
    pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
    sigemptyset(&watched);
    watching = false;
  }

  ~Impl() {
    destroying = true;
    if (channel) ares_destroy(channel);  // calls back with ARES_EDESTRUCTION; nothing is posted
    channel = nullptr;
    for (auto& [h, req] : live) req->cancelled = true;  // not reached: destroy answered all
    live.clear();
    drop_signal_watch();
  }
};

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() = default;

Result<std::unique_ptr<EventLoop>> EventLoop::create() {
  std::unique_ptr<EventLoop> loop(new EventLoop());
  Impl& m = *loop->impl_;
  m.epfd.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!m.epfd) return Status::from_errno("epoll_create1");
  m.timerfd.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!m.timerfd) return Status::from_errno("timerfd_create");
  m.wakefd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!m.wakefd) return Status::from_errno("eventfd");
  for (auto [fd, tag] : {std::pair{m.timerfd.get(), Tag::Timer}, {m.wakefd.get(), Tag::Wake}}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = pack(tag, fd);
    if (::epoll_ctl(m.epfd.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return Status::from_errno("epoll");
  }
  m.init_resolver();  // without a resolver, look-ups fail to start; the loop still runs
  return loop;
}

void EventLoop::set_handler(Handler h) {
  impl_->handler = std::move(h);
}

void EventLoop::set_local_handler(Handler h) {
  impl_->local_handler = std::move(h);
}

int EventLoop::epoll_fd() const {
  return impl_->epfd.get();
}

namespace {
// What an unannounced descriptor is doing (for sockets not created through Socket).
Role probe_role(int fd, int* err) {
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &v, &len) != 0) {
    *err = errno;
    return Role::Unknown;
  }
  if (v) return Role::Listening;
  sockaddr_storage ss{};
  socklen_t sl = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0) return Role::Connected;
  return Role::Fresh;
}
}  // namespace

Status EventLoop::select_events(int fd, MsgKind kind, uint32_t mask) {
  Impl& m = *impl_;
  if (fd < 0) return Status::error(EBADF);
  if (kind == MsgKind::Timer || kind == MsgKind::Lookup) return Status::error(EINVAL);
  if (m.resolver_fds.count(fd)) return Status::error(EBUSY);
  Reg& r = m.reg(fd);
  if (r.role == Role::Unknown || (r.role == Role::Fresh && !r.made_here)) {
    int err = 0;
    Role role = probe_role(fd, &err);
    if (role == Role::Unknown) return Status::error(err);
    r.role = role;
  }
  if (mask == 0 || kind != r.kind) {
    ++r.gen;  // queued messages of the old request are void
    r.write_queued = false;
  }
  r.kind = kind;
  r.mask = mask;
  if (mask != 0) {
    r.read_armed = true;
    if (!r.in_backoff) r.accept_armed = true;
    if ((mask & FD_WRITE) && r.role == Role::Connected && !r.write_wanted && !r.write_queued) {
      // No send has been refused since the last writability: the socket can take bytes, so
      // FD_WRITE is posted now instead of after a round through epoll. After a refused send
      // the writability epoll reports posts it.
      r.write_queued = true;
      m.post(fd, r, FD_WRITE, 0);
    }
    if (r.eof_seen && !r.close_posted && (mask & FD_CLOSE)) {
      r.close_posted = true;
      m.post(fd, r, FD_CLOSE, r.close_err);
    }
    m.queued();
  }
  if (int err = m.update(fd, r); err != 0) return Status::error(err, "epoll_ctl");
  return Status::success();
}

Status EventLoop::post_event(int fd, uint32_t event) {
  Impl& m = *impl_;
  Reg* r = m.find(fd);
  if (r == nullptr || (r->mask & event) == 0) return Status::error(EINVAL);
  m.post(fd, *r, event, 0);
  m.queued();
  return Status::success();
}

Status EventLoop::start_timer(unsigned period_ms) {
  Impl& m = *impl_;
  if (period_ms == 0) return Status::error(EINVAL);
  itimerspec its{};
  its.it_interval.tv_sec = period_ms / 1000;
  its.it_interval.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
  its.it_value = its.it_interval;
  if (::timerfd_settime(m.timerfd.get(), 0, &its, nullptr) != 0) {
    return Status::from_errno("timerfd_settime");
  }
  ++m.timer_gen;
  m.timer_running = true;
  m.tick_queued = false;
  return Status::success();
}

void EventLoop::stop_timer() {
  Impl& m = *impl_;
  itimerspec its{};
  ::timerfd_settime(m.timerfd.get(), 0, &its, nullptr);
  ++m.timer_gen;
  m.timer_running = false;
  m.tick_queued = false;
}

uint32_t EventLoop::start_reverse_lookup(uint32_t ipv4_be) {
  Impl& m = *impl_;
  if (!m.channel) return 0;
  uint32_t handle = m.next_handle++;
  if (handle == 0 || m.live.count(handle) || m.answered.count(handle)) {
    // After 2^32 look-ups the counter wraps; skip 0 and handles still in use.
    do handle = m.next_handle++;
    while (handle == 0 || m.live.count(handle) || m.answered.count(handle));
  }
  auto* req = new LookupReq{&m, handle};
  m.live[handle] = req;
  in_addr a{};
  a.s_addr = ipv4_be;
  // A hosts-file answer calls back before this returns; the callback only queues.
  ares_gethostbyaddr(m.channel, &a, sizeof a, AF_INET, &Impl::resolver_answer, req);
  return handle;
}

void EventLoop::cancel_lookup(uint32_t handle) {
  Impl& m = *impl_;
  auto it = m.live.find(handle);
  if (it != m.live.end()) {
    it->second->cancelled = true;  // freed when the resolver calls back
    m.live.erase(it);
  }
  m.answered.erase(handle);
}

Status EventLoop::set_name_servers(const std::vector<SockAddr>& servers) {
  Impl& m = *impl_;
  if (!m.channel) return Status::error(ENOSYS, "no resolver");
  if (servers.empty()) return Status::error(EINVAL, "no name server given");
  std::string csv;
  for (const SockAddr& a : servers) {
    if (!csv.empty()) csv += ',';
    csv += a.dotted();
    if (a.port != 0) csv += ':' + std::to_string(a.port);
  }
  int rc = ares_set_servers_ports_csv(m.channel, csv.c_str());
  if (rc != ARES_SUCCESS) return Status::error(EINVAL, ares_strerror(rc));
  return Status::success();
}

int EventLoop::Impl::turn(int timeout_ms) {
  update_stale();
  if (!queue.empty()) timeout_ms = 0;
  int internal = internal_timeout();
  if (internal >= 0 && (timeout_ms < 0 || internal < timeout_ms)) timeout_ms = internal;

  epoll_event events[kMaxEventsPerWait];
  int n = ::epoll_wait(epfd.get(), events, kMaxEventsPerWait, timeout_ms);
  for (int i = 0; i < n; ++i) {
    uint64_t d = events[i].data.u64;
    switch (tag_of(d)) {
      case Tag::Socket:
        on_socket(fd_of(d), events[i].events);
        break;
      case Tag::Timer:
        on_timer();
        break;
      case Tag::Wake:
        on_wake();
        break;
      case Tag::Signal:
        on_signalfd();
        break;
      case Tag::Resolver:
        on_resolver(fd_of(d), events[i].events);
        break;
    }
  }
  if (channel && !live.empty()) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  end_backoff();

  if (!raised.empty() && on_signal) {
    auto signals = std::move(raised);
    raised.clear();
    auto on = on_signal;  // the callback may replace the watch
    for (int sig : signals) on(sig);
  }
  raised.clear();

  int dispatched = 0;
  size_t count = queue.size();  // messages posted by handlers wait for the next round
  if (count == 0) {
    update_stale();
    return 0;
  }
  Handler current = handler;  // a handler may replace itself
  Handler local = local_handler;
  dispatching = true;
  for (size_t i = 0; i < count && !queue.empty(); ++i) {
    Queued q = std::move(queue.front());
    queue.pop_front();
    if (q.msg.event == FD_WRITE && q.msg.kind != MsgKind::Timer && q.msg.kind != MsgKind::Lookup) {
      Reg* r = find(q.msg.handle);
      if (r && r->gen == q.gen) r->write_queued = false;
    }
    if (!deliverable(q)) continue;
    ++dispatched;
    if (q.msg.kind == MsgKind::Local) {
      if (local) local(q.msg);
    } else if (current) {
      current(q.msg);
    }
  }
  dispatching = false;
  update_stale();  // a caller watching epoll_fd() sees the set as it should be
  return dispatched;
}

int EventLoop::run_once(int timeout_ms) {
  Impl& m = *impl_;
  if (m.dispatching) return 0;  // not re-entrant: a handler must not run the loop
  m.turning = true;
  int dispatched = m.turn(timeout_ms);
  m.leave_loop();
  return dispatched;
}

void EventLoop::run() {
  Impl& m = *impl_;
  if (m.dispatching) return;  // not re-entrant, like run_once
  // Headless: the loop itself comes back for what handlers queued, so no turn needs the wake.
  m.turning = true;
  while (!m.stopping.load()) m.turn(-1);
  m.stopping.store(false);
  m.leave_loop();
}

void EventLoop::stop() {
  impl_->stopping.store(true);
  wake();
}

void EventLoop::wake() {
  uint64_t one = 1;
  ssize_t r = ::write(impl_->wakefd.get(), &one, sizeof one);
  (void)r;  // a full counter already means "awake"
}

Status EventLoop::watch_signals(std::initializer_list<int> signals, std::function<void(int)> on) {
  Impl& m = *impl_;
  m.drop_signal_watch();
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) {
    if (sigaddset(&set, s) != 0) return Status::from_errno("sigaddset");
  }
  if (signals.size() == 0) return Status::success();
  if (int e = pthread_sigmask(SIG_BLOCK, &set, nullptr); e != 0) return Status::error(e);
  m.watched = set;
  m.watching = true;
  m.sigfd.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!m.sigfd) {
    Status s = Status::from_errno("signalfd");
    m.drop_signal_watch();
    return s;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = pack(Tag::Signal, m.sigfd.get());
  if (::epoll_ctl(m.epfd.get(), EPOLL_CTL_ADD, m.sigfd.get(), &ev) != 0) {
    Status s = Status::from_errno("epoll");
    m.drop_signal_watch();
    return s;
  }
  m.on_signal = std::move(on);
  return Status::success();
}

bool EventLoop::holds_signal(int signo) const {
  return impl_->watching && sigismember(&impl_->watched, signo) == 1;
}

void EventLoop::note_recv(int fd) {
  Reg* r = impl_->find(fd);
  if (!r || r->read_armed) return;
  r->read_armed = true;
  impl_->mark_stale(fd, *r);
}

void EventLoop::note_accept(int fd, int err) {
  Impl& m = *impl_;
  Reg* r = m.find(fd);
  if (!r) return;
  if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
    // SECURITY: a flood of connections that exhausts the descriptor table must not make the
    // level-triggered listener spin the CPU; FD_ACCEPT rests for one back-off period.
    if (!r->in_backoff) {
      r->in_backoff = true;
      if (m.backoff.empty()) m.backoff_until = monotonic_ms() + kAcceptBackoffMs;
      m.backoff.emplace_back(fd, r->gen);
    }
    r->accept_armed = false;
  } else if (!r->in_backoff) {
    r->accept_armed = true;
  }
  m.mark_stale(fd, *r);
}

void EventLoop::note_send_blocked(int fd) {
  Reg* r = impl_->find(fd);
  if (!r || r->write_wanted) return;
  r->write_wanted = true;
  impl_->mark_stale(fd, *r);
}

void EventLoop::note_connect(int fd) {
  if (fd < 0) return;
  Reg& r = impl_->reg(fd);
  r.role = Role::Connecting;
  r.eof_seen = r.close_posted = false;
  impl_->update(fd, r);
}

void EventLoop::note_connected(int fd) {
  if (fd < 0) return;
  Reg& r = impl_->reg(fd);
  r.role = Role::Connected;
  r.eof_seen = r.close_posted = false;
  impl_->update(fd, r);
}

void EventLoop::note_created(int fd) {
  if (fd < 0) return;
  Reg& r = impl_->reg(fd);
  r.role = Role::Fresh;
  r.made_here = true;
}

void EventLoop::note_listen(int fd) {
  if (fd < 0) return;
  Reg& r = impl_->reg(fd);
  r.role = Role::Listening;
  impl_->update(fd, r);
}

void EventLoop::forget(int fd) {
  Impl& m = *impl_;
  Reg* r = m.find(fd);
  if (!r) return;
  if (r->in_epoll) ::epoll_ctl(m.epfd.get(), EPOLL_CTL_DEL, fd, nullptr);
  uint32_t gen = r->gen + 1;
  *r = Reg{};
  r->gen = gen;
}

}  // namespace qorda::platform
