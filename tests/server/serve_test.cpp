// `qorda serve` as a separate process: greeting, SIGTERM (421 to the client, exit 0), a port in
// use (exit 1 with the reason), and Python's ftplib as a real client.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/commands.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "store/keys.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

TEST(Serve, GreetsAnswersAndEndsOnSigterm) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_for("qorda enabled on port " + std::to_string(port) + ".")) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  std::vector<std::string> greeting = c.read_reply();
  ASSERT_FALSE(greeting.empty());
  EXPECT_NE(greeting[0].find(" FTP Server (qorda 1.20) ready."), std::string::npos);
  EXPECT_EQ(greeting.back().substr(0, 4), "220 ");
  EXPECT_EQ(c.cmd("SYST"), "215 UNIX Type: L8");
  srv.signal(SIGTERM);
  EXPECT_EQ(c.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(c.read_until_close(), "");
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
  EXPECT_NE(srv.output().find("qorda disabled."), std::string::npos) << srv.output();
  EXPECT_NE(srv.output().find("] Disconnected."), std::string::npos) << srv.output();
}

TEST(Serve, PortInUseEndsWithStatusOneAndTheReason) {
  TempDir home;
  qorda_cli(home.path(), "init");
  auto holder = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(holder.ok());
  ASSERT_TRUE(holder->bind(platform::SockAddr::any(0)).ok());
  ASSERT_TRUE(holder->listen(1).ok());
  const uint16_t port = holder->local_addr()->port;
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  EXPECT_EQ(srv.wait_exit(), 1);
  EXPECT_NE(srv.output().find("error: can't bind to port " + std::to_string(port) + "."),
            std::string::npos)
      << srv.output();
  EXPECT_NE(srv.output().find("already in use"), std::string::npos) << srv.output();
}

TEST(Serve, PortZeroEndsWithStatusOne) {
  TempDir home;
  qorda_cli(home.path(), "init");
  ServeChild srv(home.path(), "--port 0");
  EXPECT_EQ(srv.wait_exit(), 1);
  EXPECT_NE(srv.output().find("port is 0"), std::string::npos) << srv.output();
}

TEST(Serve, BadArgumentsAreUsageErrors) {
  TempDir home;
  EXPECT_EQ(ServeChild(home.path(), "--port 70000").wait_exit(), 2);
  EXPECT_EQ(ServeChild(home.path(), "--port").wait_exit(), 2);
  EXPECT_EQ(ServeChild(home.path(), "--bogus").wait_exit(), 2);
  ServeChild help(home.path(), "--help");
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.output().find("usage: qorda serve"), std::string::npos);
}

TEST(Serve, RunningOutOfDescriptorsDelaysClientsButNeverStopsAccepting) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  // Few descriptors: some of the clients below find the server without a free one.
  ServeChild srv(home.path(), "--port " + std::to_string(port), "ulimit -n 24;");
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  constexpr int kClients = 30;
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<FtpClient>(port, FtpClient::Pump{}));
  }
  // Each client, in connection order, is greeted once the ones before it have left.
  for (int i = 0; i < kClients; ++i) {
    std::vector<std::string> greeting = clients[i]->read_reply();
    ASSERT_FALSE(greeting.empty()) << "client " << i;
    EXPECT_EQ(greeting.back().substr(0, 4), "220 ") << "client " << i;
    clients[i].reset();
  }
  FtpClient last(port, FtpClient::Pump{});
  ASSERT_FALSE(last.read_reply().empty());
  EXPECT_EQ(last.cmd("NOOP"), "200 NOOP command successful.");
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
}

TEST(Serve, SecondServerOnTheSameHomeIsRefused) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  ServeChild first(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(first.wait_for("qorda enabled on port")) << first.output();
  ServeChild second(home.path(), "--port " + std::to_string(serve_port()));
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.output().find("already running"), std::string::npos) << second.output();
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait_exit(), 0);
}

TEST(Serve, SighupReopensTheLogFile) {
  TempDir home;
  qorda_cli(home.path(), "init");
  const std::string log_path = home.path() + "/server.log";
  {
    app::Context ctx{home.path()};
    auto reg = app::open_store(ctx);
    ASSERT_TRUE(reg.ok());
    ASSERT_TRUE(store::create_key_tree(**reg).ok());
    ASSERT_TRUE((*reg)->set_dword(store::kSetupKey, "iloglf", 5).ok());
    ASSERT_TRUE((*reg)->set_sz(store::kSetupKey, "szlogf", log_path).ok());
  }
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_FALSE(c.read_reply().empty());
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  ASSERT_TRUE(std::filesystem::exists(log_path));
  std::filesystem::rename(log_path, log_path + ".1");
  srv.signal(SIGHUP);
  // Round trips through the server until the signal has been handled and the file is back; a
  // loaded machine may deliver the signal late, so the bound is a deadline, not a count.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(log_path) && std::chrono::steady_clock::now() < deadline) {
    c.cmd("NOOP");
  }
  ASSERT_TRUE(std::filesystem::exists(log_path));
  EXPECT_EQ(c.cmd("SYST"), "215 UNIX Type: L8");
  std::ifstream f(log_path, std::ios::binary);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_NE(text.str().find("CMD:\"SYST\"\r\n"), std::string::npos) << text.str();
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
}

TEST(Serve, PythonFtplibConnectsAndQuits) {
  if (std::system("python3 -c 'import ftplib' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 with ftplib is not installed";
  }
  TempDir home;
  qorda_cli(home.path(), "init");
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();
  std::string cmd = "python3 -c \"import ftplib; f=ftplib.FTP(); f.connect('127.0.0.1', " +
                    std::to_string(port) +
                    "); print(f.getwelcome()); print(f.sendcmd('SYST')); f.quit()\"";
  int status = -1;
  const std::string out = run_command(cmd, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("FTP Server (qorda 1.20) ready."), std::string::npos) << out;
  EXPECT_NE(out.find("215 UNIX Type: L8"), std::string::npos) << out;
  srv.signal(SIGTERM);
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
}

}  // namespace
}  // namespace qorda::test
