// SIGHUP to a running `qorda serve` after `qorda set`: settings take effect without dropping
// clients, a new port moves the listener, a port that cannot be bound ends the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/commands.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "store/keys.h"
#include "store/settings.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

// `qorda --home H set NAME VALUE`, as an administrator changes a running server's settings.
void qorda_set(const std::string& home, const std::string& name, const std::string& value) {
  const std::string cmd = std::string("'") + QORDA_BINARY + "' --home '" + home + "' set " + name +
                          " " + value + " >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

TEST(ServeReload, LevelAndIdleLimitChangesKeepTheClient) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_FALSE(c.read_reply().empty());

  qorda_set(home.path(), "ilogls", "5");
  srv.signal(SIGHUP);
  ASSERT_TRUE(srv.wait_for("settings reloaded.")) << srv.output();
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  ASSERT_TRUE(srv.wait_for("CMD:\"NOOP\"")) << srv.output();

  // An idle limit of 0 closes the idle client at the next tick: the new value is in use.
  qorda_set(home.path(), "imaxt", "0");
  srv.signal(SIGHUP);
  EXPECT_EQ(c.reply(), "421 Timeout (0 seconds): closing control connection.");
  EXPECT_NE(srv.output().find("settings reloaded."), std::string::npos) << srv.output();
  EXPECT_EQ(srv.output().find("qorda disabled."), std::string::npos) << srv.output();
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
}

TEST(ServeReload, DriveTableChangesApplyToEverySessionAfterSighup) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const std::string d = home.path() + "/srv";
  std::filesystem::create_directories(d);
  { std::ofstream(d + "/x.txt") << "12345"; }
  {
    auto reg = app::open_store(app::Context{home.path()});
    ASSERT_TRUE(reg.ok()) << reg.msg;
    ASSERT_TRUE(store::create_key_tree(**reg).ok());
    add_user(**reg, "all", "pw", "[u] rwdlcxhms /");
  }
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  FtpClient early(port, FtpClient::Pump{});
  ASSERT_EQ(login(early, "all", "pw").substr(0, 3), "230");

  qorda_cli(home.path(), "drive set d '" + d + "'");
  srv.signal(SIGHUP);
  ASSERT_TRUE(srv.wait_for("settings reloaded.")) << srv.output();
  FtpClient late(port, FtpClient::Pump{});
  ASSERT_EQ(login(late, "all", "pw").substr(0, 3), "230");
  EXPECT_EQ(late.cmd("CWD /d:/").substr(0, 4), "250 ");
  EXPECT_EQ(late.cmd("SIZE x.txt"), "213 5");
  EXPECT_EQ(early.cmd("SIZE /d:/x.txt"), "213 5");

  // Taking the drive away reaches the sessions too; one that stands on it is told, not hurt.
  qorda_cli(home.path(), "drive del d");
  srv.signal(SIGHUP);
  ASSERT_TRUE(srv.wait_for("settings reloaded.")) << srv.output();
  EXPECT_EQ(early.cmd("SIZE /d:/x.txt"), "550 /d:/x.txt: No such file or directory.");
  EXPECT_EQ(late.cmd("SIZE x.txt"), "550 x.txt: No such file or directory.");
  EXPECT_EQ(late.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(early.cmd("CWD /c:/").substr(0, 4), "250 ");
  EXPECT_EQ(srv.stop(), 0) << srv.output();
}

TEST(ServeReload, NewPortMovesTheListener) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t first = serve_port();
  qorda_set(home.path(), "iport", std::to_string(first));
  ServeChild srv(home.path(), "");
  ASSERT_TRUE(srv.wait_for("qorda enabled on port " + std::to_string(first) + ".")) << srv.output();
  FtpClient c(first, FtpClient::Pump{});
  ASSERT_FALSE(c.read_reply().empty());

  const uint16_t second = serve_port();
  qorda_set(home.path(), "iport", std::to_string(second));
  srv.signal(SIGHUP);
  EXPECT_EQ(c.reply(), "421 Server shutting down.  Goodbye.");
  ASSERT_TRUE(srv.wait_for("qorda enabled on port " + std::to_string(second) + "."))
      << srv.output();
  FtpClient moved(second, FtpClient::Pump{});
  ASSERT_FALSE(moved.read_reply().empty());
  EXPECT_EQ(moved.cmd("NOOP"), "200 NOOP command successful.");
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
}

TEST(ServeReload, PortOverrideOutlivesAReload) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_FALSE(c.read_reply().empty());
  qorda_set(home.path(), "iport", std::to_string(serve_port()));
  srv.signal(SIGHUP);
  ASSERT_TRUE(srv.wait_for("settings reloaded.")) << srv.output();
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
  EXPECT_EQ(srv.output().find("qorda disabled.\nqorda enabled"), std::string::npos) << srv.output();
}

TEST(ServeReload, PortInUseAfterReloadEndsTheRunWithTheReason) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t first = serve_port();
  qorda_set(home.path(), "iport", std::to_string(first));
  ServeChild srv(home.path(), "");
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  auto holder = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(holder.ok());
  ASSERT_TRUE(holder->bind(platform::SockAddr::any(0)).ok());
  ASSERT_TRUE(holder->listen(1).ok());
  const uint16_t taken = holder->local_addr()->port;
  qorda_set(home.path(), "iport", std::to_string(taken));
  srv.signal(SIGHUP);
  EXPECT_EQ(srv.wait_exit(), 1) << srv.output();
  EXPECT_NE(srv.output().find("error: can't bind to port " + std::to_string(taken) + "."),
            std::string::npos)
      << srv.output();
  EXPECT_NE(srv.output().find("qorda serve: port " + std::to_string(taken) + " is already in use"),
            std::string::npos)
      << srv.output();
}

TEST(ServePort, PrivilegedPortTellsTheAdministratorWhatToDo) {
  int unprivileged_start = 1024;
  std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivileged_start;
  if (unprivileged_start <= 1) GTEST_SKIP() << "every port is open to every user here";
  std::string prefix;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
    prefix =
        "setpriv --reuid=65534 --regid=65534 --clear-groups --bounding-set=-all "
        "--inh-caps=-all";
  }
  TempDir base;  // the unprivileged user makes its home inside
  std::filesystem::permissions(base.path(), std::filesystem::perms::all);
  int st = 0;
  const std::string init =
      run_command(prefix + " '" + QORDA_BINARY + "' --home '" + base.path() + "/home' init", &st);
  ASSERT_EQ(st, 0) << init;
  ServeChild srv(base.path() + "/home", "--port 1", prefix);
  EXPECT_EQ(srv.wait_exit(), 1) << srv.output();
  EXPECT_NE(srv.output().find("error: can't bind to port 1."), std::string::npos) << srv.output();
  EXPECT_NE(srv.output().find("qorda serve: no permission to listen on port 1: ports below 1024 "
                              "need root or CAP_NET_BIND_SERVICE"),
            std::string::npos)
      << srv.output();
}

}  // namespace
}  // namespace qorda::test
