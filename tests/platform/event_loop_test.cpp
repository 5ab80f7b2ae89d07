// The event loop's notification contract, on real loopback sockets.
#include "platform/event_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/socket.h"

namespace qorda::platform {
namespace {

uint64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// True when the loop has nothing ready: a blocked run_once would stay asleep.
bool loop_idle(EventLoop& loop) {
  pollfd p{loop.epoll_fd(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = EventLoop::create();
    ASSERT_TRUE(r.ok()) << r.err;
    loop = std::move(r.value);
    loop->set_handler([this](const Message& m) {
      got.push_back(m);
      if (on_message) on_message(m);
    });
  }

  // Runs the loop until `pred` holds or two seconds pass (a failing test, not a slow one).
  template <class Pred>
  bool pump_until(Pred pred, int limit_ms = 2000) {
    uint64_t end = now_ms() + static_cast<uint64_t>(limit_ms);
    while (!pred()) {
      uint64_t t = now_ms();
      if (t >= end) return false;
      loop->run_once(static_cast<int>(end - t));
    }
    return true;
  }

  // Runs everything that is ready now, without waiting.
  void settle() {
    for (int i = 0; i < 4; ++i) loop->run_once(0);
  }

  size_t count(int fd, uint32_t event) const {
    size_t n = 0;
    for (const auto& m : got)
      n += (m.handle == fd && m.event == event && m.kind != MsgKind::Lookup);
    return n;
  }
  bool has(int fd, uint32_t event) const { return count(fd, event) > 0; }

  Socket listener() {
    auto s = Socket::tcp(loop.get());
    EXPECT_TRUE(s.ok());
    EXPECT_TRUE(s->bind(SockAddr::loopback(0)).ok());
    EXPECT_TRUE(s->listen(16).ok());
    return std::move(s.value);
  }

  // A connected pair: `client` (plain, no loop) and `server` (accepted, reporting to the loop).
  void connect_pair(Socket& client, Socket& server) {
    Socket l = listener();
    auto port = l.local_addr()->port;
    auto c = Socket::tcp(nullptr);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c->connect(SockAddr::loopback(port)).ok());
    pollfd p{l.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    SockAddr peer;
    auto a = l.accept(&peer);
    ASSERT_TRUE(a.ok()) << a.err;
    EXPECT_EQ(peer.addr, 0x7f000001u);
    client = std::move(c.value);
    server = std::move(a.value);
  }

  void send_all(Socket& s, const std::string& text) {
    auto r = s.send(text.data(), text.size());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.n, text.size());
  }

  std::unique_ptr<EventLoop> loop;
  std::vector<Message> got;
  std::function<void(const Message&)> on_message;
};

TEST_F(EventLoopTest, ReadIsPostedOnceUntilRecvIsCalledAgain) {
  Socket client, server;
  connect_pair(client, server);
  ASSERT_TRUE(server.select(MsgKind::Control, FD_READ | FD_CLOSE).ok());
  settle();
  EXPECT_TRUE(got.empty());  // nothing to read yet

  send_all(client, "hello world");
  ASSERT_TRUE(pump_until([&] { return has(server.fd(), FD_READ); }));
  EXPECT_EQ(got.back().kind, MsgKind::Control);
  EXPECT_EQ(got.back().error, 0);
  send_all(client, " more");
  settle();
  EXPECT_EQ(count(server.fd(), FD_READ), 1u);
  EXPECT_TRUE(loop_idle(*loop)) << "unread data must not keep epoll_wait awake";

  char buf[5];
  ASSERT_EQ(server.recv(buf, sizeof buf).n, 5u);  // data remains: posted again
  ASSERT_TRUE(pump_until([&] { return count(server.fd(), FD_READ) == 2; }));
  char rest[64];
  EXPECT_EQ(server.recv(rest, sizeof rest).n, 11u);
  settle();
  EXPECT_EQ(count(server.fd(), FD_READ), 2u);  // drained: no spurious FD_READ
  EXPECT_FALSE(has(server.fd(), FD_CLOSE));
}

TEST_F(EventLoopTest, WriteIsPostedOnRequestAndThenOnlyAfterWouldBlock) {
  Socket client, server;
  connect_pair(client, server);
  ASSERT_TRUE(server.select(MsgKind::Data, FD_WRITE | FD_CLOSE).ok());
  ASSERT_TRUE(pump_until([&] { return has(server.fd(), FD_WRITE); }));
  settle();
  EXPECT_EQ(count(server.fd(), FD_WRITE), 1u);
  EXPECT_TRUE(loop_idle(*loop)) << "a writable socket without a pending request must not wake";

  // Asking again on a connected socket is answered at once, once.
  ASSERT_TRUE(server.select(MsgKind::Data, FD_WRITE | FD_CLOSE).ok());
  ASSERT_TRUE(pump_until([&] { return count(server.fd(), FD_WRITE) == 2; }));

  // A successful send does not re-enable it; a send that would block does.
  send_all(server, "x");
  settle();
  EXPECT_EQ(count(server.fd(), FD_WRITE), 2u);
  std::vector<char> chunk(64 * 1024, 'z');
  size_t queued = 0;
  for (;;) {
    auto r = server.send(chunk.data(), chunk.size());
    if (r.would_block()) break;
    ASSERT_TRUE(r.ok()) << r.err;
    queued += r.n;
    ASSERT_LT(queued, size_t{1} << 30);
  }
  settle();
  EXPECT_EQ(count(server.fd(), FD_WRITE), 2u);  // still full: not writable yet

  std::vector<char> sink(256 * 1024);
  ASSERT_TRUE(pump_until([&] {
    while (client.recv(sink.data(), sink.size()).n > 0) {
    }
    return count(server.fd(), FD_WRITE) == 3;
  }));
  settle();
  EXPECT_EQ(count(server.fd(), FD_WRITE), 3u);
}

TEST_F(EventLoopTest, ConnectCompletionCarriesItsError) {
  Socket l = listener();
  auto port = l.local_addr()->port;
  auto c = Socket::tcp(loop.get());
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c->select(MsgKind::Data, FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE).ok());
  ASSERT_TRUE(c->connect(SockAddr::loopback(port)).ok());
  ASSERT_TRUE(pump_until([&] { return has(c->fd(), FD_WRITE); }));
  settle();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].event, FD_CONNECT);  // the connect first, then the one writable event
  EXPECT_EQ(got[0].error, 0);
  EXPECT_EQ(got[1].event, FD_WRITE);

  // A port nobody listens on: the refusal comes back as FD_CONNECT's error (or at once).
  auto probe = Socket::tcp(nullptr);
  ASSERT_TRUE(probe->bind(SockAddr::loopback(0)).ok());
  auto closed_port = probe->local_addr()->port;
  probe->close();
  got.clear();
  auto r = Socket::tcp(loop.get());
  ASSERT_TRUE(r->select(MsgKind::Data, FD_CONNECT | FD_WRITE | FD_CLOSE).ok());
  Status st = r->connect(SockAddr::loopback(closed_port));
  if (st.ok()) {
    ASSERT_TRUE(pump_until([&] { return has(r->fd(), FD_CONNECT); }));
    settle();
    ASSERT_EQ(got.size(), 1u) << "no FD_WRITE or FD_CLOSE after a failed connect";
    EXPECT_EQ(got[0].error, ECONNREFUSED);
    EXPECT_TRUE(loop_idle(*loop));
  } else {
    EXPECT_EQ(st.err, ECONNREFUSED);
  }
}

