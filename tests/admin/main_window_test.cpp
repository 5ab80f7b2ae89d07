// The main window against a real engine: the tray's state and tooltip, the close rule with the
// wait-until-idle path and its blinking title, hiding and restoring, and the server switch.
#include "admin/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QHostAddress>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include "admin/shutdown_dialog.h"
#include "admin/status_page.h"
#include "admin/tray_icon.h"
#include "tests/admin/gui_support.h"

namespace qorda::test {
namespace {

using admin::MainWindow;
using admin::ShutdownChoice;
using admin::TrayPicture;

TEST(WindowRules, TrayPictureAndTitleBlink) {
  EXPECT_EQ(admin::tray_picture(false, 3), TrayPicture::Off);
  EXPECT_EQ(admin::tray_picture(true, 0), TrayPicture::Idle);
  EXPECT_EQ(admin::tray_picture(true, 2), TrayPicture::Clients);
  EXPECT_EQ(admin::blink_title(0), QStringLiteral("Cindervale FTP Daemon Shutting Down"));
  EXPECT_EQ(admin::blink_title(6), QStringLiteral("Cindervale FTP Daemon 1.20"));
  EXPECT_TRUE(admin::blink_title(3).isEmpty());
}

TEST(MainWindow, FixedTitledSheetAndATrayThatFollowsTheClients) {
  GuiServer srv;
  MainWindow w(srv.control());
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Cindervale FTP Daemon 1.20"));
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  QStringList tabs;
  for (int i = 0; i < w.sheet().count(); ++i) tabs << w.sheet().tabText(i);
  EXPECT_EQ(tabs, QStringList({"status", "setup", "extras", "banners", "accounts", "about"}));

  // The offscreen platform has no notification area: no icon, but the state is kept.
  admin::TrayIcon& tray = w.tray();
  EXPECT_FALSE(tray.added());
  EXPECT_EQ(tray.picture(), TrayPicture::Idle) << "the status page switched the server on";
  EXPECT_EQ(tray.tip(), QStringLiteral("Cindervale FTP Daemon 1.20 (0 users)"));
  auto a = gui_client(srv);
  a->reply();
  ASSERT_TRUE(srv.pump_until([&] { return srv.control().client_count() == 1; }));
  EXPECT_EQ(tray.tip(), QStringLiteral("Cindervale FTP Daemon 1.20 (1 user)"));
  EXPECT_EQ(tray.picture(), TrayPicture::Clients);
  auto b = gui_client(srv);
  b->reply();
  ASSERT_TRUE(srv.pump_until([&] { return srv.control().client_count() == 2; }));
  EXPECT_EQ(tray.tip(), QStringLiteral("Cindervale FTP Daemon 1.20 (2 users)"));
}

// Whether a connection to the port is accepted. The kernel answers both ways at once on
// loopback (a listener's backlog completes the handshake), so the wait never runs out.
bool accepts(uint16_t port) {
  QTcpSocket s;
  s.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
  return s.waitForConnected(10000);
}

// Presses the "Shutting Down" dialog's ok, with the wait box as given, once it runs.
void answer_shutdown(bool wait) {
  QTimer::singleShot(0, [wait] {
    auto* d = qobject_cast<admin::ShutdownDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(d->wait_box()->isChecked());
    if (wait) QTest::mouseClick(d->wait_box(), Qt::LeftButton);
    QTest::mouseClick(d->ok_button(), Qt::LeftButton);
  });
}

TEST(MainWindow, WaitingForTheLastClientBlinksTheTitleAndClosesWithinATick) {
  GuiServer srv;
  MainWindow w(srv.control());
  w.show();
  QSignalSpy closed(&w, &MainWindow::closed);
  QSignalSpy log(&srv.control().observer(), &admin::QtObserver::screenLine);
  auto c = gui_client(srv);
  c->reply();
  ASSERT_TRUE(srv.pump_until([&] { return srv.control().client_count() == 1; }));

  answer_shutdown(true);
  EXPECT_FALSE(w.close());
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.shutdown_pending());
  EXPECT_EQ(closed.size(), 0);
  EXPECT_FALSE(accepts(srv.port())) << "nobody new gets in";
  EXPECT_EQ(log.last().at(0).toString().right(16), QStringLiteral("qorda disabled."));
  EXPECT_EQ(w.tray().picture(), TrayPicture::Off);
  EXPECT_EQ(c->cmd("NOOP").substr(0, 4), "200 ") << "the client already here carries on";

  // The title alternates every six ticks.
  const int start = w.blink_counter();
  for (int i = 0; i < 12; ++i) {
    const int at = (start + i) % admin::kTitleBlinkTicks;
    srv.tick();
    if (at == 0) {
      EXPECT_EQ(w.windowTitle(), QStringLiteral("Cindervale FTP Daemon Shutting Down"));
    }
    if (at == 6) {
      EXPECT_EQ(w.windowTitle(), QStringLiteral("Cindervale FTP Daemon 1.20"));
    }
  }
  EXPECT_EQ(w.blink_counter(), start);

