// The control commands against a real `qorda serve` on a loopback port, with FTP clients on the
// other side: who and kick --ban, log --follow, stop --when-idle, another user refused, and bad
// control clients beside a running transfer.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "control/protocol.h"
#include "platform/fileio.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

constexpr int kWaitMs = 10000;  // one wait for a process

// `qorda --home HOME ARGS`: its output, and its exit status in `status`.
std::string qorda(const std::string& home, const std::string& args, int* status) {
  int raw = 0;
  std::string out = run_command("'" QORDA_BINARY "' --home '" + home + "' " + args, &raw);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The JSON answer of a control command run with --json (its last line).
control::JsonValue answer_of(const std::string& home, const std::string& args) {
  int st = 0;
  std::string out = qorda(home, args + " --json", &st);
  EXPECT_EQ(st, 0) << args << "\n" << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  const size_t lf = out.rfind('\n');
  std::optional<control::JsonValue> v =
      control::parse_json(lf == std::string::npos ? out : out.substr(lf + 1));
  EXPECT_TRUE(v) << out;
  return v ? *v : control::JsonValue{};
}

// The last line of a (possibly multi-line) reply.
std::string last_line(const std::string& reply) {
  const size_t lf = reply.rfind('\n');
  return lf == std::string::npos ? reply : reply.substr(lf + 1);
}

// Polls `done` (each poll a round trip to the server) until it holds or the deadline passes.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
  }
  return false;
}

// A home with the account bob (password "secret", reads on c:, allowed from 127.0.0.1 by an
// exact entry) and a file of `size` bytes, big.bin, on drive c:.
void make_home(const std::string& home, uint64_t size) {
  qorda_cli(home, "init");
  qorda_cli(home,
            "user add bob --password secret --perm '[u] r--l----s /c:/' --ip '[u] a 127.0.0.1'");
  std::ofstream f(home + "/c/big.bin", std::ios::binary);
  std::string block(65536, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 251);
  for (uint64_t done = 0; done < size; done += block.size()) {
    f.write(block.data(),
            static_cast<std::streamsize>(std::min<uint64_t>(block.size(), size - done)));
  }
}

// The client end of a passive data connection to a server in another process.
class PassiveData {
 public:
  explicit PassiveData(FtpClient& c) {
    const std::string r = c.cmd("PASV");
    std::smatch m;
    if (!std::regex_search(r, m, std::regex(R"(\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\))"))) {
      ADD_FAILURE() << "PASV: " << r;
      return;
    }
    const auto port = static_cast<uint16_t>(std::stoi(m[5]) * 256 + std::stoi(m[6]));
    auto s = platform::Socket::tcp(nullptr);
    if (!s.ok() || !s->connect(platform::SockAddr::loopback(port)).ok()) {
      ADD_FAILURE() << "cannot connect to the passive port " << port;
      return;
    }
    sock_ = std::move(*s);
  }
  // Reads until the server closes the connection; the byte count.
  uint64_t read_all() {
    uint64_t n = 0;
    char buf[65536];
    while (sock_.valid()) {
      pollfd p{sock_.fd(), POLLIN, 0};
      if (::poll(&p, 1, kWaitMs) <= 0) {
        ADD_FAILURE() << "data connection stalled";
        break;
      }
      const platform::IoResult r = sock_.recv(buf, sizeof buf);
      if (r.would_block()) continue;
      if (!r.ok() || r.n == 0) break;
      n += r.n;
    }
    return n;
  }

 private:
  platform::Socket sock_;
};

// A raw connection to the control socket; a request, then what comes back until the end.
std::string raw_exchange(const std::string& home, const std::string& bytes) {
  auto fd = platform::connect_local(home + "/qorda.sock");
  EXPECT_TRUE(fd.ok()) << fd.err;
  if (!fd.ok()) return {};
  (void)platform::write_all(fd->get(), bytes);  // may fail once the server has had enough
  std::string got;
  char buf[4096];
  for (;;) {
    const platform::IoResult r = platform::read_waiting(fd->get(), buf, sizeof buf, kWaitMs);
    if (!r.ok() || r.n == 0) break;
    got.append(buf, r.n);
  }
  return got;
}

class ControlServe : public ::testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(ControlServe, WhoShowsTheDownloadAndKickBanKeepsTheAddressOut) {
  TempDir dir;
  const std::string home = dir.path();
  constexpr uint64_t kSize = 256ull << 20;  // far more than the socket buffers hold
  make_home(home, kSize);
  const uint16_t port = serve_port();
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();

  FtpClient c(port, FtpClient::Pump{});
  ASSERT_EQ(last_line(login(c, "bob", "secret")).substr(0, 4), "230 ");
  ASSERT_EQ(c.cmd("TYPE I").substr(0, 4), "200 ");
  PassiveData data(c);  // never read: the download stays in progress
  ASSERT_EQ(c.cmd("RETR big.bin").substr(0, 4), "150 ");