TEST_F(EventLoopTest, CloseComesOnlyAfterTheLastByteWasRead) {
  Socket client, server;
  connect_pair(client, server);
  ASSERT_TRUE(server.select(MsgKind::Control, FD_READ | FD_CLOSE).ok());
  send_all(client, "abc");
  client.close();
  ASSERT_TRUE(pump_until([&] { return has(server.fd(), FD_READ); }));
  // The FIN is there too, but the data was not read yet.
  pollfd p{server.fd(), POLLRDHUP, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  settle();
  EXPECT_FALSE(has(server.fd(), FD_CLOSE));

  char buf[2];
  ASSERT_EQ(server.recv(buf, sizeof buf).n, 2u);  // one byte left: FD_READ, not FD_CLOSE
  ASSERT_TRUE(pump_until([&] { return count(server.fd(), FD_READ) == 2; }));
  settle();
  EXPECT_FALSE(has(server.fd(), FD_CLOSE));
  ASSERT_EQ(server.recv(buf, sizeof buf).n, 1u);
  ASSERT_TRUE(pump_until([&] { return has(server.fd(), FD_CLOSE); }));
  settle();
  EXPECT_EQ(count(server.fd(), FD_CLOSE), 1u);
  EXPECT_EQ(got.back().error, 0);
  EXPECT_EQ(got.back().event, FD_CLOSE);
  EXPECT_TRUE(loop_idle(*loop)) << "end of stream must not keep epoll_wait awake";
}

TEST_F(EventLoopTest, ResetAndCloseWithoutReadInterestAreReported) {
  Socket c1, s1, c2, s2;
  connect_pair(c1, s1);
  connect_pair(c2, s2);
  ASSERT_TRUE(s1.select(MsgKind::Control, FD_READ | FD_WRITE | FD_CLOSE).ok());
  ASSERT_TRUE(s2.select(MsgKind::Data, FD_WRITE | FD_CLOSE).ok());
  ASSERT_TRUE(pump_until([&] { return has(s1.fd(), FD_WRITE) && has(s2.fd(), FD_WRITE); }));

  linger lg{1, 0};  // close with a reset
  ASSERT_EQ(::setsockopt(c1.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  c1.close();
  // Unread data does not hold back the close of a socket that does not ask for FD_READ.
  send_all(c2, "unwanted");
  c2.close();
  ASSERT_TRUE(pump_until([&] { return has(s1.fd(), FD_CLOSE) && has(s2.fd(), FD_CLOSE); }));
  settle();
  EXPECT_EQ(count(s1.fd(), FD_CLOSE), 1u);
  EXPECT_EQ(count(s2.fd(), FD_CLOSE), 1u);
  EXPECT_FALSE(has(s1.fd(), FD_READ));
  EXPECT_EQ(count(s1.fd(), FD_WRITE), 1u);  // the reset is no reason for another FD_WRITE
  for (const auto& m : got) {
    if (m.handle == s1.fd() && m.event == FD_CLOSE) {
      EXPECT_EQ(m.error, ECONNRESET);
    }
    if (m.handle == s2.fd() && m.event == FD_CLOSE) {
      EXPECT_EQ(m.error, 0);
    }
  }
  EXPECT_TRUE(loop_idle(*loop));
}

TEST_F(EventLoopTest, ClosedOrCancelledSocketsLoseTheirQueuedMessages) {
  Socket c1, s1, c2, s2, c3, s3;
  connect_pair(c1, s1);
  connect_pair(c2, s2);
  connect_pair(c3, s3);
  for (Socket* s : {&s1, &s2, &s3}) ASSERT_TRUE(s->select(MsgKind::Data, FD_READ).ok());
  for (Socket* c : {&c1, &c2, &c3}) send_all(*c, "data");
  for (Socket* s : {&s1, &s2, &s3}) {
    pollfd p{s->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
  }

  // All three FD_READs are queued in one round. The first handled closes the other two... or
  // rather closes one and cancels the other; the closed one's number goes to a new socket at once.
  int closed_fd = -1, cancelled_fd = -1;
  Socket reused;
  std::vector<Socket> fillers;
  on_message = [&](const Message& m) {
    if (closed_fd >= 0) return;
    Socket* others[2];
    int k = 0;
    for (Socket* s : {&s1, &s2, &s3}) {
      if (s->fd() != m.handle) others[k++] = s;
    }
    closed_fd = others[0]->fd();
    cancelled_fd = others[1]->fd();
    others[0]->close();
    ASSERT_TRUE(others[1]->select(MsgKind::Data, 0).ok());
    for (;;) {  // take descriptors until the freed number comes back
      auto n = Socket::tcp(loop.get());
      ASSERT_TRUE(n.ok());
      if (n->fd() == closed_fd) {
        reused = std::move(n.value);
        break;
      }
      fillers.push_back(std::move(n.value));
    }
    ASSERT_TRUE(reused.select(MsgKind::Data, FD_READ | FD_WRITE | FD_CLOSE).ok());
  };
  EXPECT_EQ(loop->run_once(2000), 1);
  ASSERT_EQ(got.size(), 1u);
  settle();
  EXPECT_EQ(got.size(), 1u);
  EXPECT_FALSE(has(closed_fd, FD_READ));
  EXPECT_FALSE(has(cancelled_fd, FD_READ));
  EXPECT_TRUE(loop_idle(*loop));
}

TEST_F(EventLoopTest, TickArrivesAndAnIdleLoopWakesOnlyForIt) {
  ASSERT_TRUE(loop->start_timer(250).ok());
  Socket client, server;
  connect_pair(client, server);
  ASSERT_TRUE(server.select(MsgKind::Control, FD_READ | FD_CLOSE).ok());
  EXPECT_EQ(loop->run_once(-1), 1);  // a quiet socket does not wake the loop; the tick does
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, MsgKind::Timer);
  EXPECT_EQ(loop->run_once(-1), 1);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].kind, MsgKind::Timer);

  loop->stop_timer();
  loop->set_handler([&](const Message& m) {
    got.push_back(m);
    loop->stop();
  });
  ASSERT_TRUE(loop->start_timer(250).ok());
  loop->run();  // returns after the handler stopped it
  EXPECT_EQ(got.back().kind, MsgKind::Timer);
}

TEST_F(EventLoopTest, SignalCallbackRunsBeforeDispatchAndStoppingTheTimerDropsItsTick) {
  // The tick and the signal are both ready when the loop looks; the callback runs first, and a
  // tick already queued when the timer stops is not delivered.
  std::vector<int> signals;
  ASSERT_TRUE(loop->watch_signals({SIGUSR2},
                                  [&](int s) {
                                    signals.push_back(s);
                                    loop->stop_timer();
                                  })
                  .ok());
  ASSERT_TRUE(loop->start_timer(250).ok());
  pollfd p{loop->epoll_fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);  // the timer expired (nothing else is registered)
  ASSERT_EQ(::raise(SIGUSR2), 0);
  EXPECT_EQ(loop->run_once(0), 0);
  EXPECT_EQ(signals, std::vector<int>{SIGUSR2});
  EXPECT_TRUE(got.empty());
}

// A GUI toolkit watches epoll_fd() and runs the loop only when it is readable: whatever waits
// in the queue must make it readable, and an empty queue must not, or the GUI would spin.
TEST_F(EventLoopTest, QueuedMessagesKeepTheDescriptorReadableForAWatcher) {
  Socket client, server;
  connect_pair(client, server);
  ASSERT_TRUE(loop_idle(*loop));

  // Queued by the request itself, outside the loop.
  ASSERT_TRUE(server.select(MsgKind::Data, FD_WRITE | FD_CLOSE).ok());
  EXPECT_FALSE(loop_idle(*loop)) << "the FD_WRITE of a request waits unseen";
  EXPECT_EQ(loop->run_once(0), 1);
  EXPECT_TRUE(has(server.fd(), FD_WRITE));
  EXPECT_TRUE(loop_idle(*loop));

  // Posted outside the loop, then by a handler for a later turn.
  on_message = [&](const Message& m) {
    if (count(server.fd(), FD_WRITE) < 3) {
      ASSERT_TRUE(loop->post_event(m.handle, FD_WRITE).ok());
    }
  };
  ASSERT_TRUE(loop->post_event(server.fd(), FD_WRITE).ok());
  EXPECT_FALSE(loop_idle(*loop));
  EXPECT_EQ(loop->run_once(0), 1);
  EXPECT_FALSE(loop_idle(*loop)) << "a message a handler posted waits unseen";
  EXPECT_EQ(loop->run_once(0), 1);
  EXPECT_EQ(count(server.fd(), FD_WRITE), 3u);
  EXPECT_TRUE(loop_idle(*loop));

  // A message dropped at dispatch leaves nothing readable behind either.
  ASSERT_TRUE(loop->post_event(server.fd(), FD_WRITE).ok());
  ASSERT_TRUE(server.select(MsgKind::Data, 0).ok());
  EXPECT_FALSE(loop_idle(*loop));
  EXPECT_EQ(loop->run_once(0), 0);
  EXPECT_TRUE(loop_idle(*loop));

  // The headless loop stopped by a handler that had just posted: the posting is announced.
  bool first = true;
  on_message = [&](const Message& m) {
    if (!first) return;
    first = false;
    ASSERT_TRUE(loop->post_event(m.handle, FD_WRITE).ok());
    loop->stop();
  };
  ASSERT_TRUE(server.select(MsgKind::Data, FD_WRITE | FD_CLOSE).ok());
  loop->run();
  EXPECT_EQ(count(server.fd(), FD_WRITE), 4u);
  EXPECT_FALSE(loop_idle(*loop));
  EXPECT_EQ(loop->run_once(0), 1);
  EXPECT_EQ(count(server.fd(), FD_WRITE), 5u);
  EXPECT_TRUE(loop_idle(*loop));
}

// Lowers the descriptor limit to just above what is open and fills the rest, restoring both.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int highest = probe;
    for (int fd = probe; fd < probe + 256; ++fd) {
      if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    }
    ::close(probe);
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(highest) + 8;
    setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      held_.push_back(fd);
    }
  }
  void release() {
    for (int fd : held_) ::close(fd);
    held_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  ~DescriptorExhaustion() { release(); }

 private:
  rlimit saved_{};
  std::vector<int> held_;
};

