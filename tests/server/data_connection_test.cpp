// Data connections as a client sees them: PORT parsing and its refusals, PASV, the default data
// port, failures to build or reach a data connection, the STAT line, and no leaked descriptors.
#include "transfer/data_connection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/netmodule.h"
#include "session/data_link.h"
#include "session/session.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

TEST(Port, FieldsAreParsedModulo256AndOddCharactersIgnored) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("PORT 127,0,0,1,4,0"), "200 PORT command successful.");
  session::Session* s = session_of(srv, c);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->data_port[0], 4);
  EXPECT_EQ(s->data_port[1], 0);
  // Parentheses and blanks are ignored; a field of 300 is 44.
  EXPECT_EQ(c.cmd("PORT (127, 0, 0, 1, 4, 300)"), "200 PORT command successful.");
  EXPECT_EQ(s->data_port[1], 44);
  EXPECT_EQ(s->data_addr[0], 127);
  EXPECT_EQ(s->data_addr[3], 1);
  ASSERT_NE(s->data(), nullptr);
  EXPECT_EQ(s->data()->kind(), transfer::Kind::Active);
  EXPECT_EQ(s->data()->remote_addr(), (platform::SockAddr{0x7f000001u, 4 * 256 + 44}));
  // One data connection at a time: the second PORT replaced the first.
  EXPECT_EQ(srv.net().data_route_count(), 1u);
}

TEST(Port, MalformedOrPrivilegedIsRefused) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  for (const char* bad : {"PORT 127,0,0,1,3,255", "PORT 127,0,0,1,4", "PORT 127,0,0,1,4,0,1",
                          "PORT 127.0.0.1.4.0", "PORT x"}) {
    EXPECT_EQ(c.cmd(bad), "500 Illegal PORT command.") << bad;
  }
  EXPECT_EQ(c.cmd("PORT"), "501 'PORT': command not understood.");
  EXPECT_TRUE(srv.net().data_route_count() == 0);
}

TEST(Port, ThirdPartyAddressesFollowTheSetting) {
  {
    TestServer srv([](store::ServerSettings& s) { s.benablethird = 0; });
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(c.cmd("PORT 10,0,0,5,4,0"), "500 Illegal PORT command.");
    EXPECT_EQ(c.cmd("PORT 127,0,0,2,4,0"), "500 Illegal PORT command.");
    EXPECT_EQ(c.cmd("PORT 127,0,0,1,4,0"), "200 PORT command successful.");
  }
  {
    TestServer srv;
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(c.cmd("PORT 10,0,0,5,4,0"), "200 PORT command successful.");
  }
}

TEST(Port, SwitchedOff) {
  TestServer srv([](store::ServerSettings& s) { s.ballowport = 0; });
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("PORT 127,0,0,1,4,0"), "500 PORT: Permission denied.");
}

TEST(Pasv, NeedsLoginAndTheSwitches) {
  {
    TestServer srv;
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(c.cmd("PASV"), "530 Please login with USER and PASS.");
  }
  {
    TestServer srv([](store::ServerSettings& s) { s.ballowpasv = 0; });
    FtpClient c(srv);
    connect_logged_in(srv, c);
    EXPECT_EQ(c.cmd("PASV"), "500 PASV: Permission denied.");
  }
  {
    TestServer srv([](store::ServerSettings& s) { s.benablepasv = 0; });
    FtpClient c(srv);
    connect_logged_in(srv, c);
    EXPECT_EQ(c.cmd("PASV"), "425 Can't open passive connection. [0]");
    EXPECT_TRUE(srv.observer.has("***DEBUG: pasv command not allowed."));
  }
}

