// The window's side of the engine: the switch, the observer's signals and the by-id commands
// reach a real engine through ServerControl, with the loop driven by Qt's event processing.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "tests/admin/gui_support.h"

namespace qorda::test {
namespace {

TEST(ServerControl, TheSwitchAndTheSignalsFollowTheEngine) {
  GuiServer srv;
  admin::ServerControl& ctl = srv.control();
  QSignalSpy lines(&ctl.observer(), &admin::QtObserver::clientLine);
  QSignalSpy removed(&ctl.observer(), &admin::QtObserver::clientLineRemoved);
  QSignalSpy ticks(&ctl.observer(), &admin::QtObserver::tick);
  QSignalSpy switched(&ctl.observer(), &admin::QtObserver::switchPosition);
  ASSERT_TRUE(ctl.switch_on());
  ASSERT_EQ(switched.size(), 1);
  EXPECT_TRUE(switched.at(0).at(0).toBool());

  auto c = gui_client(srv);
  EXPECT_EQ(c->reply(), "220 test.host FTP Server (qorda 1.20) ready.");
  ASSERT_EQ(lines.size(), 1);
  const quint32 id = lines.at(0).at(0).toUInt();
  EXPECT_TRUE(lines.at(0).at(1).toString().endsWith("[unknown] 127.0.0.1"));
  EXPECT_EQ(ctl.client_count(), 1);
  ASSERT_TRUE(ctl.connection(id).has_value());

  ASSERT_TRUE(ctl.disconnect(id));
  EXPECT_EQ(c->reply(), "421 Disconnected by the administrator.");
  srv.tick();
  EXPECT_EQ(ticks.size(), 1);
  ASSERT_EQ(removed.size(), 1);
  EXPECT_EQ(removed.at(0).at(0).toUInt(), id);

  ctl.switch_off();
  EXPECT_FALSE(ctl.is_on());
  EXPECT_FALSE(switched.last().at(0).toBool());
  EXPECT_EQ(ctl.figures().clients, 0);
}

TEST(ServerControl, ATakenPortLeavesTheServerOff) {
  GuiServer first;
  ASSERT_TRUE(first.control().switch_on());
  // The second server's engine finds the port taken: it opens, logs why and closes again.
  const uint16_t taken = first.port();
  GuiServer second([taken](store::ServerSettings& s) { s.iport = taken; });
  QSignalSpy log(&second.control().observer(), &admin::QtObserver::screenLine);
  EXPECT_FALSE(second.control().switch_on());
  EXPECT_FALSE(second.control().is_on());
  bool said = false;
  for (const QList<QVariant>& l : log) said |= l.at(0).toString().contains("can't bind to port");
  EXPECT_TRUE(said);
}

}  // namespace
}  // namespace qorda::test