TEST_F(EventLoopTest, AcceptOutOfDescriptorsBacksOffAndResumes) {
  Socket l = listener();
  auto port = l.local_addr()->port;
  ASSERT_TRUE(l.select(MsgKind::Listen, FD_ACCEPT).ok());
  auto c = Socket::tcp(nullptr);
  ASSERT_TRUE(c->connect(SockAddr::loopback(port)).ok());
  ASSERT_TRUE(pump_until([&] { return has(l.fd(), FD_ACCEPT); }));
  EXPECT_EQ(got.back().kind, MsgKind::Listen);

  DescriptorExhaustion full;
  auto a = l.accept(nullptr);
  ASSERT_FALSE(a.ok());
  ASSERT_EQ(a.err, EMFILE);
  settle();
  EXPECT_EQ(count(l.fd(), FD_ACCEPT), 1u);
  EXPECT_TRUE(loop_idle(*loop)) << "a pending connection that cannot be accepted must not spin";

  full.release();
  ASSERT_TRUE(pump_until([&] { return count(l.fd(), FD_ACCEPT) == 2; }));
  auto b = l.accept(nullptr);
  EXPECT_TRUE(b.ok()) << b.err;
}

TEST_F(EventLoopTest, ReverseLookupOfLoopbackComesFromTheHostsFile) {
  std::string expected;
  std::ifstream hosts("/etc/hosts");
  for (std::string line; expected.empty() && std::getline(hosts, line);) {
    std::istringstream words(line);
    std::string addr, name;
    if (words >> addr >> name && addr == "127.0.0.1") expected = name;
  }
  if (expected.empty()) GTEST_SKIP() << "/etc/hosts does not name 127.0.0.1";

  uint32_t h = loop->start_reverse_lookup(htonl(0x7f000001u));
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, MsgKind::Lookup);
  EXPECT_EQ(got[0].handle, static_cast<int>(h));
  EXPECT_EQ(got[0].error, 0);
  EXPECT_EQ(got[0].host, expected);

  // Cancelled before its answer was dispatched: nothing arrives, and a later one still works.
  got.clear();
  uint32_t h2 = loop->start_reverse_lookup(htonl(0x7f000001u));
  ASSERT_NE(h2, 0u);
  EXPECT_NE(h2, h);
  loop->cancel_lookup(h2);
  settle();
  EXPECT_TRUE(got.empty());
  uint32_t h3 = loop->start_reverse_lookup(htonl(0x7f000001u));
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  EXPECT_EQ(got[0].handle, static_cast<int>(h3));
}

