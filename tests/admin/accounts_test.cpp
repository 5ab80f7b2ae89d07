// The accounts tab and its editors against a real store: what the flows refuse (and that the
// editor then reopens with what was typed), what they store (read back as `qorda user show`
// would), and what a real client sees at its next login.
#include "tests/support/accounts.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <deque>

#include "admin/accounts_page.h"
#include "admin/client_limits_dialog.h"
#include "admin/file_permission_dialog.h"
#include "admin/ip_permission_dialog.h"
#include "admin/main_window.h"
#include "admin/server_control.h"
#include "admin/template_editor.h"
#include "admin/user_editor.h"
#include "store/password.h"
#include "tests/admin/gui_support.h"

namespace qorda::test {
namespace {

// Plays the administrator: each modal dialog the code runs takes the next step, which fills in
// the dialog and answers ok or cancel. Warning boxes are collected instead of shown.
struct Script {
  std::deque<std::function<int(QDialog&)>> steps;
  QStringList warnings;
  int runs = 0;
  admin::DialogRunner runner() {
    return [this](QDialog& d) {
      ++runs;
      if (steps.empty()) return int(QDialog::Rejected);
      auto step = std::move(steps.front());
      steps.pop_front();
      return step(d);
    };
  }
  admin::EditorWarner warner() {
    return [this](QWidget*, const QString& title, const QString& text) {
      warnings << title + ": " + text;
    };
  }
};

// Replaces a line edit's text as typed keys do (so that it counts as edited).
void type_into(QLineEdit* e, const QString& text) {
  e->selectAll();
  QTest::keyClick(e, Qt::Key_Backspace);
  QTest::keyClicks(e, text);
}

store::UserRecord read(GuiServer& srv, const std::string& name) {
  store::UserRecord u;
  u.name = name;
  EXPECT_TRUE(store::read_user(srv.control().store(), u, store::UserParts{true, true})) << name;
  return u;
}

void attach(admin::AccountsPage& page, Script& s) {
  page.set_runner(s.runner());
  page.set_warner(s.warner());
}

TEST(AccountsPage, NameRuleAndDelete) {
  const QStringList names{"alice", "Bob", "bobby"};
  EXPECT_EQ(admin::typed_name(names, "").state, 0);
  EXPECT_EQ(admin::typed_name(names, "BO").row, 1);
  EXPECT_EQ(admin::typed_name(names, "BO").state, 1);
  EXPECT_EQ(admin::typed_name(names, "bob").state, 2);
  EXPECT_EQ(admin::typed_name(names, "x").row, -1);
  // A name longer than the editors' buffer ends the listing.
  EXPECT_EQ(admin::listed_names({"a", std::string(64, 'b'), "c"}), QStringList{"a"});

  GuiServer srv;
  auto& reg = srv.control().store();
  add_user(reg, "alice", "x", "");
  add_user(reg, "bob", "x", "");
  add_user(reg, "carol", "x", "");
  admin::AccountsPage page(srv.control());
  const auto& g = page.users();
  EXPECT_TRUE(g.add->isEnabled());
  EXPECT_FALSE(g.edit->isEnabled());
  QTest::keyClicks(g.name, "BO");
  EXPECT_EQ(g.list->currentRow(), 1);
  EXPECT_FALSE(g.del->isEnabled()) << "state 1";
  QTest::keyClick(g.name, Qt::Key_B);
  EXPECT_TRUE(g.del->isEnabled() && g.clone->isEnabled()) << "state 2";
  // Delete at once; the next line takes the selection and the name edit.
  QTest::mouseClick(g.del, Qt::LeftButton);
  EXPECT_FALSE(store::user_exists(reg, "bob"));
  EXPECT_EQ(g.list->currentItem()->text(), "carol");
  EXPECT_EQ(g.name->text(), "carol");
  page.delete_user();
  EXPECT_EQ(g.name->text(), "alice") << "the new last line";
}

TEST(AccountsPage, FtpRefusedEditorReopensThenStored) {
  GuiServer srv;
  admin::AccountsPage page(srv.control());
  Script s;
  attach(page, s);
  QString reopened;
  s.steps.push_back([](QDialog& d) {
    auto* e = qobject_cast<admin::UserEditor*>(&d);
    EXPECT_EQ(e->name_edit()->text(), "FTP") << "the typed name";
    e->guest_box()->setChecked(true);
    return int(QDialog::Accepted);
  });
  s.steps.push_back([&](QDialog& d) {
    auto* e = qobject_cast<admin::UserEditor*>(&d);
    reopened = e->name_edit()->text();
    EXPECT_TRUE(e->guest_box()->isChecked());
    EXPECT_FALSE(e->password_edit()->isEnabled()) << "guest accounts have no password";
    e->name_edit()->setText("anonymous");
    return int(QDialog::Accepted);
  });
  QTest::keyClicks(page.users().name, "FTP");
  page.add_user();
  ASSERT_EQ(s.warnings.size(), 1);
  EXPECT_EQ(s.warnings[0],
            "error: The account \"ftp\" is automatically aliased to \"anonymous\", use that "
            "account to specify access for anonymous ftp.");
  EXPECT_EQ(reopened, "FTP");
  const auto u = read(srv, "anonymous");
  EXPECT_TRUE(u.bguest);
  EXPECT_EQ(u.szpass, store::encode_password("")) << "an empty password is encoded";
  EXPECT_EQ(page.users().name->text(), "anonymous");
  EXPECT_TRUE(page.users().edit->isEnabled());
}

TEST(AccountsPage, RenameByCaseKeepsAccountTakenNameRefused) {
  GuiServer srv;
  auto& reg = srv.control().store();
  add_user(reg, "bob", "secret", "[u] r--l----- /c:/\n");
  add_user(reg, "alice", "x", "");
  admin::AccountsPage page(srv.control());
  Script s;
  attach(page, s);
  QTest::keyClicks(page.users().name, "bob");
  s.steps.push_back([](QDialog& d) {
    qobject_cast<admin::UserEditor*>(&d)->name_edit()->setText("BOB");
    return int(QDialog::Accepted);
  });
  page.edit_user();
  EXPECT_TRUE(s.warnings.isEmpty()) << s.warnings.join("|").toStdString();
  auto names = store::list_users(reg);
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names.value.size(), 2u);
  const auto u = read(srv, "bob");
  EXPECT_EQ(u.szfp, "[u] r--l----- /c:/\n");
  EXPECT_EQ(u.szpass, store::encode_password("secret")) << "an unedited password stays";