TEST(Pasv, TwoInARowCloseTheFirstListener) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  const std::string first = c.cmd("PASV");
  ASSERT_EQ(first.rfind("227 Entering passive mode (127,0,0,1,", 0), 0u) << first;
  const std::string second = c.cmd("PASV");
  ASSERT_EQ(second.rfind("227 Entering passive mode (127,0,0,1,", 0), 0u) << second;
  EXPECT_NE(first, second);
  EXPECT_EQ(srv.net().data_route_count(), 1u);
  // Nobody listens on the first port any more.
  DataPeer stale(srv);
  ASSERT_TRUE(stale.connect_pasv(first));
  EXPECT_EQ(stale.read_all(), "");
  EXPECT_TRUE(stale.closed_by_server());
  // The second one works.
  write_file(srv, "a.txt", "hello");
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(second));
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (5 bytes).");
  EXPECT_EQ(d.read_all(), "hello");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(Pasv, ConnectingEarlyMovesNothingBeforeTheCommand) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "abc");
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 4000 && s->data() != nullptr && !s->data()->connected(); ++i) srv.pump(1);
  ASSERT_NE(s->data(), nullptr);
  EXPECT_TRUE(s->data()->connected());
  EXPECT_EQ(s->data()->direction(), transfer::Direction::None);
  // Connected but idle: commands are still answered.
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (3 bytes).");
  EXPECT_EQ(d.read_all(), "abc");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(Pasv, ForeignPeerIsRefusedWithoutThirdParty) {
  TestServer srv([](store::ServerSettings& s) { s.benablethird = 0; });
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "mine");
  const std::string pasv = c.cmd("PASV");
  DataPeer thief(srv);
  ASSERT_TRUE(thief.connect_pasv(pasv, 0x7f000002u));  // 127.0.0.2: another host
  EXPECT_EQ(thief.read_all(), "");
  EXPECT_TRUE(
      srv.observer.has("Refused data connection from 127.0.0.2 (not the client's "
                       "address)."));
  // The listener still waits for the client itself.
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(pasv));
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (4 bytes).");
  EXPECT_EQ(d.read_all(), "mine");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(Pasv, ForeignPeerIsAcceptedWithThirdParty) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "shared");
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV"), 0x7f000002u));
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (6 bytes).");
  EXPECT_EQ(d.read_all(), "shared");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(DefaultPort, RetrWithoutPortOrPasvConnectsFromControlPortMinusOne) {
  TestServer srv;  // a free high port, so that iport - 1 is not privileged
  auto ctl = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(ctl.ok());
  ctl->set_reuse_addr(true);
  ASSERT_TRUE(ctl->bind(platform::SockAddr::loopback(0)).ok());
  const uint16_t client_port = ctl->local_addr()->port;
  // The client listens on its own control port for the data connection.
  DataPeer d(srv);
  ASSERT_TRUE(d.listen_on(client_port));
  FtpClient c(std::move(*ctl), srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "default");
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (7 bytes).");
  ASSERT_TRUE(d.accept());
  EXPECT_EQ(d.peer(), platform::SockAddr::loopback(static_cast<uint16_t>(srv.port() - 1)));
  EXPECT_EQ(d.read_all(), "default");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(DefaultPort, UnusableLocalPortFailsTheCommandWith425) {
  TestServer srv;
  // Someone else listens on iport - 1 (as port 20 is out of reach without privileges).
  DataPeer squatter(srv);
  if (!squatter.listen_on(static_cast<uint16_t>(srv.port() - 1))) GTEST_SKIP() << "port in use";
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "x");
  EXPECT_EQ(c.cmd("RETR a.txt"), "425 Can't create data socket.");
  EXPECT_TRUE(srv.observer.has("***DEBUG: dsock_c::dsock_c() failed, type# 0, code# 3, err# 98"));
  EXPECT_TRUE(srv.observer.has("***DEBUG: csock_c::chkdata() failed"));
  EXPECT_EQ(c.cmd("PORT 127,0,0,1,4,0"), "425 Can't create data socket.");
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(ActiveConnection, PortToAClosedPortIsAnswered425) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "x");
  const uint16_t closed = free_port();
  EXPECT_EQ(
      c.cmd("PORT 127,0,0,1," + std::to_string(closed >> 8) + "," + std::to_string(closed & 0xff)),
      "200 PORT command successful.");
  const std::string r = c.cmd("RETR a.txt");
  if (r == "425 Can't create data socket.") {
    // The refusal came back at once.
    EXPECT_TRUE(srv.observer.has("***DEBUG: dsock_c::start() failed, err# 111"));
  } else {
    EXPECT_EQ(r, "150 Opening ASCII mode data connection for a.txt (1 bytes).");
    EXPECT_EQ(c.reply(), "425 Can't build data connection.");
    EXPECT_TRUE(srv.observer.has("***DEBUG: nproc() failed, WS_DATA/FD_CONNECT err# 111"));
    EXPECT_TRUE(srv.observer.has("Transfer aborted (no data conn.)."));
  }
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  EXPECT_EQ(session_of(srv, c)->data(), nullptr);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(ActiveConnection, PortAddressStaysForLaterTransfers) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "a.txt", "one");
  DataPeer d1(srv);
  const std::string arg = d1.listen();
  EXPECT_EQ(c.cmd("PORT " + arg), "200 PORT command successful.");
  EXPECT_EQ(c.cmd("RETR a.txt"), "150 Opening ASCII mode data connection for a.txt (3 bytes).");
  ASSERT_TRUE(d1.accept());
  EXPECT_EQ(d1.read_all(), "one");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  // No new PORT: the default rule aims at the same address again.
  session::Session* s = session_of(srv, c);
  EXPECT_EQ(s->data(), nullptr);
  ASSERT_TRUE(session::ensure_data_connection(*s));
  ASSERT_NE(s->data(), nullptr);
  EXPECT_EQ(s->data()->remote_addr().dotted() + "," + std::to_string(s->data()->remote_addr().port),
            "127.0.0.1," + std::to_string(d1.port()));
}

