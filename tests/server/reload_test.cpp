// Settings applied to a running engine, as a page save or a SIGHUP reload applies them: what
// keeps the clients, what restarts the engine, and how the log file follows its settings.
#include "app/reload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "app/commands.h"
#include "engine/settings_apply.h"
#include "log/log.h"
#include "platform/registry.h"
#include "store/keys.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

store::ServerSettings changed(const std::function<void(store::ServerSettings&)>& edit) {
  store::ServerSettings s = store::settings();
  edit(s);
  return s;
}

TEST(ApplySettings, LevelsAndIdleLimitTakeEffectWithoutDroppingClients) {
  TestServer srv;
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  ASSERT_EQ(srv.observer.count("CMD:\"NOOP\""), 1);

  engine::ApplyOutcome out = engine::apply_settings(changed([](store::ServerSettings& s) {
                                                      s.ilogls = 4;
                                                      s.imaxt = 30;
                                                      s.imaxc = 7;
                                                    }),
                                                    srv.engine_slot(), srv.env(), true);
  EXPECT_FALSE(out.restarted);
  EXPECT_TRUE(out.server_on);
  EXPECT_FALSE(srv.observer.has("qorda disabled."));
  // The same connection goes on; command lines (level 5) are no longer shown.
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(srv.observer.count("CMD:\"NOOP\""), 1);
  EXPECT_EQ(log::logger().screen_level(), 4);
  EXPECT_EQ(store::settings().imaxc, 7u);
  // The new idle limit applies at the next tick past it.
  srv.advance_and_tick(29000);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  srv.advance_and_tick(30001);
  EXPECT_EQ(c.reply(), "421 Timeout (30 seconds): closing control connection.");
}