  // Another account's name: refused, and cancel in the reopened editor writes nothing.
  s.steps.push_back([](QDialog& d) {
    qobject_cast<admin::UserEditor*>(&d)->name_edit()->setText("Alice");
    return int(QDialog::Accepted);
  });
  page.edit_user();
  EXPECT_EQ(s.warnings, QStringList{"error: Can't rename to an existing user."});
  EXPECT_EQ(s.runs, 3);
  EXPECT_TRUE(store::user_exists(reg, "bob"));
}

TEST(UserEditor, PermissionAndIpLines) {
  GuiServer srv;
  auto& reg = srv.control().store();
  store::TemplateRecord t;
  t.name = "staff";
  t.szfp = "[t] r--l----s /c:/pub/\n";
  t.szip = "[t] d 10.*.*.*\n";
  ASSERT_TRUE(store::write_template(reg, t).ok());
  store::UserRecord rec;
  rec.name = "eve";
  rec.sztemp = store::template_ref("staff");
  admin::UserEditor ed(srv.control(), rec);
  Script s;
  ed.set_runner(s.runner());
  ed.set_warner(s.warner());
  ASSERT_EQ(ed.ip_list()->count(), 2);
  EXPECT_EQ(ed.ip_list()->currentItem()->text(), "[s] a *.*.*.*");
  EXPECT_FALSE(ed.ip_edit_button()->isEnabled());
  EXPECT_EQ(ed.ratio_label()->text(), "none specified.");
  EXPECT_FALSE(ed.ignore_ratio_box()->isEnabled());

  s.steps.push_back([](QDialog& d) {
    auto* f = qobject_cast<admin::FilePermissionDialog*>(&d);
    f->path_edit()->setText("c:\\ftp\\pub!");
    f->flag_box(0)->setChecked(true);
    return int(QDialog::Accepted);
  });
  s.steps.push_back([](QDialog& d) {
    auto* f = qobject_cast<admin::FilePermissionDialog*>(&d);
    EXPECT_EQ(f->path_edit()->text(), "c:\\ftp\\pub!") << "reopened with the typed path";
    EXPECT_TRUE(f->flag_box(0)->isChecked());
    f->path_edit()->setText("c:\\ftp\\pub");
    f->flag_box(3)->setChecked(true);
    return int(QDialog::Accepted);
  });
  ed.add_file();
  EXPECT_EQ(s.warnings, QStringList{"error: Invalid pathname, please try again."});
  EXPECT_EQ(ed.file_list()->item(0)->text(), "[u] r--l----- /c:/ftp/pub/");
  EXPECT_TRUE(ed.file_delete_button()->isEnabled());
  ed.file_list()->setCurrentRow(1);
  EXPECT_FALSE(ed.file_edit_button()->isEnabled()) << "a template line";

  s.warnings.clear();
  s.steps.push_back([](QDialog& d) {
    qobject_cast<admin::IpPermissionDialog*>(&d)->mask_edit()->setText("10.0.5-3.*");
    return int(QDialog::Accepted);
  });
  s.steps.push_back([](QDialog& d) {
    auto* ip = qobject_cast<admin::IpPermissionDialog*>(&d);
    EXPECT_EQ(ip->mask_edit()->text(), "10.0.5-3.*");
    ip->mask_edit()->setText("10.0.3-5.*");
    ip->allow_box()->setChecked(false);
    return int(QDialog::Accepted);
  });
  ed.add_ip();
  EXPECT_EQ(s.warnings, QStringList{"error: Invalid ip mask, please try again."});
  const auto out = ed.record();
  EXPECT_EQ(out.szfp, "[u] r--l----- /c:/ftp/pub/\n") << "only the account's own lines";
  EXPECT_EQ(out.szip, "[u] d 10.0.3-5.*\n");

  // Without template the template's lines go.
  ed.template_list()->setCurrentIndex(ed.template_list()->count() - 1);
  EXPECT_EQ(ed.template_list()->currentText(), "[s] 'none'");
  EXPECT_EQ(ed.file_list()->count(), 1);
  EXPECT_EQ(ed.ip_list()->count(), 2);
}

TEST(UserEditor, BrowsedDirectoryBecomesVirtualPath) {
  platform::DriveTable drives;
  ASSERT_TRUE(drives.set('c', "/srv/c").ok());
  ASSERT_TRUE(drives.set('d', "/srv/c/deep").ok());
  EXPECT_EQ(admin::virtual_dir_of_local(drives, "/srv/c/ftp/pub"), "/c:/ftp/pub/");
  EXPECT_EQ(admin::virtual_dir_of_local(drives, "/srv/c/deep/x/"), "/d:/x/") << "longest root";
  EXPECT_EQ(admin::virtual_dir_of_local(drives, "/srv/c"), "/c:/");
  EXPECT_EQ(admin::virtual_dir_of_local(drives, "/srv/cc"), std::nullopt);
  EXPECT_EQ(admin::local_dir_of_typed(drives, "c:\\ftp\\pub\\"), "/srv/c/ftp/pub/");
  EXPECT_EQ(admin::local_dir_of_typed(drives, "/q:/x/"), "");

  admin::FilePermissionDialog d(vfs::parse_permission(vfs::kNewUserPermissionLine));
  QStringList warned;
  d.set_warner(
      [&](QWidget*, const QString& title, const QString& t) { warned << title + ": " + t; });
  d.set_chooser([](QWidget*, const QString&) { return QStringLiteral("/nowhere/at/all"); });
  d.browse();
  EXPECT_EQ(d.path_edit()->text(), "/x:/pathname/") << "a directory on no drive is refused";
  EXPECT_EQ(warned.size(), 1);
}

TEST(UserEditor, CountersTheServerWroteMeanwhileAreKept) {
  GuiServer srv;
  auto& reg = srv.control().store();
  auto rec = add_user(reg, "carol", "x", "");
  admin::AccountsPage page(srv.control());
  Script s;
  attach(page, s);
  QTest::keyClicks(page.users().name, "carol");
  s.steps.push_back([&](QDialog& d) {
    // The server counts two transfers while the editor is open.
    store::UserRecord server = rec;
    server.iulfiles = 10;
    server.idlkb = 700;
    EXPECT_TRUE(store::write_user(reg, server,
                                  store::UserWrite{false, store::kCountUlFiles | store::kCountDlKb})
                    .ok());
    type_into(qobject_cast<admin::UserEditor*>(&d)->counter_edit(store::kCountDlFiles), "2");
    return int(QDialog::Accepted);
  });
  page.edit_user();
  const auto u = read(srv, "carol");
  EXPECT_EQ(u.iulfiles, 10u);
  EXPECT_EQ(u.idlkb, 700u);
  EXPECT_EQ(u.idlfiles, 2u) << "the field the administrator changed";
}

bool logs_in(GuiServer& srv, const std::string& user, const std::string& pass) {
  auto c = gui_client(srv);
  c->reply();
  c->cmd("USER " + user);
  return c->cmd("PASS " + pass).rfind("230", 0) == 0;
}

// A wrong password is answered late; the activity log says at once why the login failed.
bool wrong_password(GuiServer& srv, const std::string& user, const std::string& pass) {
  QSignalSpy screen(&srv.control().observer(), &admin::QtObserver::screenLine);
  auto c = gui_client(srv);
  c->reply();
  c->cmd("USER " + user);
  c->send_line("PASS " + pass);
  return srv.pump_until([&] {
    for (const auto& args : screen) {
      if (args.at(0).toString().contains("(wrong password)")) return true;
    }
    return false;
  });
}

TEST(UserEditor, ClientSeesEditAtNextLogin) {
  GuiServer srv;
  ASSERT_TRUE(srv.control().switch_on());
  auto& reg = srv.control().store();
  add_user(reg, "dave", "old", "[u] r--l----s /c:/\n");
  QSignalSpy lines(&srv.control().observer(), &admin::QtObserver::clientLine);
  auto c = gui_client(srv);
  c->reply();
  c->cmd("USER DAVE");
  ASSERT_EQ(c->cmd("PASS old").substr(0, 3), "230");
  ASSERT_FALSE(lines.isEmpty());
  const quint32 id = lines.at(0).at(0).toUInt();

  // The status tab's path: no "ftp" rule, the account found whatever the letter case.
  Script s;
  s.steps.push_back([](QDialog& d) {
    auto* e = qobject_cast<admin::UserEditor*>(&d);
    EXPECT_EQ(e->name_edit()->text(), "dave");
    type_into(e->password_edit(), "new");
    return int(QDialog::Accepted);
  });
  EXPECT_EQ(admin::edit_client_account(srv.control(), nullptr, id, s.runner(), s.warner()), "dave");
  EXPECT_EQ(c->cmd("NOOP").substr(0, 3), "200") << "the session goes on";
  EXPECT_TRUE(wrong_password(srv, "dave", "old"));
  EXPECT_TRUE(logs_in(srv, "dave", "new"));

  // An account made in the editor logs in at once.
  admin::AccountsPage page(srv.control());
  attach(page, s);
  // The editor's own "add" runs inside the editor's step and takes the next one.
  s.steps.push_back([](QDialog& d) {
    auto* e = qobject_cast<admin::UserEditor*>(&d);
    e->name_edit()->setText("frank");
    type_into(e->password_edit(), "pw");
    e->add_file();
    return int(QDialog::Accepted);
  });
  s.steps.push_back([](QDialog& d) {
    auto* f = qobject_cast<admin::FilePermissionDialog*>(&d);
    f->path_edit()->setText("c:\\");
    f->flag_box(3)->setChecked(true);
    return int(QDialog::Accepted);
  });
  page.add_user();
  EXPECT_EQ(read(srv, "frank").szfp, "[u] ---l----- /c:/\n");
  EXPECT_TRUE(logs_in(srv, "frank", "pw"));
}

TEST(TemplateEditor, LimitsRatiosAndStore) {
  GuiServer srv;
  admin::AccountsPage page(srv.control());
  Script s;
  attach(page, s);
  auto limits = [](const char* start, const char* end) {
    return [start, end](QDialog& d) {
      auto* l = qobject_cast<admin::ClientLimitsDialog*>(&d);
      l->start_edit()->setText(start);
      l->end_edit()->setText(end);
      return int(QDialog::Accepted);
    };
  };
  QStringList shown;
  s.steps.push_back([&](QDialog& d) {
    auto* t = qobject_cast<admin::TemplateEditor*>(&d);
    EXPECT_FALSE(t->ratio_edit(0)->isEnabled());
    t->name_edit()->setText("night");
    t->add_limit();
    t->limit_list()->setCurrentRow(1);
    t->edit_limit();
    for (int i = 0; i < t->limit_list()->count(); ++i) shown << t->limit_list()->item(i)->text();
    t->ratios_box()->setChecked(true);
    t->files_box()->setChecked(true);
    EXPECT_TRUE(t->ratio_edit(1)->isEnabled());
    EXPECT_FALSE(t->ratio_edit(2)->isEnabled());
    return int(QDialog::Accepted);
  });
  s.steps.push_back(limits("22:00", "2:00"));
  s.steps.push_back(limits("22:00", "02:00"));
  s.steps.push_back([](QDialog& d) {
    auto* l = qobject_cast<admin::ClientLimitsDialog*>(&d);
    l->allow_box(1)->setChecked(true);
    l->limit_edit(1)->setText("3");
    return int(QDialog::Accepted);
  });
  page.add_template();
  EXPECT_EQ(s.warnings, QStringList{"error: Invalid ending time format."});
  EXPECT_EQ(shown, QStringList({"time range\ttotal\tper user\tper ip\tboth",
                                "[t] 00:00-02:00\t(20)\t3\t(20)\t(20)",
                                "[s] 02:01-21:59\t(20)\t(20)\t(20)\t(20)",
                                "[t] 22:00-23:59\t(20)\t(20)\t(20)\t(20)"}));
  store::TemplateRecord t;
  t.name = "night";
  ASSERT_TRUE(store::read_template(srv.control().store(), t));
  EXPECT_EQ(t.szcl, "00:00,02:00,-1,3,-1,-1\n22:00,23:59,-1,-1,-1,-1\n");
  EXPECT_TRUE(t.bratio && t.bfiles && !t.bbytes);
  EXPECT_EQ(page.templates().name->text(), "night");

  // The user editor shows the new template's ratio.
  store::UserRecord u;
  u.sztemp = store::template_ref("night");
  admin::UserEditor ed(srv.control(), u);
  EXPECT_EQ(ed.ratio_label()->text(), "files: (1/5).");
  EXPECT_TRUE(ed.ignore_ratio_box()->isEnabled());
}

TEST(TemplateEditor, RangeInsideRangeEditCancelDeleteAndRename) {
  GuiServer srv;
  auto& reg = srv.control().store();
  store::TemplateRecord day;
  day.name = "day";
  day.szcl = "08:00,18:00,5,-1,-1,-1\n";
  ASSERT_TRUE(store::write_template(reg, day).ok());
  store::TemplateRecord other;
  other.name = "Other";
  ASSERT_TRUE(store::write_template(reg, other).ok());
  admin::AccountsPage page(srv.control());
  Script s;
  attach(page, s);
  QTest::keyClicks(page.templates().name, "day");
  QStringList after_cancel;
  int row_after_delete = -1;
  s.steps.push_back([&](QDialog& d) {
    auto* t = qobject_cast<admin::TemplateEditor*>(&d);
    t->add_limit();
    EXPECT_EQ(t->limit_list()->currentItem()->text().left(15), "[t] 10:00-12:00");
    t->limit_list()->setCurrentRow(4);
    t->edit_limit();  // cancelled: the range goes back as it was
    for (int i = 0; i < t->limit_list()->count(); ++i)
      after_cancel << t->limit_list()->item(i)->text();
    t->delete_limit();
    row_after_delete = t->limit_list()->currentRow();
    EXPECT_FALSE(t->limit_delete_button()->isEnabled()) << "a gap line is selected";
    t->name_edit()->setText("OTHER");
    return int(QDialog::Accepted);
  });
  s.steps.push_back([](QDialog& d) {
    auto* l = qobject_cast<admin::ClientLimitsDialog*>(&d);
    l->start_edit()->setText("10:00");
    l->end_edit()->setText("12:00");
    return int(QDialog::Accepted);
  });
  s.steps.push_back([](QDialog&) { return int(QDialog::Rejected); });
  s.steps.push_back([](QDialog& d) {
    auto* t = qobject_cast<admin::TemplateEditor*>(&d);
    EXPECT_EQ(t->name_edit()->text(), "OTHER") << "reopened with the typed name";
    t->name_edit()->setText("Day");
    return int(QDialog::Accepted);
  });
  page.edit_template();
  EXPECT_EQ(
      after_cancel,
      QStringList(
          {"time range\ttotal\tper user\tper ip\tboth", "[s] 00:00-07:59\t(20)\t(20)\t(20)\t(20)",
           "[t] 08:00-09:59\t5\t(20)\t(20)\t(20)", "[t] 10:00-12:00\t(20)\t(20)\t(20)\t(20)",
           "[t] 12:01-18:00\t5\t(20)\t(20)\t(20)", "[s] 18:01-23:59\t(20)\t(20)\t(20)\t(20)"}));
  EXPECT_EQ(row_after_delete, 4);
  EXPECT_EQ(s.warnings, QStringList{"error: Can't rename to an existing user."});
  store::TemplateRecord t;
  t.name = "day";
  ASSERT_TRUE(store::read_template(reg, t));
  EXPECT_EQ(t.szcl, "08:00,09:59,5,-1,-1,-1\n10:00,12:00,-1,-1,-1,-1\n");
  EXPECT_TRUE(store::template_exists(reg, "Other"));
}

// Every control a keyboard user reaches has a name a screen reader can say, and the accounts
// tab is in the window.
TEST(AccountsPage, ControlsNamedAndInWindow) {
  GuiServer srv;
  admin::MainWindow w(srv.control());
  auto* page = qobject_cast<admin::AccountsPage*>(w.sheet().widget(admin::MainWindow::AccountsTab));
  ASSERT_NE(page, nullptr);
  store::UserRecord u;
  admin::UserEditor ue(srv.control(), u);
  admin::TemplateEditor te(srv.control(), store::TemplateRecord{});
  admin::ClientLimitsDialog cl(store::LimitRange{"00:00", "23:59", {-1, -1, -1, -1}}, 20);
  for (QWidget* top : std::initializer_list<QWidget*>{page, &ue, &te, &cl}) {
    for (QWidget* c : top->findChildren<QWidget*>()) {
      const bool input = qobject_cast<QLineEdit*>(c) || qobject_cast<QListWidget*>(c) ||
                         qobject_cast<QComboBox*>(c) || qobject_cast<QPlainTextEdit*>(c);
      if (input && c->focusPolicy() != Qt::NoFocus) {
        EXPECT_FALSE(c->accessibleName().isEmpty()) << c->metaObject()->className();
      }
    }
  }
  // Limit numbers follow their "allow" boxes.
  EXPECT_FALSE(cl.limit_edit(2)->isEnabled());
  cl.allow_box(2)->setChecked(true);
  EXPECT_TRUE(cl.limit_edit(2)->isEnabled());
  EXPECT_EQ(cl.range().limits, (std::array<int, 4>{-1, -1, 20, -1}));
}

}  // namespace
}  // namespace qorda::test
