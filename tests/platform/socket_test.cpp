// Socket handles, addresses and host information.
#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace qorda::platform {
namespace {

TEST(SockAddr, DottedFormAndBytesFollowHostOrder) {
  SockAddr a{0xc0a80a01u, 21};
  EXPECT_EQ(a.dotted(), "192.168.10.1");
  EXPECT_EQ(a.byte(0), 192);
  EXPECT_EQ(a.byte(3), 1);
  EXPECT_EQ(SockAddr::loopback(5).dotted(), "127.0.0.1");
  EXPECT_EQ(SockAddr::any(7).dotted(), "0.0.0.0");
  EXPECT_EQ((SockAddr{0xffffffffu, 0}).dotted(), "255.255.255.255");
}

// A listener on a free loopback port and a client connected to it, both without a loop.
struct Pair {
  Socket listener, client, server;
  SockAddr client_seen;
};

void make_pair(Pair& p) {
  auto l = Socket::tcp(nullptr);
  ASSERT_TRUE(l.ok());
  ASSERT_TRUE(l->set_reuse_addr(true).ok());
  ASSERT_TRUE(l->bind(SockAddr::loopback(0)).ok());
  ASSERT_TRUE(l->listen(5).ok());
  auto where = l->local_addr();
  ASSERT_TRUE(where.ok());
  EXPECT_EQ(where->addr, 0x7f000001u);
  EXPECT_NE(where->port, 0);
  auto c = Socket::tcp(nullptr);
  ASSERT_TRUE(c->connect(*where).ok());
  pollfd pf{l->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pf, 1, 2000), 1);
  auto s = l->accept(&p.client_seen);
  ASSERT_TRUE(s.ok()) << s.err;
  p.listener = std::move(l.value);
  p.client = std::move(c.value);
  p.server = std::move(s.value);
}

TEST(Socket, AcceptedConnectionKnowsBothEndsAndIsNonBlocking) {
  Pair p;
  make_pair(p);
  EXPECT_TRUE(p.server.set_nodelay(true).ok());
  EXPECT_EQ(p.client_seen, *p.client.local_addr());
  EXPECT_EQ(*p.server.peer_addr(), *p.client.local_addr());
  EXPECT_EQ(*p.client.peer_addr(), *p.listener.local_addr());
  for (int fd : {p.listener.fd(), p.client.fd(), p.server.fd()}) {
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  char buf[8];
  IoResult r = p.server.recv(buf, sizeof buf);
  EXPECT_TRUE(r.would_block());
  EXPECT_EQ(p.server.recv(buf, 0).err, EINVAL);  // not to be mistaken for a close
  auto none = p.listener.accept(nullptr);
  EXPECT_TRUE(none.err == EAGAIN || none.err == EWOULDBLOCK);

  ASSERT_EQ(p.client.send("ping", 4).n, 4u);
  pollfd pf{p.server.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pf, 1, 2000), 1);
  r = p.server.recv(buf, sizeof buf);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::string(buf, r.n), "ping");

  ASSERT_TRUE(p.client.shutdown_send().ok());  // the peer sees an orderly end of stream
  ASSERT_EQ(::poll(&pf, 1, 2000), 1);
  r = p.server.recv(buf, sizeof buf);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.n, 0u);
}

TEST(Socket, SendingToAVanishedPeerFailsWithoutKillingTheProcess) {
  Pair p;
  make_pair(p);
  linger lg{1, 0};
  ASSERT_EQ(::setsockopt(p.client.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  p.client.close();
  pollfd pf{p.server.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pf, 1, 2000), 1);
  IoResult r{};
  for (int i = 0; i < 3 && r.ok(); ++i) r = p.server.send("x", 1);  // SIGPIPE would end us here
  EXPECT_TRUE(r.err == EPIPE || r.err == ECONNRESET) << r.err;
}

TEST(Socket, MoveTransfersOwnershipAndClosedHandlesReportEbadf) {
  auto a = Socket::tcp(nullptr);
  auto b = Socket::tcp(nullptr);
  ASSERT_TRUE(a.ok() && b.ok());
  int fa = a->fd(), fb = b->fd();
  Socket moved(std::move(a.value));
  EXPECT_FALSE(a->valid());
  EXPECT_EQ(moved.fd(), fa);
  moved = std::move(b.value);  // the old descriptor is closed, the new one taken over
  EXPECT_EQ(::fcntl(fa, F_GETFD), -1);
  EXPECT_EQ(moved.fd(), fb);
  moved.close();
  EXPECT_EQ(::fcntl(fb, F_GETFD), -1);
  char c;
  EXPECT_EQ(moved.recv(&c, 1).err, EBADF);
  EXPECT_EQ(moved.send(&c, 1).err, EBADF);
  EXPECT_EQ(moved.bind(SockAddr::any(0)).err, EBADF);
  EXPECT_EQ(moved.select(MsgKind{}, 0).err, EBADF);
  EXPECT_EQ(moved.local_addr().err, EBADF);
}

TEST(Socket, BindingAnAddressInUseFails) {
  auto a = Socket::tcp(nullptr);
  ASSERT_TRUE(a->bind(SockAddr::loopback(0)).ok());
  ASSERT_TRUE(a->listen(5).ok());
  auto b = Socket::tcp(nullptr);
  EXPECT_EQ(b->bind(*a->local_addr()).err, EADDRINUSE);
}

TEST(HostInfo, LimitsNameAndAddresses) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  EXPECT_EQ(static_cast<rlim_t>(max_sockets()), std::min<rlim_t>(rl.rlim_cur, INT_MAX));

  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(local_host_name(), name);

  // A name that cannot resolve falls back to the interfaces, loopback included (last).
  auto fallback = local_ipv4_addresses("no-such-host.invalid");
  ASSERT_FALSE(fallback.empty());
  EXPECT_NE(std::find(fallback.begin(), fallback.end(), 0x7f000001u), fallback.end());
  EXPECT_EQ(std::count(fallback.begin(), fallback.end(), 0x7f000001u), 1);
  EXPECT_FALSE(local_ipv4_addresses(local_host_name()).empty());
}

TEST(HostInfo, RaisingTheDescriptorLimitStopsAtTheHardLimitAndNeverLowers) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlim_t hard = saved.rlim_max;
  if (hard != RLIM_INFINITY && hard < 300) GTEST_SKIP() << "hard limit too low";
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(raise_max_sockets(100), 256);  // never lowered
  EXPECT_EQ(raise_max_sockets(300), 300);
  EXPECT_EQ(max_sockets(), 300);
  if (hard != RLIM_INFINITY && hard < static_cast<rlim_t>(INT_MAX)) {
    EXPECT_EQ(raise_max_sockets(INT_MAX), static_cast<int>(hard));  // capped by the hard limit
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

}  // namespace
}  // namespace qorda::platform
