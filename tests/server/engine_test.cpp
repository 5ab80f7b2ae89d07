// The engine: open and close with their log lines, the tables and the client count, the timer
// tick (idle time-out, freeing marked sessions), shutdown with clients connected.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/netmodule.h"
#include "session/session.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(EngineOpen, FirstOpenLogsTheBannerAndLocalConfigurationOnce) {
  engine::NetModule::set_first_open(true);
  uint16_t port = 0;
  {
    TestServer srv;
    port = srv.port();
    const auto& l = srv.observer.lines;
    ASSERT_GE(l.size(), 6u);
    EXPECT_EQ(l[0], "Cindervale FTP Daemon 1.20 by the qorda developers");
    EXPECT_EQ(l[1].rfind("network opened, max. sockets: ", 0), 0u) << l[1];
    EXPECT_EQ(l[2], " local name: '" + srv.net().local_name() + "'.");
    EXPECT_EQ(l[3].rfind(" local ip(0): ", 0), 0u) << l[3];
    EXPECT_EQ(l[l.size() - 2], "qorda enabled on port " + std::to_string(port) + ".");
    EXPECT_EQ(l.back(), "logging to screen only.");
    EXPECT_TRUE(srv.observer.switch_on);
    EXPECT_EQ(srv.observer.last_tip, "Cindervale FTP Daemon 1.20 (0 users)");
    EXPECT_EQ(engine::NetModule::current(), &srv.net());
  }
  EXPECT_EQ(engine::NetModule::current(), nullptr);
  // A second open in the same run: only the listener and log-file lines again.
  TestServer again;
  const auto& l = again.observer.lines;
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0], "qorda enabled on port " + std::to_string(again.port()) + ".");
  EXPECT_EQ(l[1], "logging to screen only.");
}

TEST(EngineOpen, PortZeroOpensWithoutListenerAndWithoutAMessage) {
  TestServer srv([](store::ServerSettings& s) { s.iport = 0; });
  EXPECT_FALSE(srv.net().listening());
  for (const std::string& l : srv.observer.lines) {
    EXPECT_EQ(l.find("port"), std::string::npos) << l;
  }
  EXPECT_TRUE(srv.observer.has("logging to screen only."));
}

TEST(EngineOpen, PortInUseIsLoggedAndLeavesNoListener) {
  TestServer first;
  const uint16_t port = first.port();
  TestServer second([port](store::ServerSettings& s) { s.iport = port; });
  EXPECT_FALSE(second.net().listening());
  EXPECT_TRUE(second.observer.has("error: can't bind to port " + std::to_string(port) + "."));
  EXPECT_NE(second.net().listen_error(), 0);
}

TEST(EngineOpen, LogFileReceivesLinesAndIsAppendedTo) {
  TempDir dir;
  const std::string path = dir.path() + "/server.log";
  for (int round = 0; round < 2; ++round) {
    TestServer srv([&path](store::ServerSettings& s) {
      s.iloglf = 5;
      s.szlogf = path;
    });
    EXPECT_TRUE(srv.observer.has("logging to file \"" + path + "\"."));
    EXPECT_FALSE(srv.observer.has("logging to screen only."));
    FtpClient c(srv);
    c.reply();
    c.cmd("NOOP");
  }
  std::string text = read_file(path);
  size_t first = text.find("CMD:\"NOOP\"\r\n");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find("CMD:\"NOOP\"\r\n", first + 1), std::string::npos) << "not appended";
  EXPECT_EQ(text.find("qorda enabled"), std::string::npos) << "level 0 lines stay off the file";
}

TEST(EngineOpen, UnopenableLogFileFallsBackToTheScreen) {
  TempDir dir;
  TestServer srv([&dir](store::ServerSettings& s) {
    s.iloglf = 1;
    s.szlogf = dir.path() + "/missing-dir/x.log";
  });
  EXPECT_TRUE(
      srv.observer.has("error: can't open log file \"" + dir.path() + "/missing-dir/x.log\"."));
  EXPECT_TRUE(srv.observer.has("logging to screen only."));
  EXPECT_TRUE(srv.net().listening());
}