TEST(Status, DataConnectionLine) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  auto line = [&c] {  // the line after the TYPE line
    std::string r = c.cmd("STAT");
    size_t from = r.find('\n', r.find("TYPE:"));
    return r.substr(from + 1, r.find('\n', from + 1) - from - 1);
  };
  EXPECT_EQ(line(), "    No data connection.");
  c.cmd("PORT 127,0,0,1,4,1");
  EXPECT_EQ(line(), "    PORT (127,0,0,1,4,1)");
  const std::string pasv = c.cmd("PASV");
  const std::string fields = pasv.substr(pasv.find('('));
  EXPECT_EQ(line(), "    in Passive mode " + fields);
  EXPECT_EQ(c.cmd("ABOR"), "225 ABOR command successful.");
  EXPECT_EQ(line(), "    No data connection.");
  EXPECT_EQ(c.cmd("ABOR"), "225 ABOR command successful.");
}

TEST(Descriptors, NoneLeakOverEveryWayATransferEnds) {
  const int before = open_fds();
  {
    TestServer srv;
    const int with_server = open_fds();
    {
      FtpClient c(srv);
      connect_logged_in(srv, c);
      write_file(srv, "a.txt", pattern_bytes(100000));
      // Passive and active retrievals, a store, a refused PORT target, an abandoned PASV.
      for (int i = 0; i < 3; ++i) {
        DataPeer d(srv);
        ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
        c.cmd("RETR a.txt");
        d.read_all();
        EXPECT_EQ(c.reply(), "226 Transfer Complete.");
        DataPeer a(srv);
        c.cmd("PORT " + a.listen());
        c.cmd("STOR b.txt");
        ASSERT_TRUE(a.accept());
        a.send_all("data");
        a.close();
        EXPECT_EQ(c.reply(), "226 Transfer Complete.");
      }
      c.cmd("PASV");
      c.cmd("PASV");
      write_file(srv, "big.bin", "");
      std::filesystem::resize_file(srv.home() + "/c/big.bin", 64u << 20);
      DataPeer d(srv);
      ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
      c.cmd("RETR big.bin");
      d.read_some(10);
      d.close();
      EXPECT_EQ(c.reply(), "426 Transfer aborted. Data connection closed.");
      c.cmd("PASV");
    }
    // The client went away with a data connection pending.
    for (int i = 0; i < 50 && srv.net().client_count() > 0; ++i) srv.pump(2);
    EXPECT_EQ(srv.net().client_count(), 0);
    EXPECT_TRUE(srv.net().data_route_count() == 0);
    EXPECT_EQ(open_fds(), with_server);
  }
  EXPECT_EQ(open_fds(), before);
}

}  // namespace
}  // namespace qorda::test