// A name server on a loopback UDP port that the test answers by hand.
class FakeNameServer {
 public:
  FakeNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
      return;
    }
    port_ = ntohs(sa.sin_port);
  }
  ~FakeNameServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  uint16_t port() const { return port_; }

  // Waits (running the loop) for one query; false after two seconds without one.
  bool receive(EventLoop& loop) {
    uint64_t end = now_ms() + 2000;
    while (now_ms() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) == 1) {
        len_ = sizeof from_;
        ssize_t n =
            ::recvfrom(fd_, query_, sizeof query_, 0, reinterpret_cast<sockaddr*>(&from_), &len_);
        if (n > 12) {
          query_len_ = static_cast<size_t>(n);
          return true;
        }
      }
      loop.run_once(0);
    }
    return false;
  }

  // Answers the last query with a PTR record naming `host`, or with NXDOMAIN when it is empty.
  void answer(const std::string& host) {
    size_t q = 12;  // the question follows the header: labels, then type and class
    while (q < query_len_ && query_[q] != 0) q += 1 + static_cast<unsigned char>(query_[q]);
    q += 5;
    std::string r(query_, std::min(q, query_len_));
    r[2] = static_cast<char>(0x80 | (query_[2] & 0x01));   // a response; recursion as asked
    r[3] = static_cast<char>(host.empty() ? 0x83 : 0x80);  // recursion available; NXDOMAIN
    r[6] = 0;
    r[7] = host.empty() ? 0 : 1;  // answers
    r[8] = r[9] = r[10] = r[11] = 0;
    if (!host.empty()) {
      std::string name;
      std::istringstream labels(host);
      for (std::string label; std::getline(labels, label, '.');) {
        name += static_cast<char>(label.size());
        name += label;
      }
      name += '\0';
      r += std::string("\xc0\x0c\x00\x0c\x00\x01\x00\x00\x00\x3c", 10);
      r += static_cast<char>(name.size() >> 8);
      r += static_cast<char>(name.size() & 0xff);
      r += name;
    }
    ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from_), len_);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  char query_[512];
  size_t query_len_ = 0;
  sockaddr_in from_{};
  socklen_t len_ = 0;
};

