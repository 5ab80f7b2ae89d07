// Non-blocking IPv4 TCP sockets that report their notifications through an EventLoop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::platform {

class EventLoop;
enum class MsgKind : uint8_t;

// An IPv4 socket address. Both fields are in host byte order; addr's most significant byte is
// the first byte of the dotted form.
struct SockAddr {
  uint32_t addr = 0;
  uint16_t port = 0;

  uint8_t byte(int i) const { return static_cast<uint8_t>(addr >> (24 - 8 * i)); }
  std::string dotted() const;  // "a.b.c.d"
  static SockAddr any(uint16_t port) { return SockAddr{0, port}; }
  static SockAddr loopback(uint16_t port) { return SockAddr{0x7f000001u, port}; }
  bool operator==(const SockAddr&) const = default;
};

// Owns one socket descriptor (non-blocking, close-on-exec). Move-only. When it has a loop, the
// loop's registration and queued messages for the descriptor are dropped when it closes.
class Socket {
 public:
  Socket() = default;
  Socket(Socket&& o) noexcept;
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  // A new TCP stream socket, reporting to `loop` (may be null for plain blocking-free use). The
  // loop is not owned and must outlive the socket.
  static Result<Socket> tcp(EventLoop* loop);
  // Takes a descriptor made elsewhere in this layer (a Unix-domain socket, platform/local_socket)
  // as a socket reporting to `loop`.
  static Socket adopt(UniqueFd fd, EventLoop* loop) { return Socket(std::move(fd), loop); }

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  EventLoop* loop() const { return loop_; }

  Status select(MsgKind kind, uint32_t mask);  // EventLoop::select_events for this socket
  Status set_reuse_addr(bool on);
  Status set_nodelay(bool on);  // TCP_NODELAY: send small writes at once
  Status bind(SockAddr a);
  // Binds to `addr` on a port picked at random from the system's ephemeral range (odd ports
  // first, then even ones), going on to the next port while one is taken, with address reuse on
  // so that a port whose last connection waits out TIME_WAIT is free again at once. After
  // kPortPickTries taken ports of each parity the kernel picks (port 0). Cheaper than a plain
  // port-0 bind on a busy server, where the kernel's own search steps over every TIME_WAIT
  // socket that earlier connections left.
  Status bind_ephemeral(uint32_t addr);
  Status listen(int backlog);
  // Accepts one pending connection; the new socket reports to the same loop. EAGAIN when none.
  // EMFILE/ENFILE are survivable: the loop re-enables FD_ACCEPT after kAcceptBackoffMs.
  Result<Socket> accept(SockAddr* peer);
  // Starts a non-blocking connect; EINPROGRESS is returned as success (completion arrives as
  // FD_CONNECT, followed by FD_WRITE when that is requested). A refusal the system reports at
  // once is returned as the error instead.
  Status connect(SockAddr a);
  // Reads what is there (EAGAIN when nothing is). n == 0 means the peer closed; so a zero
  // length is refused with EINVAL rather than returning a misleading 0.
  IoResult recv(void* buf, size_t len);
  // Never raises SIGPIPE: a vanished peer gives EPIPE or ECONNRESET.
  IoResult send(const void* buf, size_t len);
  Status shutdown_send();
  // Bytes written to the socket that the peer has not acknowledged yet (SIOCOUTQ): those still
  // queued and those in flight. It falls as the peer takes bytes and rises as more are sent.
  Result<size_t> unacked_bytes() const;
  Result<SockAddr> local_addr() const;
  Result<SockAddr> peer_addr() const;
  void close();

 private:
  Socket(UniqueFd fd, EventLoop* loop) : fd_(std::move(fd)), loop_(loop) {}
  UniqueFd fd_;
  EventLoop* loop_ = nullptr;
};

// The process's descriptor limit (RLIMIT_NOFILE soft limit), logged at engine start.
int max_sockets();
// Raises the soft descriptor limit towards `want` (never above the hard limit, never lowering
// it) and returns the limit in force afterwards. For load tests that hold many sockets at once.
int raise_max_sockets(int want);
// gethostname(); empty on failure.
std::string local_host_name();
// IPv4 addresses of the host name (host byte order, like SockAddr::addr, without duplicates),
// falling back to the IPv4 addresses of the interfaces that are up (loopback last) when the
// name does not resolve. Empty when the machine has none.
std::vector<uint32_t> local_ipv4_addresses(const std::string& host_name);

}  // namespace qorda::platform
