#include "platform/socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "platform/event_loop.h"
#include "platform/limits.h"
#include "platform/random.h"

namespace qorda::platform {
namespace {

sockaddr_in to_sockaddr(SockAddr a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(a.addr);
  sa.sin_port = htons(a.port);
  return sa;
}

SockAddr from_sockaddr(const sockaddr_in& sa) {
  return SockAddr{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

Status set_int_option(int fd, int level, int name, int value) {
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return Status::from_errno();
  return Status::success();
}

}  // namespace

std::string SockAddr::dotted() const {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", byte(0), byte(1), byte(2), byte(3));
  return buf;
}

Socket::Socket(Socket&& o) noexcept
    : fd_(std::move(o.fd_)), loop_(std::exchange(o.loop_, nullptr)) {}

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = std::move(o.fd_);
    loop_ = std::exchange(o.loop_, nullptr);
  }
  return *this;
}

Result<Socket> Socket::tcp(EventLoop* loop) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Status::from_errno("socket");
  if (loop) loop->note_created(fd);
  return Socket(UniqueFd(fd), loop);
}

Status Socket::select(MsgKind kind, uint32_t mask) {
  if (!valid()) return Status::error(EBADF);
  if (!loop_) return Status::error(EINVAL, "socket has no event loop");
  return loop_->select_events(fd(), kind, mask);
}