TEST_F(EventLoopTest, ReverseLookupAsksTheNameServerThroughTheLoop) {
  FakeNameServer dns;
  ASSERT_NE(dns.port(), 0);
  ASSERT_TRUE(loop->set_name_servers({SockAddr::loopback(dns.port())}).ok());
  EXPECT_FALSE(loop->set_name_servers({}).ok());

  uint32_t h = loop->start_reverse_lookup(htonl(0x0a0b0c0du));  // 10.11.12.13, not in hosts
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(dns.receive(*loop));
  dns.answer("fake-host.example");
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  EXPECT_EQ(got[0].kind, MsgKind::Lookup);
  EXPECT_EQ(got[0].handle, static_cast<int>(h));
  EXPECT_EQ(got[0].error, 0);
  EXPECT_EQ(got[0].host, "fake-host.example");

  got.clear();
  h = loop->start_reverse_lookup(htonl(0x0a0b0c0eu));
  ASSERT_TRUE(dns.receive(*loop));
  dns.answer("");
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  EXPECT_EQ(got[0].handle, static_cast<int>(h));
  EXPECT_EQ(got[0].error, ENOENT);
  EXPECT_EQ(got[0].host, "");

  // Cancelled while the server is still thinking: its answer is swallowed. The next answer,
  // sent after it, proves the first one was processed.
  got.clear();
  uint32_t cancelled = loop->start_reverse_lookup(htonl(0x0a0b0c0fu));
  ASSERT_TRUE(dns.receive(*loop));
  loop->cancel_lookup(cancelled);
  dns.answer("cancelled.example");
  h = loop->start_reverse_lookup(htonl(0x0a0b0c10u));
  ASSERT_TRUE(dns.receive(*loop));
  dns.answer("kept.example");
  ASSERT_TRUE(pump_until([&] { return !got.empty(); }));
  settle();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].handle, static_cast<int>(h));
  EXPECT_EQ(got[0].host, "kept.example");

  // Still outstanding when the loop goes: destroying it must neither post nor call into freed
  // memory (the sanitizer build checks the latter).
  EXPECT_NE(loop->start_reverse_lookup(htonl(0x0a0b0c11u)), 0u);
  ASSERT_TRUE(dns.receive(*loop));
  loop.reset();
  EXPECT_EQ(got.size(), 1u);
}

TEST_F(EventLoopTest, WatchedSignalIsDeliveredThroughTheLoop) {
  std::vector<int> signals;
  ASSERT_TRUE(loop->watch_signals({SIGUSR1}, [&](int s) { signals.push_back(s); }).ok());
  ASSERT_EQ(::raise(SIGUSR1), 0);  // blocked now: pending until the loop reads it
  ASSERT_TRUE(pump_until([&] { return !signals.empty(); }));
  EXPECT_EQ(signals, std::vector<int>{SIGUSR1});
  EXPECT_TRUE(got.empty());
}

}  // namespace
}  // namespace qorda::platform