  control::JsonValue who;
  const control::JsonValue* t = nullptr;
  ASSERT_TRUE(eventually([&] {
    who = answer_of(home, "who");
    const control::JsonValue* list = who.get("connections");
    if (list == nullptr || list->items.size() != 1) return false;
    t = list->items[0].get("transfer");
    return t != nullptr && t->type == control::JsonValue::Type::Object && t->num("position") > 0;
  })) << control::who_table(who);
  const control::JsonValue& conn = who.get("connections")->items[0];
  EXPECT_EQ(conn.str("user"), "bob");
  EXPECT_EQ(conn.str("address"), "127.0.0.1");
  EXPECT_EQ(t->str("direction"), "retrieving");
  EXPECT_NE(t->str("file").find("big.bin"), std::string::npos);
  EXPECT_EQ(t->num("total"), static_cast<double>(kSize));
  const std::string id = control::id_text(static_cast<uint32_t>(conn.num("id")));

  int st = 0;
  const std::string table = qorda(home, "who", &st);
  EXPECT_EQ(st, 0);
  EXPECT_NE(table.find(id + "   bob"), std::string::npos) << table;
  EXPECT_NE(table.find("retrieving \""), std::string::npos) << table;
  EXPECT_NE(table.find(" of " + std::to_string(kSize) + " bytes, "), std::string::npos) << table;

