// The status tab: the activity log's length and scrolling, the connected-clients list with its
// buttons, and the disconnect of a client (with the account changes the dialog asks for),
// against a real engine and real client sockets.
#include "admin/status_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "admin/disconnect_dialog.h"
#include "admin/main_window.h"
#include "store/records.h"
#include "tests/admin/gui_support.h"
#include "tests/support/accounts.h"

namespace qorda::test {
namespace {

using admin::apply_log_line;
using admin::kMaxLogLines;

TEST(ActivityLogRule, AViewAtTheEndFollowsAndAScrolledViewKeepsItsLines) {
  // Ten lines shown, twenty held, the view at the end (top 10): the new line (20) becomes the
  // last one shown.
  auto s = apply_log_line(20, 10, 10);
  EXPECT_FALSE(s.drop_first);
  EXPECT_EQ(s.top, 11);
  // One line up still follows; two lines up is beyond the slack and stays.
  EXPECT_EQ(apply_log_line(20, 9, 10).top, 11);
  EXPECT_EQ(apply_log_line(20, 8, 10).top, 8);
  // A short log does not scroll at all.
  EXPECT_EQ(apply_log_line(3, 0, 10).top, 0);

  // Full: the first line goes. At the end the view still follows the new line...
  s = apply_log_line(kMaxLogLines, kMaxLogLines - 10, 10);
  EXPECT_TRUE(s.drop_first);
  EXPECT_EQ(s.top, kMaxLogLines - 10);
  // ...and a view scrolled far up moves up one index, which is the same lines as before.
  s = apply_log_line(kMaxLogLines, 100, 10);
  EXPECT_TRUE(s.drop_first);
  EXPECT_EQ(s.top, 99);
  // At the very top there is no line above to keep.
  EXPECT_EQ(apply_log_line(kMaxLogLines, 0, 10).top, 0);
}

TEST(ClientListRule, TheSelectionMovesToTheSameIndexOrTheNewLastOrNone) {
  EXPECT_EQ(admin::selection_after_removal(1, 3), 1);
  EXPECT_EQ(admin::selection_after_removal(2, 2), 1);
  EXPECT_EQ(admin::selection_after_removal(0, 0), -1);
}

// Presses a button of the modal dialog of type D once it runs (a dialog's exec only returns
// when a button ends it).
template <class D>
void answer_dialog(std::function<void(D&)> act) {
  QTimer::singleShot(0, [act] {
    auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr) << "no dialog of the expected kind is open";
    act(*d);
  });
}

QStringList texts(const QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

TEST(StatusPage, TheLogHoldsFiveHundredLinesAndFollowsOnlyWhenAtTheEnd) {
  GuiServer srv;
  admin::MainWindow w(srv.control());
  w.show();
  admin::StatusPage& page = w.status_page();
  QListWidget* log = page.activity_log();
  admin::QtObserver& obs = srv.control().observer();
  for (int i = 0; i < kMaxLogLines + 20; ++i)
    Q_EMIT obs.screenLine(QStringLiteral("line %1").arg(i));
  ASSERT_EQ(log->count(), kMaxLogLines);
  EXPECT_EQ(log->item(kMaxLogLines - 1)->text(), QStringLiteral("line 519"));
  EXPECT_EQ(log->item(0)->text(), QStringLiteral("line 20"));
  const int visible = page.visible_log_lines();
  ASSERT_GT(visible, 2);
  QScrollBar* bar = log->verticalScrollBar();
  EXPECT_EQ(bar->value(), kMaxLogLines - visible) << "the newest line is the last one shown";

  // The administrator scrolls well up: arriving lines leave the shown lines alone.
  bar->setValue(200);
  const QString top = log->item(200)->text();
  for (int i = 0; i < 5; ++i) Q_EMIT obs.screenLine(QStringLiteral("more %1").arg(i));
  EXPECT_EQ(log->item(bar->value())->text(), top);
  EXPECT_EQ(log->count(), kMaxLogLines);
}

TEST(StatusPage, ClientLinesComeAndGoWithTheButtonsFollowingTheSelection) {
  GuiServer srv;
  admin::MainWindow w(srv.control());
  w.show();
  admin::StatusPage& page = w.status_page();
  QListWidget* list = page.client_list();
  ASSERT_TRUE(srv.control().is_on());
  EXPECT_FALSE(page.examine_button()->isEnabled());

  auto a = gui_client(srv);
  a->reply();
  auto b = gui_client(srv);
  b->reply();
  ASSERT_TRUE(srv.pump_until([&] { return list->count() == 2; }));
  // Sorted by the "[%04x]" prefix: the earlier socket first.
  const QStringList lines = texts(list);
  EXPECT_LT(lines[0], lines[1]);
  EXPECT_TRUE(lines[0].endsWith(QStringLiteral("127.0.0.1")));
  EXPECT_FALSE(page.disconnect_button()->isEnabled());

  // Selecting the second line enables the three buttons; examine names its connection.
  QSignalSpy examined(&w, &admin::MainWindow::examineRequested);
  list->setCurrentRow(1);
  EXPECT_TRUE(page.examine_button()->isEnabled());
  EXPECT_TRUE(page.edit_button()->isEnabled());
  EXPECT_TRUE(page.disconnect_button()->isEnabled());
  QTest::mouseClick(page.examine_button(), Qt::LeftButton);
  ASSERT_EQ(examined.size(), 1);
  const quint32 second = examined.at(0).at(0).toUInt();
  EXPECT_TRUE(lines[1].startsWith(QStringLiteral("[%1]").arg(second, 4, 16, QLatin1Char('0'))));

  // Another client leaving makes no selection of its own.
  list->clearSelection();
  EXPECT_EQ(b->cmd("QUIT").substr(0, 4), "221 ");
  srv.tick();
  ASSERT_EQ(list->count(), 1);
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_FALSE(page.examine_button()->isEnabled());

  // The selected client leaving empties the selection with the list, and the buttons go off.
  list->setCurrentRow(0);
  ASSERT_TRUE(page.edit_button()->isEnabled());
  EXPECT_EQ(a->cmd("QUIT").substr(0, 4), "221 ");
  srv.tick();
  EXPECT_EQ(list->count(), 0);
  EXPECT_FALSE(page.examine_button()->isEnabled());
  EXPECT_FALSE(page.disconnect_button()->isEnabled());
}

// A home with drive c:/ftp and the user alice (password "pw") whose IP list is `szip`.
void add_alice(GuiServer& srv, const std::string& szip) {
  std::error_code ec;
  std::filesystem::create_directories(srv.home() + "/c/ftp", ec);
  store::UserRecord u = add_user(srv.control().store(), "alice", "pw", "[u] rwdlcxhms /c:/ftp/");
  u.szip = szip;
  save_user(srv.control().store(), u);
}

std::string stored_szip(GuiServer& srv) {
  store::UserRecord u;
  u.name = "alice";
  EXPECT_TRUE(store::read_user(srv.control().store(), u, {.main_fields = true, .counters = false}));
  return u.szip;
}

TEST(Disconnect, BanningTheAddressReplacesTheExactAllowLineAndDropsTheClient) {
  GuiServer srv;
  add_alice(srv, "[u] a 127.0.0.1");
  admin::MainWindow w(srv.control());
  w.show();
  admin::StatusPage& page = w.status_page();
  auto c = gui_client(srv);
  ASSERT_EQ(login(*c, "alice", "pw").substr(0, 4), "230 ");
  ASSERT_TRUE(srv.pump_until([&] { return page.client_list()->count() == 1; }));
  page.client_list()->setCurrentRow(0);

  QString shown_address;
  answer_dialog<admin::DisconnectDialog>([&](admin::DisconnectDialog& d) {
    shown_address = d.address_field()->text();
    EXPECT_TRUE(d.address_field()->isReadOnly());
    d.ban_box()->setChecked(true);
    QTest::mouseClick(d.ok_button(), Qt::LeftButton);
  });
  QTest::mouseClick(page.disconnect_button(), Qt::LeftButton);
  EXPECT_EQ(shown_address, QStringLiteral("127.0.0.1"));
  EXPECT_EQ(page.last_disconnect().outcome, admin::DisconnectOutcome::Confirmed);
  EXPECT_EQ(page.last_disconnect().ban.outcome, vfs::BanOutcome::Banned);
  EXPECT_EQ(QString::fromStdString(stored_szip(srv)).split('\n', Qt::SkipEmptyParts),
            QStringList{"[u] d 127.0.0.1"});
  EXPECT_EQ(c->reply(), "421 Disconnected by the administrator.");
  srv.tick();
  EXPECT_EQ(page.client_list()->count(), 0);
}

TEST(Disconnect, CancelLeavesTheClientAndOneNotLoggedInGoesAtOnce) {
  GuiServer srv;
  add_alice(srv, "[u] a 127.0.0.1");
  admin::MainWindow w(srv.control());
  w.show();
  admin::StatusPage& page = w.status_page();
  int asked = 0;
  page.set_disconnect_asker([&](const QString&) -> std::optional<admin::DisconnectChoice> {
    ++asked;
    return std::nullopt;
  });
  auto alice = gui_client(srv);
  ASSERT_EQ(login(*alice, "alice", "pw").substr(0, 4), "230 ");
  auto stranger = gui_client(srv);
  stranger->reply();
  ASSERT_TRUE(srv.pump_until([&] { return page.client_list()->count() == 2; }));
  quint32 alice_id = 0, stranger_id = 0;
  for (const session::ConnectionView& v : srv.control().connections()) {
    (v.logged_in ? alice_id : stranger_id) = v.id;
  }
  auto select = [&](quint32 id) {
    for (int row = 0; row < page.client_list()->count(); ++row) {
      if (page.client_list()->item(row)->data(Qt::UserRole).toUInt() == id) {
        page.client_list()->setCurrentRow(row);
      }
    }
    ASSERT_EQ(page.selected_id(), id);
  };

  select(alice_id);
  QTest::mouseClick(page.disconnect_button(), Qt::LeftButton);
  EXPECT_EQ(page.last_disconnect().outcome, admin::DisconnectOutcome::Cancelled);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(alice->cmd("NOOP").substr(0, 4), "200 ");
  EXPECT_EQ(stored_szip(srv), "[u] a 127.0.0.1");

  select(stranger_id);
  QTest::mouseClick(page.disconnect_button(), Qt::LeftButton);
  EXPECT_EQ(page.last_disconnect().outcome, admin::DisconnectOutcome::AtOnce);
  EXPECT_EQ(asked, 1) << "a client that is not logged in goes without a question";
  EXPECT_EQ(stranger->reply(), "421 Disconnected by the administrator.");

  // A connection already closing, or one that is gone, is left alone: no question.
  ASSERT_TRUE(srv.control().disconnect(alice_id));
  auto never = [](const QString&) -> std::optional<admin::DisconnectChoice> {
    ADD_FAILURE() << "asked about a closing connection";
    return std::nullopt;
  };
  EXPECT_EQ(admin::disconnect_client(srv.control(), alice_id, never).outcome,
            admin::DisconnectOutcome::Nothing);
  srv.tick();
  EXPECT_EQ(admin::disconnect_client(srv.control(), alice_id, never).outcome,
            admin::DisconnectOutcome::Nothing);
}

}  // namespace
}  // namespace qorda::test
