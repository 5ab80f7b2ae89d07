// The control socket inside the process, on the test engine's loop: what it does with the file
// it is given (a crashed run's socket, a live one, a file of another kind), and a follower that
// never reads, which costs a bounded buffer and is dropped with an error line while FTP clients
// carry on.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "control/control_server.h"
#include "control/limits.h"
#include "control/protocol.h"
#include "platform/fileio.h"
#include "platform/local_socket.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {
namespace {

// The test engine as the control socket sees it.
class TestTarget final : public control::ControlTarget {
 public:
  explicit TestTarget(TestServer& s) : s_(s) {}
  bool is_on() const override { return s_.net().is_open(); }
  engine::EngineFigures figures() const override { return s_.net().figures(); }
  std::vector<session::ConnectionView> connections() const override {
    return s_.net().connections();
  }
  std::optional<session::ConnectionView> connection(uint32_t id) const override {
    return s_.net().connection(id);
  }
  bool disconnect(uint32_t id) override { return s_.net().disconnect(id); }
  platform::Registry& store() override { return s_.registry(); }
  bool switch_on(std::string*) override { return is_on(); }
  void switch_off() override {}
  void stop(bool) override { ++stops; }
  bool stop_pending() const override { return false; }
  int stops = 0;

 private:
  TestServer& s_;
};

// Reads what the control socket sent, pumping the engine between tries, until the connection
// ends or `until` appears; false when neither happened within the budget.
bool read_pumping(TestServer& srv, int fd, std::string* got, const std::string& until = {}) {
  char buf[65536];
  for (int i = 0; i < 4000; ++i) {
    srv.pump(1);
    const platform::IoResult r = platform::read_waiting(fd, buf, sizeof buf, 0);
    if (r.err == ETIMEDOUT) continue;
    if (!r.ok() || r.n == 0) return true;
    got->append(buf, r.n);
    if (!until.empty() && got->find(until) != std::string::npos) return true;
  }
  return false;
}

std::string ask(TestServer& srv, const std::string& path, const std::string& request) {
  auto fd = platform::connect_local(path);
  EXPECT_TRUE(fd.ok()) << fd.err;
  if (!fd.ok()) return {};
  EXPECT_TRUE(platform::write_all(fd->get(), request).ok());
  std::string got;
  EXPECT_TRUE(read_pumping(srv, fd->get(), &got));
  return got;
}

TEST(ControlSocket, ReplacesOnlyAStaleSocketAndRemovesItsOwnAtTheEnd) {
  std::signal(SIGPIPE, SIG_IGN);
  TestServer srv;
  TestTarget target(srv);
  const std::string path = srv.home() + "/" + control::kSocketName;

  // A socket file nobody answers on: what a crashed run leaves.
  {
    platform::LocalFileId id;
    auto old = platform::listen_local(nullptr, path, 1, &id);
    ASSERT_TRUE(old.ok());
  }
  ASSERT_TRUE(std::filesystem::is_socket(path));
  {
    auto first = control::ControlServer::open(srv.loop(), srv.home(), target);
    ASSERT_TRUE(first.ok()) << first.msg;
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_NE(ask(srv, path, "status\n").find("\"port\":" + std::to_string(srv.port())),
              std::string::npos);
    // A live one is not taken over.
    auto second = control::ControlServer::open(srv.loop(), srv.home(), target);
    EXPECT_FALSE(second.ok());
    EXPECT_NE(second.msg.find("another process answers on " + path), std::string::npos);
    EXPECT_NE(ask(srv, path, "who\n").find("\"connections\":[]"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  // Other kinds of file are left alone.
  std::ofstream(path) << "keep me";
  auto refused = control::ControlServer::open(srv.loop(), srv.home(), target);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.msg.find("is not a socket"), std::string::npos) << refused.msg;
  std::filesystem::remove(path);
  std::filesystem::create_symlink(srv.home() + "/elsewhere", path);
  EXPECT_FALSE(control::ControlServer::open(srv.loop(), srv.home(), target).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(path));
}

TEST(ControlSocket, AFollowerThatNeverReadsIsDroppedWithAnErrorLine) {
  std::signal(SIGPIPE, SIG_IGN);
  TestServer srv;
  TestTarget target(srv);
  auto server = control::ControlServer::open(srv.loop(), srv.home(), target);
  ASSERT_TRUE(server.ok()) << server.msg;
  FtpClient ftp(srv);
  ASSERT_FALSE(ftp.read_reply().empty());

  auto fd = platform::connect_local((*server)->path());
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(platform::write_all(fd->get(), "log 0 follow\n").ok());
  std::string got;
  ASSERT_TRUE(read_pumping(srv, fd->get(), &got, "\"following\":true}\n"));
  ASSERT_EQ(got, "{\"ok\":true,\"lines\":0,\"following\":true}\n");

  // Far more log lines than the socket and the bounded buffer hold, none of them read.
  const std::string filler(1000, 'x');
  constexpr int kLines = 2000;
  for (int i = 0; i < kLines; ++i) {
    engine::installed_observer().screen_line(std::to_string(i) + filler);
    srv.pump(0);
  }
  // The server stays answerable meanwhile, on both sides.
  EXPECT_EQ(ftp.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_NE(ask(srv, (*server)->path(), "status\n").find("\"ok\":true"), std::string::npos);

  got.clear();
  ASSERT_TRUE(read_pumping(srv, fd->get(), &got));
  ASSERT_FALSE(got.empty());
  const size_t last = got.rfind('\n', got.size() - 2);
  EXPECT_EQ(
      got.substr(last + 1),
      "{\"ok\":false,\"error\":\"too-slow\",\"message\":\"dropped: the log lines were not read "
      "(more than 262144 bytes waited)\"}\n");
  const size_t delivered = static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) - 1;
  EXPECT_LT(delivered, static_cast<size_t>(kLines));
  EXPECT_EQ((*server)->client_count(), 0u);
  // The screen log keeps its own bound.
  EXPECT_EQ((*server)->screen_log().lines().size(), 500u);
}

TEST(ControlSocket, SilentConnectionsMakeWayOldestFirst) {
  std::signal(SIGPIPE, SIG_IGN);
  TestServer srv;
  TestTarget target(srv);
  auto server = control::ControlServer::open(srv.loop(), srv.home(), target);
  ASSERT_TRUE(server.ok()) << server.msg;
  const std::string path = (*server)->path();
  std::vector<platform::UniqueFd> silent;
  for (size_t i = 0; i < control::kMaxClients; ++i) {
    auto fd = platform::connect_local(path);
    ASSERT_TRUE(fd.ok());
    silent.push_back(std::move(*fd));
    for (int k = 0; k < 100 && (*server)->client_count() <= i; ++k) srv.pump(1);
  }
  ASSERT_EQ((*server)->client_count(), control::kMaxClients);
  // The next one is served; the first silent one is told why it goes.
  EXPECT_NE(ask(srv, path, "status\n").find("\"ok\":true"), std::string::npos);
  std::string got;
  ASSERT_TRUE(read_pumping(srv, silent[0].get(), &got));
  EXPECT_EQ(got,
            "{\"ok\":false,\"error\":\"dropped\",\"message\":\"no request came, and another "
            "control connection needed the place\"}\n");
  EXPECT_EQ((*server)->client_count(), control::kMaxClients - 1);
  // The others still get their answer.
  ASSERT_TRUE(platform::write_all(silent[1].get(), "who\n").ok());
  got.clear();
  ASSERT_TRUE(read_pumping(srv, silent[1].get(), &got));
  EXPECT_EQ(got, "{\"ok\":true,\"connections\":[]}\n");
}

TEST(ControlSocket, AnAnswerNobodyTakesMakesWayToo) {
  std::signal(SIGPIPE, SIG_IGN);
  TestServer srv;
  TestTarget target(srv);
  auto server = control::ControlServer::open(srv.loop(), srv.home(), target);
  ASSERT_TRUE(server.ok()) << server.msg;
  const std::string path = (*server)->path();
  const std::string filler(1000, 'y');
  for (int i = 0; i < 500; ++i) engine::installed_observer().screen_line(filler);

  // The whole log, more than the socket's buffer holds, asked for and never read.
  auto stuck = platform::connect_local(path);
  ASSERT_TRUE(stuck.ok());
  ASSERT_TRUE(platform::write_all(stuck->get(), "log 500\n").ok());
  for (int k = 0; k < 200; ++k) srv.pump(1);
  ASSERT_EQ((*server)->client_count(), 1u) << "the answer fitted the socket; the test needs more";
  std::vector<platform::UniqueFd> silent;
  for (size_t i = 1; i < control::kMaxClients; ++i) {
    auto fd = platform::connect_local(path);
    ASSERT_TRUE(fd.ok());
    silent.push_back(std::move(*fd));
    for (int k = 0; k < 100 && (*server)->client_count() <= i; ++k) srv.pump(1);
  }
  ASSERT_EQ((*server)->client_count(), control::kMaxClients);

  // The stuck reader came first, so it goes: the next client is served, not told "busy".
  EXPECT_NE(ask(srv, path, "status\n").find("\"ok\":true"), std::string::npos);
  std::string got;
  ASSERT_TRUE(read_pumping(srv, stuck->get(), &got));
  EXPECT_EQ(got.find("\"lines\":500"), std::string::npos) << "it was cut off, not answered";
  EXPECT_EQ((*server)->client_count(), control::kMaxClients - 1);
}

}  // namespace
}  // namespace qorda::test