  // Hidden meanwhile, the window still closes (and says so) when the last client leaves.
  w.hide_window();
  EXPECT_EQ(c->cmd("QUIT").substr(0, 4), "221 ");
  srv.tick();  // the session is freed; the window sees no client left
  srv.pump();
  EXPECT_EQ(closed.size(), 1);
  EXPECT_FALSE(w.shutdown_pending());
}

TEST(MainWindow, CloseAsksOnlyWithClientsAndCancelKeepsTheWindow) {
  GuiServer srv;
  MainWindow w(srv.control());
  w.show();
  QSignalSpy closed(&w, &MainWindow::closed);
  std::vector<ShutdownChoice> answers;
  int asked = 0;
  w.set_shutdown_asker([&] {
    ++asked;
    const ShutdownChoice c = answers.front();
    answers.erase(answers.begin());
    return c;
  });
  auto c = gui_client(srv);
  c->reply();
  ASSERT_TRUE(srv.pump_until([&] { return srv.control().client_count() == 1; }));
  answers = {ShutdownChoice::Cancel, ShutdownChoice::Now};
  EXPECT_FALSE(w.close());
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.shutdown_pending());
  EXPECT_TRUE(accepts(srv.port())) << "cancel leaves the listener";
  EXPECT_TRUE(w.close());
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(closed.size(), 1);

  // With nobody connected the window closes without a question.
  GuiServer idle;
  MainWindow v(idle.control());
  v.show();
  v.set_shutdown_asker([&] {
    ADD_FAILURE() << "asked with no client connected";
    return ShutdownChoice::Cancel;
  });
  EXPECT_TRUE(v.close());
}

TEST(MainWindow, HideMinimiseAndRestoreFollowTheSettings) {
  GuiServer srv([](store::ServerSettings& s) { s.bminhide = 1; });
  MainWindow w(srv.control());
  w.show_at_start();
  ASSERT_TRUE(w.isVisible());
  QTest::mouseClick(w.status_page().hide_button(), Qt::LeftButton);
  EXPECT_TRUE(w.is_hidden());
  EXPECT_FALSE(w.isVisible());
  w.restore_requested();
  EXPECT_FALSE(w.is_hidden());
  EXPECT_TRUE(w.isVisible());

  // Minimising hides the window when bminhide is set.
  w.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(srv.pump_until([&] { return w.is_hidden(); }));
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.isMinimized()) << "restored, it comes back in its normal state";

  // With bnorestore neither a tray event nor a second start brings it back.
  store::settings().bnorestore = 1;
  QSignalSpy quick(&w, &MainWindow::quickInfoRequested);
  Q_EMIT w.tray().clicked();
  Q_EMIT w.tray().doubleClicked();
  w.bring_forward();
  EXPECT_TRUE(w.is_hidden());
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(quick.size(), 0);
  store::settings().bnorestore = 0;
  Q_EMIT w.tray().clicked();
  EXPECT_EQ(quick.size(), 1);
  w.bring_forward();
  EXPECT_TRUE(w.isVisible());
}

TEST(MainWindow, StartingHiddenNeedsARunningServer) {
  GuiServer srv([](store::ServerSettings& s) { s.bhide = 1; });
  MainWindow w(srv.control());
  w.show_at_start();
  EXPECT_TRUE(w.is_hidden());
  EXPECT_FALSE(w.isVisible());

  // A server that could not listen shows its window, whatever bhide says.
  const uint16_t taken = srv.port();
  GuiServer second([taken](store::ServerSettings& s) {
    s.bhide = 1;
    s.iport = taken;
  });
  MainWindow v(second.control());
  EXPECT_FALSE(second.control().is_on());
  v.show_at_start();
  EXPECT_FALSE(v.is_hidden());
  EXPECT_TRUE(v.isVisible());
}

TEST(MainWindow, TheSliderSwitchesTheServerAndFallsBackWhenThePortIsTaken) {
  GuiServer srv;
  MainWindow w(srv.control());
  QSlider* slider = w.status_page().server_switch();
  ASSERT_EQ(slider->value(), 1);
  auto c = gui_client(srv);
  c->reply();
  QTest::keyClick(slider, Qt::Key_Left);
  EXPECT_EQ(slider->value(), 0);
  EXPECT_FALSE(srv.control().is_on());
  EXPECT_EQ(w.tray().picture(), TrayPicture::Off);
  EXPECT_EQ(c->reply(), "421 Server shutting down.  Goodbye.");
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_EQ(slider->value(), 1);
  EXPECT_TRUE(srv.control().is_on());
  EXPECT_EQ(w.tray().picture(), TrayPicture::Idle);

  // Someone else takes the port while the server is off: switching on fails and the slider
  // goes back to off.
  QTest::keyClick(slider, Qt::Key_Left);
  GuiServer other([&](store::ServerSettings& s) { s.iport = srv.port(); });
  ASSERT_TRUE(other.control().switch_on());
  store::settings().iport = srv.port();
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_EQ(slider->value(), 0);
  EXPECT_FALSE(srv.control().is_on());
}

}  // namespace
}  // namespace qorda::test
