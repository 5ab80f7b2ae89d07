// The examine window: its texts and the list's scrolling on their own, then the real dialog
// following a real client (before login, its lines only while examined, the times on the
// engine clock, the disconnect, a file on its way) and the modal flow.
#include "admin/examine_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "tests/admin/gui_support.h"
#include "tests/admin/upload_peer.h"

namespace qorda::test {
namespace {

using admin::ExamineWindow;
using namespace admin::examine;

TEST(ExamineTexts, UserTimesStatisticsAndTransfer) {
  session::ConnectionView v;
  v.user = "[unknown]";
  v.host = "127.0.0.1";
  EXPECT_EQ(user_text(v), "[unknown]@127.0.0.1");
  EXPECT_EQ(duration_text(0), "00:00:00");
  EXPECT_EQ(duration_text(3723999), "01:02:03");
  EXPECT_EQ(duration_text(100u * 3600 * 1000 + 59000), "100:00:59");  // hours do not wrap
  v.files_retrieved = 3;
  v.kb_retrieved = 4096;
  v.files_stored = 1;
  v.kb_stored = 3000000000u;
  EXPECT_EQ(statistics_text(v), "retrieved 3 files, 4096 kb.\r\nstored 1 files, 3000000000 kb.");
  EXPECT_EQ(transfer_text(v), "none.");
  v.direction = transfer::Direction::Send;
  v.file_name = "big.iso";
  v.position = 1024;
  v.total_bytes = 5000000000u;
  v.rate_kbps = 12.345678;
  EXPECT_EQ(transfer_text(v), "retrieving: \"big.iso\"\r\n1024 of 5000000000 bytes, 12.35 kb/s");
  v.direction = transfer::Direction::Receive;
  v.rate_kbps = 0;
  EXPECT_EQ(transfer_text(v), "storing: \"big.iso\"\r\n1024 of 5000000000 bytes, 0.00 kb/s");
}

TEST(ExamineList, VisibleLinesAndTheTopLineAfterAnAppend) {
  EXPECT_EQ(visible_lines(100, 10), 9);
  EXPECT_EQ(visible_lines(109, 10), 9);
  EXPECT_EQ(visible_lines(15, 10), 1);
  EXPECT_EQ(visible_lines(100, 0), 1);
  // Fewer lines than the view holds: nothing moves.
  EXPECT_EQ(top_after_append(5, 0, 10, false), 0);
  // At the end, or one or two lines above it: the new line becomes the last visible one.
  EXPECT_EQ(top_after_append(21, 10, 10, false), 11);
  EXPECT_EQ(top_after_append(21, 9, 10, false), 11);
  // Three lines above it: the administrator is reading; the view stays.
  EXPECT_EQ(top_after_append(21, 8, 10, false), 8);
  // A full list follows at the end even though its first line went.
  EXPECT_EQ(top_after_append(500, 490, 10, true), 490);
  // Scrolled up in a full list: the same lines stay in view as the first one goes.
  EXPECT_EQ(top_after_append(500, 100, 10, true), 99);
  EXPECT_EQ(top_after_append(500, 0, 10, true), 0);
}

// A running server with one client that has read its greeting; the client's connection id.
struct Connected {
  explicit Connected(GuiServer& srv) {
    EXPECT_TRUE(srv.control().switch_on());
    QSignalSpy lines(&srv.control().observer(), &admin::QtObserver::clientLine);
    client = gui_client(srv);
    client->reply();
    EXPECT_FALSE(lines.isEmpty());
    if (!lines.isEmpty()) id = lines.at(0).at(0).toUInt();
  }
  std::unique_ptr<FtpClient> client;
  quint32 id = 0;
};

QStringList texts(const QListWidget* l) {
  QStringList out;
  for (int i = 0; i < l->count(); ++i) out << l->item(i)->text();
  return out;
}

TEST(ExamineWindow, FollowsAClientFromBeforeLoginUntilItQuits) {
  GuiServer srv;
  Connected c(srv);
  c.client->cmd("NOOP");  // before the window: not copied
  ExamineWindow w(srv.control(), c.id);
  w.show();
  EXPECT_EQ(w.windowTitle(), "Examine Client");
  EXPECT_TRUE(w.isModal());
  EXPECT_TRUE(srv.control().connection(c.id)->examined);
  EXPECT_EQ(w.user_field()->text(), "[unknown]@127.0.0.1");
  EXPECT_EQ(w.online_field()->text(), "00:00:00");
  EXPECT_EQ(w.statistics_field()->toPlainText(), "retrieved 0 files, 0 kb.\nstored 0 files, 0 kb.");
  EXPECT_EQ(w.transfer_field()->toPlainText(), "none.");
  EXPECT_EQ(w.lines()->count(), 0);

  const std::string noop = c.client->cmd("NOOP");
  srv.tick(61000);
  const std::string syst = c.client->cmd("SYST");
  srv.tick(1000);
  EXPECT_EQ(texts(w.lines()), QStringList({"NOOP", QString::fromStdString(noop), "SYST",
                                           QString::fromStdString(syst)}));
  EXPECT_EQ(w.online_field()->text(), "00:01:02");
  EXPECT_EQ(w.idle_field()->text(), "00:00:01");
  // Another connection's lines are not this window's.
  Q_EMIT srv.control().observer().examineLine(c.id + 1, "RETR elsewhere");
  EXPECT_EQ(w.lines()->count(), 4);
  // A field whose text did not change is not written again.
  w.user_field()->setText("unchanged");
  srv.tick();
  EXPECT_EQ(w.user_field()->text(), "unchanged");

  const std::string bye = c.client->cmd("QUIT");
  EXPECT_EQ(w.windowTitle(), "examining client (disconnected!)");
  EXPECT_TRUE(w.disconnected());
  ASSERT_TRUE(srv.pump_until([&] { return w.lines()->count() == 6; }));
  EXPECT_EQ(texts(w.lines()).mid(0, 4), QStringList({"NOOP", QString::fromStdString(noop), "SYST",
                                                     QString::fromStdString(syst)}));
  EXPECT_EQ(texts(w.lines()).mid(4), QStringList({"QUIT", QString::fromStdString(bye)}));
  // The session is freed at the tick; the window keeps its last values.
  srv.tick(5000);
  EXPECT_FALSE(srv.control().connection(c.id).has_value());
  EXPECT_EQ(w.online_field()->text(), "00:01:02");
  QTest::mouseClick(w.ok_button(), Qt::LeftButton);
  EXPECT_TRUE(w.isHidden());
  EXPECT_EQ(w.result(), QDialog::Accepted);
}

TEST(ExamineWindow, LinesArriveOnlyWhileTheWindowIsOpen) {
  GuiServer srv;
  Connected c(srv);
  {
    ExamineWindow w(srv.control(), c.id);
    w.show();
    c.client->cmd("NOOP");
    EXPECT_EQ(w.lines()->count(), 2);
    QTest::keyClick(&w, Qt::Key_Return);  // "ok" is the default button
    EXPECT_TRUE(w.isHidden());
    EXPECT_FALSE(srv.control().connection(c.id)->examined);
    c.client->cmd("NOOP");
    EXPECT_EQ(w.lines()->count(), 2);
  }
  // A window that goes without "ok" lets go of the connection as well.
  {
    ExamineWindow w(srv.control(), c.id);
    EXPECT_TRUE(srv.control().connection(c.id)->examined);
  }
  EXPECT_FALSE(srv.control().connection(c.id)->examined);
}

TEST(ExamineWindow, KeepsAtMostItsLinesAndFollowsTheEndUnlessScrolledUp) {
  GuiServer srv;
  Connected c(srv);
  ExamineWindow w(srv.control(), c.id);
  w.resize(600, 500);
  w.show();
  admin::QtObserver& o = srv.control().observer();
  for (int i = 0; i < 600; ++i) Q_EMIT o.examineLine(c.id, QString("line %1").arg(i));
  QListWidget* l = w.lines();
  ASSERT_EQ(l->count(), kMaxLines);
  EXPECT_EQ(l->item(0)->text(), "line 100");
  EXPECT_EQ(l->item(kMaxLines - 1)->text(), "line 599");
  QScrollBar* bar = l->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  const QRect last = l->visualItemRect(l->item(kMaxLines - 1));
  EXPECT_GE(last.top(), 0);
  EXPECT_LE(last.bottom(), l->viewport()->height());
  // Every line claims the whole extent, so a long line can be scrolled to.
  EXPECT_EQ(last.width(), kListExtentPx);

  bar->setValue(40);
  const QString top = l->item(40)->text();
  for (int i = 600; i < 605; ++i) Q_EMIT o.examineLine(c.id, QString("line %1").arg(i));
  EXPECT_EQ(l->indexAt(QPoint(2, 2)).data().toString().toStdString(), top.toStdString());
  EXPECT_EQ(l->item(kMaxLines - 1)->text(), "line 604");
}

TEST(ExamineWindow, ShowsAFileOnItsWayWithItsRateAndThenTheStatistics) {
  GuiServer srv;
  ASSERT_TRUE(srv.control().switch_on());
  QSignalSpy lines(&srv.control().observer(), &admin::QtObserver::clientLine);
  auto c = gui_client(srv);
  UploadPeer up(srv);
  ASSERT_TRUE(up.log_in(*c, "alice"));
  const quint32 id = lines.at(0).at(0).toUInt();
  ExamineWindow w(srv.control(), id);
  w.show();
  EXPECT_EQ(w.user_field()->text(), "alice@127.0.0.1");
  ASSERT_TRUE(up.start(*c, id, "up.bin", std::string(27 * 1024, 'x')));
  srv.tick(1000);
  EXPECT_EQ(w.transfer_field()->toPlainText(),
            "storing: \"up.bin\"\n27648 of 27648 bytes, 27.00 kb/s");
  up.finish();
  EXPECT_EQ(c->reply().substr(0, 4), "226 ");
  srv.tick();
  EXPECT_EQ(w.transfer_field()->toPlainText(), "none.");
  EXPECT_EQ(w.statistics_field()->toPlainText(),
            "retrieved 0 files, 0 kb.\nstored 1 files, 27 kb.");
}

TEST(ExamineWindow, EveryFieldIsReachedByTabAndTheListTakesTheCustomFont) {
  GuiServer srv([](store::ServerSettings& s) {
    s.busefont = 1;
    s.szfont = "Monospace";
    s.ifsiz = 140;
  });
  Connected c(srv);
  ExamineWindow w(srv.control(), c.id);
  w.show();
  EXPECT_DOUBLE_EQ(w.lines()->font().pointSizeF(), 14.0);
  EXPECT_EQ(w.lines()->font().family(), "Monospace");
  w.activateWindow();
  ASSERT_TRUE(srv.pump_until([&] { return w.isActiveWindow(); }));
  w.user_field()->setFocus();
  const QList<QWidget*> order = {w.lines(),          w.online_field(),
                                 w.idle_field(),     w.statistics_field(),
                                 w.transfer_field(), w.ok_button()};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->accessibleName().toStdString();
  }
  EXPECT_EQ(w.user_field()->accessibleName(), "user");
  EXPECT_EQ(w.statistics_field()->accessibleName(), "statistics");
}

// Runs the modal flow; a dialog that opens is checked by `inside` and closed with "ok".
// Returns whether one opened.
bool run_examine(GuiServer& srv, quint32 id, const std::function<void(ExamineWindow&)>& inside) {
  // Shared with the timer, which fires after this returns when no dialog ran.
  auto opened = std::make_shared<bool>(false);
  QTimer::singleShot(0, [opened, inside] {
    auto* w = qobject_cast<ExamineWindow*>(QApplication::activeModalWidget());
    if (w == nullptr) return;
    *opened = true;
    inside(*w);
    QTest::mouseClick(w->ok_button(), Qt::LeftButton);
  });
  ExamineWindow::examine(srv.control(), id, nullptr);
  QApplication::processEvents();
  return *opened;
}

TEST(ExamineWindow, TheModalFlowOpensOnlyForAConnectionThatIsThereAndNotClosing) {
  GuiServer srv;
  Connected c(srv);
  bool examined_inside = false;
  EXPECT_TRUE(run_examine(srv, c.id, [&](ExamineWindow& w) {
    examined_inside = srv.control().connection(w.id())->examined;
  }));
  EXPECT_TRUE(examined_inside);
  EXPECT_FALSE(srv.control().connection(c.id)->examined);

  EXPECT_FALSE(run_examine(srv, c.id + 100, [](ExamineWindow&) {}));
  ASSERT_TRUE(srv.control().disconnect(c.id));
  EXPECT_TRUE(srv.control().connection(c.id)->closing);
  EXPECT_FALSE(run_examine(srv, c.id, [](ExamineWindow&) {}));
  EXPECT_FALSE(srv.control().connection(c.id)->examined);
}

}  // namespace
}  // namespace qorda::test
