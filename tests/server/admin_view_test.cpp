// The engine as the administration window sees it: only the engine's public interface and the
// observer, as a window would use them (figures, the connection views, disconnect and examine by
// id, the tick, the one observer installation).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/netmodule.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

// The only connection's view; fails the test when there is not exactly one.
session::ConnectionView only_connection(TestServer& srv) {
  std::vector<session::ConnectionView> all = srv.net().connections();
  EXPECT_EQ(all.size(), 1u);
  return all.empty() ? session::ConnectionView{} : all.front();
}

TEST(AdminView, FiguresAndTheViewOfAConnectionFollowTheSession) {
  TestServer srv([](store::ServerSettings& s) { s.imaxc = 7; });
  engine::EngineFigures f = srv.net().figures();
  EXPECT_TRUE(f.listening);
  EXPECT_EQ(f.port, srv.port());
  EXPECT_EQ(f.clients, 0);
  EXPECT_EQ(f.max_clients, 7);

  FtpClient c(srv);
  connect_logged_in(srv, c, "alice");
  EXPECT_EQ(srv.net().figures().clients, 1);
  session::ConnectionView v = only_connection(srv);
  EXPECT_EQ(v.user, "alice");
  EXPECT_EQ(v.host, "127.0.0.1");
  EXPECT_TRUE(v.logged_in);
  EXPECT_EQ(v.direction, transfer::Direction::None);
  EXPECT_EQ(srv.net().connection(v.id)->user, "alice");
  EXPECT_FALSE(srv.net().connection(v.id + 1000).has_value());

  // Times run with the engine clock; a command renews the idle time only.
  srv.advance_and_tick(3000);
  v = only_connection(srv);
  EXPECT_EQ(v.online_ms, 3000u);
  EXPECT_EQ(v.idle_ms, 3000u);
  c.cmd("NOOP");
  v = only_connection(srv);
  EXPECT_EQ(v.online_ms, 3000u);
  EXPECT_EQ(v.idle_ms, 0u);

  // A transfer under way: direction, name, position of total and its rate; then the counters.
  write_file(srv, "big.bin", "");
  std::filesystem::resize_file(srv.home() + "/c/big.bin", 64u << 20);
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  c.cmd("RETR big.bin");
  d.read_some(1);
  v = only_connection(srv);
  EXPECT_EQ(v.direction, transfer::Direction::Send);
  EXPECT_EQ(v.file_name, "big.bin");
  EXPECT_EQ(v.total_bytes, 64u << 20);
  EXPECT_GT(v.position, 0u);
  EXPECT_GT(v.rate_kbps, 0.0);
  srv.advance_and_tick(1000);
  EXPECT_GT(srv.net().figures().throughput_kbps, 0.0);
  d.read_all();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  v = only_connection(srv);
  EXPECT_EQ(v.direction, transfer::Direction::None);
  EXPECT_EQ(v.files_retrieved, 1u);
  EXPECT_EQ(v.kb_retrieved, 64u * 1024);
}

TEST(AdminView, DisconnectByIdTellsTheClientAndFreesTheSessionAtTheTick) {
  TestServer srv;
  FtpClient c(srv);
  FtpClient other(srv);
  c.reply();
  other.reply();
  const uint32_t id = session_of(srv, c)->sock;
  const uint32_t other_id = session_of(srv, other)->sock;
  const int ticks = srv.observer.ticks;

  ASSERT_TRUE(srv.net().disconnect(id));
  EXPECT_FALSE(srv.net().disconnect(id));  // already closing
  EXPECT_FALSE(srv.net().disconnect(0xffff));
  EXPECT_EQ(c.reply(), "421 Disconnected by the administrator.");
  EXPECT_TRUE(srv.observer.has("Disconnected. (by administrator)"));
  EXPECT_EQ(srv.net().connections().size(), 2u);  // until the tick
  srv.advance_and_tick(250);
  EXPECT_EQ(srv.observer.ticks, ticks + 1);
  ASSERT_EQ(srv.net().connections().size(), 1u);
  EXPECT_EQ(srv.net().connections().front().id, other_id);
  EXPECT_EQ(srv.observer.removed, std::vector<uint32_t>{id});
  EXPECT_EQ(srv.observer.last_count, 1);
  EXPECT_EQ(other.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(AdminView, ExamineByIdCopiesCommandsAndRepliesUntilSwitchedOff) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  const uint32_t id = only_connection(srv).id;
  c.cmd("SYST");
  EXPECT_TRUE(srv.observer.examined.empty());
  ASSERT_TRUE(srv.net().set_examined(id, true));
  EXPECT_TRUE(only_connection(srv).examined);
  c.cmd("NOOP");
  c.cmd("PASS hidden");
  EXPECT_EQ(srv.observer.examined,
            (std::vector<std::string>{"NOOP", "200 NOOP command successful.", "PASS ***",
                                      "503 Login with USER first."}));
  ASSERT_TRUE(srv.net().set_examined(id, false));
  c.cmd("NOOP");
  EXPECT_EQ(srv.observer.examined.size(), 4u);
  EXPECT_FALSE(srv.net().set_examined(id + 1000, true));
}

TEST(AdminView, OneInstallationFeedsTheLogAndTheEngineAndRestoresThePrevious) {
  TestServer srv;
  RecordingObserver window;
  {
    engine::ObserverInstallation installed(window);
    FtpClient c(srv);
    c.reply();
    EXPECT_TRUE(window.has("Connected to 127.0.0.1."));
    EXPECT_EQ(window.last_count, 1);
    EXPECT_EQ(window.client_lines.size(), 1u);
    EXPECT_FALSE(srv.observer.has("Connected to 127.0.0.1."));
  }
  // The server's own observer is back for the session's departure.
  for (int i = 0; i < 4000 && !srv.net().connections().empty(); ++i) srv.pump(1);
  EXPECT_EQ(srv.observer.last_count, 0);
  EXPECT_EQ(srv.observer.removed.size(), 1u);
  EXPECT_TRUE(srv.observer.has("Disconnected. (client close)"));
}

}  // namespace
}  // namespace qorda::test
