// The client side of the soak run: non-blocking TCP streams of the test process, all driven by
// one platform::EventLoop on the test's thread. A stream buffers what could not be sent yet,
// hands received bytes to its owner, and reports connects, accepts and closes through hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket.h"

namespace qorda::test::soak {

class Stream;

// Routes the loop's socket messages to the streams, and ticks to `on_tick`. Streams that were
// closed are kept until `collect` runs between two rounds of the loop, so a hook may close its
// own stream (or replace it) safely.
class Driver {
 public:
  explicit Driver(platform::EventLoop& loop);
  ~Driver();
  platform::EventLoop& loop() { return loop_; }
  void attach(int fd, Stream* s) { by_fd_[fd] = s; }
  void detach(int fd, const Stream* s);
  void retire(std::unique_ptr<Stream> s);
  void collect() { graveyard_.clear(); }
  std::function<void()> on_tick;
  // The next port for a listener (PORT). Listeners take ports in turn from a range below the
  // system's ephemeral ports instead of any free one: the server makes active connections from
  // one fixed port, and a listener that got the port of one a moment ago would meet that
  // connection's TIME_WAIT (refused) or a late connect meant for another transfer.
  uint16_t next_listen_port();
  // Ports the listeners leave alone: the server's own port and the one below it, from which
  // it makes its active connections.
  void reserve_ports(uint16_t first, uint16_t last) {
    reserved_first_ = first;
    reserved_last_ = last;
  }

 private:
  platform::EventLoop& loop_;
  std::unordered_map<int, Stream*> by_fd_;
  std::vector<std::unique_ptr<Stream>> graveyard_;
  uint16_t listen_port_ = 0;
  uint16_t reserved_first_ = 0;
  uint16_t reserved_last_ = 0;
};

// One socket of the test: a connecting or accepted stream, or a listener (for PORT). Owned by
// its client; closing it drops its loop registration and every message still queued for it.
class Stream {
 public:
  struct Hooks {
    std::function<void(int err)> connected;            // a connect finished (err 0: success)
    std::function<void(std::string_view bytes)> data;  // bytes arrived
    std::function<void()> drained;                     // everything queued has been sent
    std::function<void(int err)> closed;               // the peer closed, or the socket failed
    std::function<void(platform::Socket s)> accepted;  // listener: a connection came in
  };

  // `reading` false: never receives (a client that does not read its replies); the peer's close
  // is still reported.
  static std::unique_ptr<Stream> connect(Driver& d, platform::SockAddr to, Hooks hooks,
                                         bool reading = true);
  // On 127.0.0.1, the first port from Driver::next_listen_port that can be bound.
  static std::unique_ptr<Stream> listen(Driver& d, Hooks hooks);
  static std::unique_ptr<Stream> adopt(Driver& d, platform::Socket s, Hooks hooks);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Queues bytes and sends what the socket takes now. Bytes queued after a send failed are
  // dropped (the close is reported through the hook).
  void send(std::string_view bytes);
  size_t pending() const { return out_.size() - out_off_; }
  // Bytes the kernel has taken so far.
  uint64_t sent() const { return sent_; }
  uint16_t local_port() const;
  // Stops (true) or resumes receiving. While paused the kernel's buffers fill and the peer's
  // sends block; a close that arrives meanwhile is reported after the bytes before it.
  void set_paused(bool paused);
  bool open() const { return sock_.valid(); }
  void close();

  void on_event(uint32_t event, int err);

 private:
  Stream(Driver& d, platform::Socket s, Hooks hooks, bool reading);
  void flush();
  void drain_input();
  void report_close(int err);

  Driver& driver_;
  platform::Socket sock_;
  int fd_ = -1;
  Hooks hooks_;
  bool reading_ = true;
  bool writable_ = false;
  bool failed_ = false;
  bool close_reported_ = false;
  bool paused_ = false;
  bool close_pending_ = false;
  int close_err_ = 0;
  std::string out_;
  size_t out_off_ = 0;
  uint64_t sent_ = 0;
};

// Control-connection replies: complete replies cut from the byte stream (multi-line ones
// included). Telnet answers (IAC sequences) and bare lines outside a reply are counted as
// stray lines.
struct Reply {
  int code = 0;
  std::string last;  // the last line, "226 Transfer Complete."
  std::string all;   // every line, joined with "\n"
};

class ReplyParser {
 public:
  // Appends bytes; complete replies are appended to `out`.
  void feed(std::string_view bytes, std::vector<Reply>* out);
  int stray_lines() const { return stray_; }

 private:
  std::string buf_;
  Reply open_;
  bool in_multi_ = false;
  int stray_ = 0;
};

}  // namespace qorda::test::soak