Status Socket::set_reuse_addr(bool on) {
  if (!valid()) return Status::error(EBADF);
  return set_int_option(fd(), SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

Status Socket::set_nodelay(bool on) {
  if (!valid()) return Status::error(EBADF);
  return set_int_option(fd(), IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

Status Socket::bind(SockAddr a) {
  if (!valid()) return Status::error(EBADF);
  sockaddr_in sa = to_sockaddr(a);
  if (::bind(fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    return Status::from_errno("bind");
  }
  return Status::success();
}

namespace {

struct PortRange {
  unsigned low = kDefaultEphemeralLow;
  unsigned high = kDefaultEphemeralHigh;
};

// The system's ephemeral range, read once: it is a boot-time setting.
PortRange ephemeral_range() {
  static const PortRange range = [] {
    PortRange r;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
      unsigned lo = 0, hi = 0;
      if (std::fscanf(f, "%u %u", &lo, &hi) == 2 && lo >= 1024 && lo <= hi && hi <= 65535) {
        r.low = lo;
        r.high = hi;
      }
      std::fclose(f);
    }
    return r;
  }();
  return range;
}

// SECURITY: the first port tried is unpredictable, so a third party cannot guess where the next
// passive connection will listen and race the client to it. xorshift64*, seeded from the kernel.
uint32_t next_port_draw() {
  static uint64_t state = [] {
    uint64_t seed = 0;
    if (!random_bytes(&seed, sizeof seed).ok() || seed == 0) {
      seed = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(::getpid());
    }
    return seed;
  }();
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<uint32_t>((state * 0x2545f4914f6cdd1dull) >> 32);
}

}  // namespace

Status Socket::bind_ephemeral(uint32_t addr) {
  if (!valid()) return Status::error(EBADF);
  if (Status st = set_reuse_addr(true); !st.ok()) return st;
  // Odd ports first, as the kernel's own bind search prefers: connect() takes even ports first,
  // so outgoing connections on this machine keep half the range while passive ports held by
  // TIME_WAIT sockets fill the other half. Even ports are the second choice.
  const PortRange range = ephemeral_range();
  for (unsigned parity : {1u, 0u}) {
    const unsigned first = (range.low % 2 == parity) ? range.low : range.low + 1;
    if (first > range.high) continue;
    const unsigned count = (range.high - first) / 2 + 1;
    unsigned index = next_port_draw() % count;
    for (int i = 0; i < kPortPickTries; ++i, index = (index + 1) % count) {
      Status st = bind(SockAddr{addr, static_cast<uint16_t>(first + 2 * index)});
      if (st.ok() || st.err != EADDRINUSE) return st;
    }
  }
  return bind(SockAddr{addr, 0});
}

Status Socket::listen(int backlog) {
  if (!valid()) return Status::error(EBADF);
  if (::listen(fd(), backlog) != 0) return Status::from_errno("listen");
  if (loop_) loop_->note_listen(fd());
  return Status::success();
}

Result<Socket> Socket::accept(SockAddr* peer) {
  if (!valid()) return Status::error(EBADF);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int nfd;
  do nfd = ::accept4(fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  while (nfd < 0 && errno == EINTR);
  int err = nfd < 0 ? errno : 0;
  if (loop_) loop_->note_accept(fd(), err);
  if (nfd < 0) return Status::error(err);
  if (peer) *peer = from_sockaddr(sa);
  if (loop_) loop_->note_connected(nfd);
  return Socket(UniqueFd(nfd), loop_);
}

Status Socket::connect(SockAddr a) {
  if (!valid()) return Status::error(EBADF);
  sockaddr_in sa = to_sockaddr(a);
  int rc = ::connect(fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  // EINTR: a non-blocking connect carries on in the background, like EINPROGRESS.
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR) return Status::from_errno("connect");
  if (loop_) loop_->note_connect(fd());
  return Status::success();
}

IoResult Socket::recv(void* buf, size_t len) {
  if (!valid()) return IoResult{0, EBADF};
  if (len == 0) return IoResult{0, EINVAL};  // 0 bytes read must keep meaning "peer closed"
  ssize_t n;
  do n = ::recv(fd(), buf, len, 0);
  while (n < 0 && errno == EINTR);
  IoResult r = n < 0 ? IoResult{0, errno} : IoResult{static_cast<size_t>(n), 0};
  if (loop_) loop_->note_recv(fd());
  return r;
}

IoResult Socket::send(const void* buf, size_t len) {
  if (!valid()) return IoResult{0, EBADF};
  ssize_t n;
  // MSG_NOSIGNAL: a peer that went away yields EPIPE instead of killing the process.
  do n = ::send(fd(), buf, len, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    IoResult r{0, errno};
    if (r.would_block() && loop_) loop_->note_send_blocked(fd());
    return r;
  }
  return IoResult{static_cast<size_t>(n), 0};
}

Status Socket::shutdown_send() {
  if (!valid()) return Status::error(EBADF);
  if (::shutdown(fd(), SHUT_WR) != 0) return Status::from_errno("shutdown");
  return Status::success();
}

Result<size_t> Socket::unacked_bytes() const {
  if (!valid()) return Status::error(EBADF);
  int n = 0;
  if (::ioctl(fd(), SIOCOUTQ, &n) != 0) return Status::from_errno("ioctl");
  return static_cast<size_t>(n < 0 ? 0 : n);
}

Result<SockAddr> Socket::local_addr() const {
  if (!valid()) return Status::error(EBADF);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Status::from_errno("getsockname");
  }
  return from_sockaddr(sa);
}

Result<SockAddr> Socket::peer_addr() const {
  if (!valid()) return Status::error(EBADF);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Status::from_errno("getpeername");
  }
  return from_sockaddr(sa);
}

void Socket::close() {
  if (!valid()) return;
  if (loop_) loop_->forget(fd());  // before the number can be reused
  fd_.reset();
}

int max_sockets() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > static_cast<rlim_t>(INT_MAX)) return INT_MAX;
  return static_cast<int>(rl.rlim_cur);
}

int raise_max_sockets(int want) {
  rlimit rl{};
  if (want > 0 && ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur < static_cast<rlim_t>(want)) {
    rlim_t target = static_cast<rlim_t>(want);
    if (rl.rlim_max != RLIM_INFINITY && target > rl.rlim_max) target = rl.rlim_max;
    rl.rlim_cur = target;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
  return max_sockets();
}

std::string local_host_name() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return std::string(buf);
}

std::vector<uint32_t> local_ipv4_addresses(const std::string& host_name) {
  std::vector<uint32_t> out;
  auto add = [&out](uint32_t a) {
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  };
  if (!host_name.empty()) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host_name.c_str(), nullptr, &hints, &res) == 0) {
      for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
          add(ntohl(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr));
        }
      }
      ::freeaddrinfo(res);
    }
  }
  if (!out.empty()) return out;
  ifaddrs* ifs = nullptr;
  if (::getifaddrs(&ifs) != 0) return out;
  // Interfaces that are up, the loopback ones last: the first address is the one shown to
  // clients, and a real interface is more useful there.
  std::vector<uint32_t> loopback;
  for (ifaddrs* p = ifs; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !(p->ifa_flags & IFF_UP)) continue;
    uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
    if (p->ifa_flags & IFF_LOOPBACK) {
      loopback.push_back(a);
    } else {
      add(a);
    }
  }
  ::freeifaddrs(ifs);
  for (uint32_t a : loopback) add(a);
  return out;
}

}  // namespace qorda::platform