  const std::string kicked = qorda(home, "kick " + id.substr(1, 4) + " --ban", &st);
  EXPECT_EQ(st, 0) << kicked;
  EXPECT_NE(kicked.find(id + " bob@127.0.0.1 disconnected; 127.0.0.1 banned"), std::string::npos)
      << kicked;
  c.read_until_close();
  EXPECT_TRUE(c.peer_closed());
  // The store holds the deny line the window's dialog writes, in place of the exact allow.
  const std::string shown = qorda_cli(home, "user show bob");
  EXPECT_NE(shown.find("[u] d 127.0.0.1"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("[u] a 127.0.0.1"), std::string::npos) << shown;
  FtpClient again(port, FtpClient::Pump{});
  EXPECT_EQ(last_line(login(again, "bob", "secret")), "530 Login incorrect.");
  EXPECT_TRUE(srv.wait_for("ip not allowed")) << srv.output();

  // An id nobody has, and one that is not an id at all.
  EXPECT_NE(qorda(home, "kick 7ffe", &st).find("no connection [7ffe]"), std::string::npos);
  EXPECT_EQ(st, 1);
  qorda(home, "kick nonsense", &st);
  EXPECT_EQ(st, 2);
  EXPECT_EQ(srv.stop(), 0) << srv.output();
}

TEST_F(ControlServe, LogFollowSeesANewClientAndEndsWithTheServer) {
  TempDir dir;
  const std::string home = dir.path();
  qorda_cli(home, "init");
  const uint16_t port = serve_port();
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();

  int st = 0;
  const std::string last = qorda(home, "log --lines 2", &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(last, "qorda enabled on port " + std::to_string(port) + ".\nlogging to screen only.\n");

  ServeChild follow(
      ServeChild::Script{"'" QORDA_BINARY "' --home '" + home + "' log --follow --lines 1"});
  ASSERT_TRUE(follow.wait_for("logging to screen only.")) << follow.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_FALSE(c.read_reply().empty());
  EXPECT_TRUE(follow.wait_for("Connected to 127.0.0.1.")) << follow.output();

  // `stop` returns once the server has ended; the follower then ends too, with status 0.
  const std::string stopped = qorda(home, "stop", &st);
  EXPECT_EQ(st, 0) << stopped;
  EXPECT_EQ(stopped, "the server on " + home + " has stopped\n");
  EXPECT_EQ(c.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
  EXPECT_EQ(follow.wait_exit(), 0) << follow.output();
  EXPECT_NE(follow.output().find("qorda disabled."), std::string::npos) << follow.output();
  EXPECT_NE(follow.output().find("has stopped"), std::string::npos) << follow.output();
  EXPECT_FALSE(std::filesystem::exists(home + "/qorda.sock"));
  const std::string none = qorda(home, "status", &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(none, "qorda status: no qorda is running on " + home + " (nothing answers at " + home +
                      "/qorda.sock)\n");
}

TEST_F(ControlServe, StopWhenIdleLetsTheClientFinishAndEndsWithStatusZero) {
  TempDir dir;
  const std::string home = dir.path();
  make_home(home, 1 << 20);
  const uint16_t port = serve_port();
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_EQ(last_line(login(c, "bob", "secret")).substr(0, 4), "230 ");

  int st = 0;
  const std::string out = qorda(home, "stop --when-idle", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("stops once its 1 connected client has left"), std::string::npos) << out;
  EXPECT_TRUE(answer_of(home, "status").flag("stop_pending"));
  EXPECT_FALSE(answer_of(home, "status").flag("listening"));
  EXPECT_NE(qorda(home, "switch on", &st).find("'qorda stop' ends it now"), std::string::npos);
  EXPECT_EQ(st, 1);
  // Nobody new gets in; the client here still works, a whole download included.
  FtpClient late(port, FtpClient::Pump{});
  EXPECT_TRUE(late.read_reply().empty());
  ASSERT_EQ(c.cmd("TYPE I").substr(0, 4), "200 ");
  PassiveData data(c);
  ASSERT_EQ(c.cmd("RETR big.bin").substr(0, 4), "150 ");
  EXPECT_EQ(data.read_all(), 1u << 20);
  EXPECT_EQ(c.reply().substr(0, 4), "226 ");
  EXPECT_EQ(c.cmd("QUIT").substr(0, 4), "221 ");
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
  EXPECT_FALSE(std::filesystem::exists(home + "/qorda.sock"));
}

TEST_F(ControlServe, AfterACrashTheNextRunTakesTheSocketOver) {
  TempDir dir;
  const std::string home = dir.path();
  qorda_cli(home, "init");
  const uint16_t port = serve_port();
  {
    ServeChild crashed(home, "--port " + std::to_string(port));
    ASSERT_TRUE(crashed.wait_up()) << crashed.output();
    crashed.signal(SIGKILL);
    crashed.wait_exit();
  }
  ASSERT_TRUE(std::filesystem::is_socket(home + "/qorda.sock"));
  int st = 0;
  EXPECT_NE(qorda(home, "who", &st).find("no qorda is running on " + home), std::string::npos);
  EXPECT_EQ(st, 1);
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  EXPECT_EQ(srv.output().find("no control socket"), std::string::npos) << srv.output();
  EXPECT_EQ(answer_of(home, "status").num("port"), port);
  EXPECT_EQ(srv.stop(), 0) << srv.output();
  EXPECT_FALSE(std::filesystem::exists(home + "/qorda.sock"));
}

TEST_F(ControlServe, AnotherUserIsRefusedByTheFileAndByThePeerCheck) {
  if (platform::effective_uid() != 0 || !have_program("setpriv")) {
    GTEST_SKIP() << "running a client as another user needs root and setpriv";
  }
  TempDir dir;
  const std::string home = dir.path();
  qorda_cli(home, "init");
  const uint16_t port = serve_port();
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups '" QORDA_BINARY
                                "' --home '" +
                                home + "' status";
  int raw = 0;
  std::string out = run_command(as_nobody, &raw);
  EXPECT_EQ(WEXITSTATUS(raw), 1) << out;
  EXPECT_NE(out.find("refuses this user (uid 65534)"), std::string::npos) << out;
  // With the home and the socket opened up by hand, the server still says no.
  std::filesystem::permissions(
      home, std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  std::filesystem::permissions(home + "/qorda.sock", std::filesystem::perms::all);
  out = run_command(as_nobody, &raw);
  EXPECT_EQ(WEXITSTATUS(raw), 1) << out;
  EXPECT_NE(out.find("uid 65534 may not control this server (only uid 0 and root may)"),
            std::string::npos)
      << out;
  EXPECT_TRUE(answer_of(home, "status").flag("on"));  // the owner still can
  EXPECT_EQ(srv.stop(), 0) << srv.output();
}

TEST_F(ControlServe, BadControlClientsDoNotDisturbARunningTransfer) {
  TempDir dir;
  const std::string home = dir.path();
  constexpr uint64_t kSize = 64ull << 20;
  make_home(home, kSize);
  const uint16_t port = serve_port();
  ServeChild srv(home, "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  FtpClient c(port, FtpClient::Pump{});
  ASSERT_EQ(last_line(login(c, "bob", "secret")).substr(0, 4), "230 ");
  ASSERT_EQ(c.cmd("TYPE I").substr(0, 4), "200 ");
  PassiveData data(c);
  ASSERT_EQ(c.cmd("RETR big.bin").substr(0, 4), "150 ");

  // One that connects and says nothing, one that sends garbage, one an endless line.
  auto silent = platform::connect_local(home + "/qorda.sock");
  ASSERT_TRUE(silent.ok());
  std::string got = raw_exchange(home, "\x01\xff garbage\n");
  EXPECT_NE(got.find(R"({"ok":false,"error":"bad-request")"), std::string::npos) << got;
  got = raw_exchange(home, std::string(1 << 20, 'x'));
  EXPECT_NE(got.find("longer than 256 bytes"), std::string::npos) << got;
  got = raw_exchange(home, "reboot\n");
  EXPECT_NE(got.find("unknown request 'reboot'"), std::string::npos) << got;
  // The server still answers, and the download arrives whole.
  EXPECT_TRUE(answer_of(home, "status").flag("on"));
  EXPECT_EQ(data.read_all(), kSize);
  EXPECT_EQ(c.reply().substr(0, 4), "226 ");
  EXPECT_EQ(srv.stop(), 0) << srv.output();
}

}  // namespace
}  // namespace qorda::test