TEST(EngineClose, EveryClientGets421AndDisconnectedIsLoggedAfterDisabled) {
  TempDir dir;
  const std::string path = dir.path() + "/close.log";
  TestServer srv([&path](store::ServerSettings& s) {
    s.iloglf = 1;
    s.szlogf = path;
  });
  FtpClient a(srv), b(srv);
  EXPECT_EQ(a.reply().substr(0, 4), "220 ");
  EXPECT_EQ(b.reply().substr(0, 4), "220 ");
  EXPECT_EQ(srv.net().client_count(), 2);
  srv.net().close();
  EXPECT_EQ(a.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(b.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(a.read_until_close(), "");
  EXPECT_TRUE(a.peer_closed());
  EXPECT_TRUE(b.peer_closed() || b.read_until_close().empty());
  const auto& l = srv.observer.lines;
  size_t disabled = 0;
  while (disabled < l.size() && l[disabled] != "qorda disabled.") ++disabled;
  ASSERT_LT(disabled, l.size());
  int after = 0;
  for (size_t i = disabled + 1; i < l.size(); ++i) after += l[i].ends_with("] Disconnected.");
  EXPECT_EQ(after, 2);
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_FALSE(srv.observer.switch_on);
  EXPECT_EQ(engine::NetModule::current(), nullptr);
  std::string text = read_file(path);
  size_t n = 0;
  for (size_t p = text.find("Disconnected.\r\n"); p != std::string::npos;
       p = text.find("Disconnected.\r\n", p + 1)) {
    ++n;
  }
  EXPECT_EQ(n, 2u) << text;
}

TEST(EngineTick, IdleTimeoutTakesEffectAtTheFirstTickAfterTheLimit) {
  TestServer srv([](store::ServerSettings& s) { s.imaxt = 60; });
  FtpClient c(srv);
  c.reply();
  c.cmd("NOOP");                // renews the last-activity tick
  srv.advance_and_tick(60000);  // exactly the limit: not yet
  srv.pump(0);
  EXPECT_EQ(srv.net().client_count(), 1);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  srv.advance_and_tick(60001);
  // The same tick closes the session (the reply is flushed first) and frees it.
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_EQ(c.reply(), "421 Timeout (60 seconds): closing control connection.");
  EXPECT_EQ(c.read_until_close(), "");
  EXPECT_TRUE(srv.observer.has("Disconnected. (idle timeout)"));
}

TEST(EngineTick, ZeroIdleLimitClosesAtTheFirstTickWithElapsedTime) {
  TestServer srv([](store::ServerSettings& s) { s.imaxt = 0; });
  FtpClient c(srv);
  c.reply();
  srv.advance_and_tick(0);
  EXPECT_EQ(srv.net().client_count(), 1);
  srv.advance_and_tick(1);
  EXPECT_EQ(c.reply(), "421 Timeout (0 seconds): closing control connection.");
}

TEST(EngineTick, ClientCloseFreesTheSessionAtOnce) {
  TestServer srv;
  {
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(srv.net().client_count(), 1);
  }  // the client closes
  for (int i = 0; i < 200 && srv.net().client_count() != 0; ++i) srv.pump();
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_TRUE(srv.observer.has("Disconnected. (client close)"));
  EXPECT_EQ(srv.observer.removed.size(), 1u);
  ASSERT_FALSE(srv.observer.client_lines.empty());
  EXPECT_NE(srv.observer.client_lines[0].find("] [unknown] 127.0.0.1"), std::string::npos)
      << srv.observer.client_lines[0];
}

TEST(EngineTick, TrayTipFollowsTheClientCount) {
  TestServer srv;
  FtpClient a(srv);
  a.reply();
  EXPECT_EQ(srv.observer.last_tip, "Cindervale FTP Daemon 1.20 (1 user)");
  FtpClient b(srv);
  b.reply();
  EXPECT_EQ(srv.observer.last_tip, "Cindervale FTP Daemon 1.20 (2 users)");
  EXPECT_EQ(srv.net().tray_tip(), "Cindervale FTP Daemon 1.20 (2 users)");
}

TEST(EngineTick, ExaminedSessionEchoesLinesAndCaption) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  const auto& t = srv.net().sessions();
  session::Session* s = nullptr;
  for (int b = 0; b < engine::kBuckets && s == nullptr; ++b) s = t.head(b);
  ASSERT_NE(s, nullptr);
  s->examined = true;
  c.cmd("SYST");
  ASSERT_EQ(srv.observer.examined.size(), 2u);
  EXPECT_EQ(srv.observer.examined[0], "SYST");
  EXPECT_EQ(srv.observer.examined[1], "215 UNIX Type: L8");
  c.cmd("QUIT");
  EXPECT_EQ(srv.observer.caption, "examining client (disconnected!)");
}

TEST(EngineHelpers, TransferRateCountsShortTransfersAs27Ms) {
  EXPECT_DOUBLE_EQ(transfer::transfer_rate_kbps(27 * 1024, 10), 1000.0);
  EXPECT_DOUBLE_EQ(transfer::transfer_rate_kbps(27 * 1024, 54), 1000.0);
  EXPECT_DOUBLE_EQ(transfer::transfer_rate_kbps(1024 * 1000, 1000), 1000.0);
  EXPECT_DOUBLE_EQ(transfer::transfer_rate_kbps(0, 0), 0.0);
}

TEST(EngineOpen, LogFileNameIsADrivePath) {
  std::string home;
  {
    TestServer srv([](store::ServerSettings& s) {
      s.iloglf = 1;
      s.szlogf = "C:\\Server.log";
    });
    home = srv.home();
    FtpClient c(srv);
    c.reply();
    const std::string local = home + "/c/Server.log";
    // The line names the setting as configured, like the failure line below.
    EXPECT_TRUE(srv.observer.has("logging to file \"C:\\Server.log\".")) << srv.observer.lines[1];
    srv.net().close();
    EXPECT_NE(read_file(local).find("Connected to 127.0.0.1.\r\n"), std::string::npos);
  }
  // A drive that is not mapped cannot hold the file.
  TestServer srv([](store::ServerSettings& s) {
    s.iloglf = 1;
    s.szlogf = "q:\\x.log";
  });
  EXPECT_TRUE(srv.observer.has("error: can't open log file \"q:\\x.log\"."));
  EXPECT_TRUE(srv.observer.has("logging to screen only."));
}

TEST(EngineHelpers, BannerLines) {
  EXPECT_TRUE(session::split_banner("").empty());
  EXPECT_EQ(session::split_banner("a").size(), 1u);
  EXPECT_EQ(session::split_banner("a\n").size(), 1u);
  EXPECT_EQ(session::split_banner("a\n\nb").size(), 3u);
  EXPECT_EQ(session::split_banner("\n").size(), 1u);
}

}  // namespace
}  // namespace qorda::test