TEST(ApplySettings, NewPortRestartsTheEngineAndMovesTheListener) {
  TestServer srv;
  const uint16_t old_port = srv.port();
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  const uint16_t new_port = serve_port();
  srv.observer.lines.clear();

  engine::ApplyOutcome out =
      engine::apply_settings(changed([&](store::ServerSettings& s) { s.iport = new_port; }),
                             srv.engine_slot(), srv.env(), true);
  EXPECT_TRUE(out.restarted);
  EXPECT_TRUE(out.server_on);
  EXPECT_EQ(c.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_TRUE(srv.observer.has("qorda disabled."));
  EXPECT_TRUE(srv.observer.has("qorda enabled on port " + std::to_string(new_port) + "."));
  // A second open in the same run repeats no start-up banner.
  for (const std::string& l : srv.observer.lines)
    EXPECT_EQ(l.rfind("network opened", 0), std::string::npos);
  EXPECT_EQ(engine::NetModule::current(), srv.engine_slot().get());
  EXPECT_EQ(srv.net().listen_port(), new_port);

  FtpClient moved(new_port, [&srv] { srv.pump(); });
  ASSERT_FALSE(moved.read_reply().empty());
  EXPECT_EQ(moved.cmd("NOOP"), "200 NOOP command successful.");
  // Nobody listens on the old port any more: it can be taken.
  auto probe = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(probe.ok());
  probe->set_reuse_addr(true);
  EXPECT_TRUE(probe->bind(platform::SockAddr::any(old_port)).ok());
  EXPECT_TRUE(probe->listen(1).ok());
}

TEST(ApplySettings, PortThatCannotBeBoundLeavesTheServerOff) {
  TestServer srv;
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  auto holder = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(holder.ok());
  ASSERT_TRUE(holder->bind(platform::SockAddr::any(0)).ok());
  ASSERT_TRUE(holder->listen(1).ok());
  const uint16_t taken = holder->local_addr()->port;

  engine::ApplyOutcome out =
      engine::apply_settings(changed([&](store::ServerSettings& s) { s.iport = taken; }),
                             srv.engine_slot(), srv.env(), true);
  EXPECT_TRUE(out.restarted);
  EXPECT_FALSE(out.server_on);
  EXPECT_EQ(c.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_TRUE(srv.observer.has("error: can't bind to port " + std::to_string(taken) + "."));
  EXPECT_FALSE(srv.net().is_open());
  EXPECT_EQ(engine::NetModule::current(), nullptr);
  EXPECT_EQ(srv.net().listen_error(), EADDRINUSE);
}

TEST(ApplySettings, UnchangedPortNeverRestarts) {
  TestServer srv;
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  engine::ApplyOutcome out =
      engine::apply_settings(store::settings(), srv.engine_slot(), srv.env(), true);
  EXPECT_FALSE(out.restarted);
  EXPECT_TRUE(out.server_on);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(ApplySettings, HostNameFilledInAtStartIsKept) {
  TestServer srv([](store::ServerSettings& s) {
    s.boverride = 0;
    s.szhostname.clear();
  });
  const std::string local = srv.net().local_name();
  ASSERT_EQ(store::settings().szhostname, local);
  store::ServerSettings fresh = store::settings();
  fresh.szhostname.clear();  // as loaded from a store that holds no szhostname
  engine::apply_settings(fresh, srv.engine_slot(), srv.env(), false);
  EXPECT_EQ(store::settings().szhostname, local);
  // An announced name set by hand replaces it.
  fresh.szhostname = "ftp.example.org";
  fresh.boverride = 1;
  engine::apply_settings(fresh, srv.engine_slot(), srv.env(), false);
  EXPECT_EQ(srv.net().host_name(), "ftp.example.org");
}

class LogFileReaction : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return srv.home() + "/" + name; }
  void apply(const std::function<void(store::ServerSettings&)>& edit, bool rotate = false) {
    srv.observer.lines.clear();
    engine::apply_settings(changed(edit), srv.engine_slot(), srv.env(), rotate);
  }
  TestServer srv;
};

TEST_F(LogFileReaction, TurningFileLoggingOnOpensTheFileAndOffClosesIt) {
  const std::string log = path("a.log");
  apply([&](store::ServerSettings& s) {
    s.iloglf = 3;
    s.szlogf = log;
  });
  EXPECT_EQ(srv.observer.lines, std::vector<std::string>{"logging to file \"" + log + "\"."});
  ASSERT_TRUE(log::logger().file_open());
  log::logger().log(log::Level::Reads, 7, "read line");
  log::logger().log(log::Level::Actions, 7, "action line");  // above the file level
  apply([](store::ServerSettings& s) { s.iloglf = 0; });
  EXPECT_EQ(srv.observer.lines, std::vector<std::string>{"logging to screen only."});
  EXPECT_FALSE(log::logger().file_open());
  log::logger().log(log::Level::Security, 7, "after close");
  const std::string text = slurp(log);
  EXPECT_NE(text.find("[0007] read line\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("action line"), std::string::npos) << text;
  EXPECT_EQ(text.find("after close"), std::string::npos) << text;
}

TEST_F(LogFileReaction, ANewPathMovesTheFileAndALevelChangeKeepsIt) {
  const std::string first = path("first.log");
  const std::string second = path("second.log");
  apply([&](store::ServerSettings& s) {
    s.iloglf = 2;
    s.szlogf = first;
  });
  const int fd = log::logger().file_fd();
  apply([](store::ServerSettings& s) { s.iloglf = 5; });
  EXPECT_TRUE(srv.observer.lines.empty());
  EXPECT_EQ(log::logger().file_fd(), fd);
  EXPECT_EQ(log::logger().file_level(), 5);
  apply([&](store::ServerSettings& s) { s.szlogf = second; });
  EXPECT_EQ(srv.observer.lines, std::vector<std::string>{"logging to file \"" + second + "\"."});
  log::logger().log(log::Level::Security, 1, "goes to the second");
  EXPECT_EQ(slurp(first).find("goes to the second"), std::string::npos);
  EXPECT_NE(slurp(second).find("goes to the second"), std::string::npos);
}

TEST_F(LogFileReaction, AFileThatCannotBeOpenedFallsBackToTheScreen) {
  const std::string bad = path("missing-dir/x.log");
  apply([&](store::ServerSettings& s) {
    s.iloglf = 3;
    s.szlogf = bad;
  });
  EXPECT_EQ(srv.observer.lines,
            (std::vector<std::string>{"error: can't open log file \"" + bad + "\".",
                                      "logging to screen only."}));
  EXPECT_FALSE(log::logger().file_open());
  // A later reload tries again once the directory is there.
  std::filesystem::create_directory(path("missing-dir"));
  apply([](store::ServerSettings&) {}, true);
  EXPECT_EQ(srv.observer.lines, std::vector<std::string>{"logging to file \"" + bad + "\"."});
  EXPECT_TRUE(log::logger().file_open());
}

TEST_F(LogFileReaction, RotationStartsANewFileAtTheSamePath) {
  const std::string log = path("r.log");
  apply([&](store::ServerSettings& s) {
    s.iloglf = 1;
    s.szlogf = log;
  });
  log::logger().log(log::Level::Security, 1, "before rotation");
  std::filesystem::rename(log, log + ".1");
  apply([](store::ServerSettings&) {}, true);
  log::logger().log(log::Level::Security, 1, "after rotation");
  EXPECT_NE(slurp(log + ".1").find("before rotation"), std::string::npos);
  EXPECT_EQ(slurp(log + ".1").find("after rotation"), std::string::npos);
  EXPECT_NE(slurp(log).find("after rotation"), std::string::npos);
}

// reload_settings reads the store; the run's --port override outlives it.
class Reload : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = app::open_store(app::Context{srv.home()});
    ASSERT_TRUE(r.ok()) << r.msg;
    reg = std::move(r.value);
    ASSERT_TRUE(store::create_key_tree(*reg).ok());
    // The store says what the test server runs with, so that only the changes below differ.
    ASSERT_TRUE(store::settings().save_setup(*reg).ok());
  }
  TestServer srv;
  std::unique_ptr<platform::Registry> reg;
};

TEST_F(Reload, ChangesMadeInTheStoreTakeEffect) {
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  ASSERT_TRUE(reg->set_dword(store::kSetupKey, "imaxc", 3).ok());
  ASSERT_TRUE(reg->set_dword(store::kSetupKey, "ballowport", 0).ok());
  engine::ApplyOutcome out = app::reload_settings(*reg, std::nullopt, srv.engine_slot(), srv.env());
  EXPECT_TRUE(out.server_on);
  EXPECT_FALSE(out.restarted);
  EXPECT_EQ(store::settings().imaxc, 3u);
  EXPECT_EQ(store::settings().ballowport, 0u);
  EXPECT_TRUE(srv.observer.has("settings reloaded."));
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Reload, PortOverrideStaysInForce) {
  FtpClient c(srv);
  ASSERT_FALSE(c.read_reply().empty());
  ASSERT_TRUE(reg->set_dword(store::kSetupKey, "iport", serve_port()).ok());
  ASSERT_TRUE(reg->set_dword(store::kSetupKey, "imaxt", 77).ok());
  engine::ApplyOutcome out =
      app::reload_settings(*reg, uint32_t{srv.port()}, srv.engine_slot(), srv.env());
  EXPECT_FALSE(out.restarted);
  EXPECT_EQ(store::settings().iport, srv.port());
  EXPECT_EQ(store::settings().imaxt, 77u);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Reload, BusyStoreChangesNothing) {
  ASSERT_TRUE(reg->set_dword(store::kSetupKey, "iport", 1).ok());
  // Another process holds the store for writing longer than the busy timeout.
  auto other = platform::Registry::open(reg->path());
  ASSERT_TRUE(other.ok());
  auto tx = (*other)->begin();
  ASSERT_TRUE(tx.ok());
  const store::ServerSettings before = store::settings();
  engine::ApplyOutcome out = app::reload_settings(*reg, std::nullopt, srv.engine_slot(), srv.env());
  EXPECT_TRUE(out.server_on);
  EXPECT_FALSE(out.restarted);
  EXPECT_EQ(store::settings().iport, before.iport);
  EXPECT_FALSE(srv.observer.has("settings reloaded."));
  bool logged = false;
  for (const std::string& l : srv.observer.lines) {
    logged = logged || l.rfind("error: can't read the settings (", 0) == 0;
  }
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace qorda::test
