// The settings tabs against a real store and engine: what "&ok" refuses, what it writes (read
// back from the store as `qorda get` would), and what a real client sees afterwards.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "admin/banners_page.h"
#include "admin/extras_page.h"
#include "admin/link_dialog.h"
#include "admin/main_window.h"
#include "admin/server_control.h"
#include "admin/setup_page.h"
#include "admin/status_page.h"
#include "log/log.h"
#include "platform/socket.h"
#include "store/links.h"
#include "tests/admin/gui_support.h"
#include "tests/support/accounts.h"

namespace qorda::test {
namespace {

using admin::DigitField;
using admin::SetupForm;
using admin::TransferModes;

// The Setup key as the store holds it now.
store::ServerSettings stored(GuiServer& srv) {
  store::ServerSettings s;
  s.load(srv.control().store());
  return s;
}

// Collects what the page would show in a warning box, and the boxes' titles.
struct Warnings {
  QStringList texts;
  QStringList titles;
  admin::PageWarner warner() {
    return [this](QWidget*, const QString& title, const QString& t) {
      titles << title;
      texts << t;
    };
  }
};

void type_into(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

TEST(SetupRules, DigitFieldsAreRefusedWithTheirOwnBoundsAndNothingChanges) {
  store::ServerSettings base;
  SetupForm f = admin::setup_form_of(base);
  struct Case {
    DigitField field;
    const char* text;
    const char* message;
  } cases[] = {
      {DigitField::Port, "65536", "Please enter an integer between 0 and 65535."},
      {DigitField::MaxClients, "2501", "Please enter an integer between 0 and 2500."},
      {DigitField::Timeout, "86401", "Please enter an integer between 0 and 86400."},
      {DigitField::Port, "", "Please enter a positive integer."},
      // No range, but it must fit the stored 32 bits.
      {DigitField::Space, "99999999999", "Please enter a positive integer."},
  };
  for (const Case& c : cases) {
    SetupForm bad = f;
    bad.digits[static_cast<int>(c.field)] = QString::fromLatin1(c.text);
    bad.screen_level = 1;
    store::ServerSettings s = base;
    auto refused = admin::apply_setup_form(bad, &s);
    ASSERT_TRUE(refused) << c.text;
    EXPECT_EQ(refused->field, c.field) << c.text;
    EXPECT_EQ(refused->message, QString::fromLatin1(c.message));
    EXPECT_EQ(s.ilogls, base.ilogls) << "a refused form changes nothing";
  }
  // The bounds themselves and an unranged big number pass.
  f.digits = {"65535", "2500", "86400", "4000000000"};
  store::ServerSettings s = base;
  ASSERT_FALSE(admin::apply_setup_form(f, &s));
  EXPECT_EQ(s.iport, 65535u);
  EXPECT_EQ(s.ispace, 4000000000u);
}

TEST(SetupRules, TransferModesMapBothWaysAndNeitherStaysNeither) {
  store::ServerSettings s;
  const std::pair<TransferModes, std::pair<uint32_t, uint32_t>> table[] = {
      {TransferModes::Port, {1, 0}},
      {TransferModes::Pasv, {0, 1}},
      {TransferModes::Both, {1, 1}},
      {TransferModes::None, {0, 0}},
  };
  for (const auto& [mode, pair] : table) {
    SetupForm f = admin::setup_form_of(s);
    f.modes = mode;
    ASSERT_FALSE(admin::apply_setup_form(f, &s));
    EXPECT_EQ(s.ballowport, pair.first);
    EXPECT_EQ(s.ballowpasv, pair.second);
    EXPECT_EQ(admin::setup_form_of(s).modes, mode);
  }
  EXPECT_EQ(admin::level_description(4, 0),
            QStringLiteral("4. log all user actions\n0. no logging"));
}

TEST(SetupPage, ButtonsFollowTheFirstChangeAndARangeErrorStoresNothing) {
  GuiServer srv;
  admin::SetupPage page(srv.control());
  Warnings warned;
  page.set_warner(warned.warner());
  EXPECT_FALSE(page.ok_button()->isEnabled());
  EXPECT_FALSE(page.cancel_button()->isEnabled());
  QLineEdit* port = page.digit_edit(DigitField::Port);
  EXPECT_EQ(port->text(), QString::number(srv.port()));

  type_into(port, QStringLiteral("70000"));
  page.third_box()->setChecked(false);
  ASSERT_TRUE(page.ok_button()->isEnabled());
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_EQ(warned.texts, QStringList{"Please enter an integer between 0 and 65535."});
  EXPECT_EQ(page.focusWidget(), port);
  EXPECT_TRUE(page.ok_button()->isEnabled()) << "the page keeps its edits";
  EXPECT_EQ(store::settings().iport, srv.port());
  EXPECT_EQ(store::settings().benablethird, 1u);
  EXPECT_EQ(stored(srv).iport, 21u) << "nothing was written";

  // Letters cannot even be typed into a digit field.
  QTest::keyClicks(port, QStringLiteral("x"));
  EXPECT_EQ(port->text(), QStringLiteral("70000"));

  // "&cancel" shows the record again and turns both buttons off.
  QTest::mouseClick(page.cancel_button(), Qt::LeftButton);
  EXPECT_EQ(port->text(), QString::number(srv.port()));
  EXPECT_TRUE(page.third_box()->isChecked());
  EXPECT_FALSE(page.ok_button()->isEnabled());
  EXPECT_FALSE(page.cancel_button()->isEnabled());
}

TEST(SetupPage, PasvOnlyIsWrittenAndARealClientsPortIsThenRefused) {
  GuiServer srv([](store::ServerSettings& s) { s.benablepasv = 0; });
  std::error_code ec;
  std::filesystem::create_directories(srv.home() + "/c/ftp", ec);
  add_user(srv.control().store(), "alice", "pw", "[u] rwdlcxhms /c:/ftp/");
  ASSERT_TRUE(srv.control().switch_on());
  admin::SetupPage page(srv.control());
  page.pasv_button()->click();
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_FALSE(page.ok_button()->isEnabled());

  const store::ServerSettings s = stored(srv);
  EXPECT_EQ(s.ballowport, 0u);
  EXPECT_EQ(s.ballowpasv, 1u);
  EXPECT_EQ(s.iport, srv.port());
  EXPECT_EQ(s.benablepasv, 0u) << "the value no control edits is written back as loaded";
  EXPECT_TRUE(srv.control().is_on()) << "an unchanged port does not restart the server";

  auto c = gui_client(srv);
  ASSERT_EQ(login(*c, "alice", "pw").substr(0, 4), "230 ");
  EXPECT_EQ(c->cmd("PORT 127,0,0,1,200,10"), "500 PORT: Permission denied.");
}

TEST(SetupPage, FileLevelZeroDisablesTheLogFileAndOkClosesIt) {
  QStringList screen;  // outlives the server, whose switch-off still logs
  GuiServer srv([](store::ServerSettings& s) {
    s.iloglf = 3;
    s.szlogf = "c:\\qorda.log";
  });
  QObject::connect(&srv.control().observer(), &admin::QtObserver::screenLine,
                   [&](const QString& l) { screen << l; });
  ASSERT_TRUE(srv.control().switch_on());
  ASSERT_TRUE(log::logger().file_open());
  admin::SetupPage page(srv.control());
  EXPECT_TRUE(page.log_file_edit()->isEnabled());

  page.file_slider()->setValue(0);
  EXPECT_FALSE(page.log_file_edit()->isEnabled());
  EXPECT_TRUE(page.level_text()->toPlainText().endsWith(QStringLiteral("\n0. no logging")));
  EXPECT_TRUE(log::logger().file_open()) << "nothing happens before ok";
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_FALSE(log::logger().file_open());
  EXPECT_TRUE(screen.contains(QStringLiteral("logging to screen only.")));
  EXPECT_EQ(stored(srv).iloglf, 0u);

  // Back above 0 with another path: that file is opened and named.
  page.file_slider()->setValue(2);
  ASSERT_TRUE(page.log_file_edit()->isEnabled());
  type_into(page.log_file_edit(), QStringLiteral("c:\\other.log"));
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_TRUE(log::logger().file_open());
  EXPECT_TRUE(screen.contains(QStringLiteral("logging to file \"c:\\other.log\".")));
  EXPECT_TRUE(std::filesystem::exists(srv.home() + "/c/other.log"));
}

TEST(SetupPage, ANewPortRestartsTheListenerThere) {
  GuiServer srv;
  ASSERT_TRUE(srv.control().switch_on());
  auto before = gui_client(srv);
  ASSERT_EQ(before->reply().substr(0, 4), "220 ");
  admin::SetupPage page(srv.control());
  const uint16_t fresh = free_port();
  ASSERT_NE(fresh, srv.port());
  type_into(page.digit_edit(DigitField::Port), QString::number(fresh));
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);

  EXPECT_TRUE(srv.control().is_on());
  EXPECT_EQ(stored(srv).iport, fresh);
  EXPECT_EQ(before->read_until_close().find("220 "), std::string::npos)
      << "the restart dropped the connected client";
  FtpClient there(fresh, [&] { srv.pump(); });
  EXPECT_EQ(there.reply().substr(0, 4), "220 ");
  FtpClient old(srv.port(), [&] { srv.pump(); });
  EXPECT_EQ(old.read_until_close(), "");
  EXPECT_TRUE(old.peer_closed()) << "nothing listens on the old port";
}

TEST(SetupPage, ANewPortWhileAShutdownWaitsLeavesTheServerOff) {
  GuiServer srv;
  ASSERT_TRUE(srv.control().switch_on());
  admin::SetupPage page(srv.control());
  page.set_shutdown_pending([] { return true; });
  const uint16_t fresh = free_port();
  type_into(page.digit_edit(DigitField::Port), QString::number(fresh));
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_FALSE(srv.control().is_on());
  EXPECT_EQ(store::settings().iport, fresh);
  EXPECT_EQ(stored(srv).iport, fresh);
}

TEST(SettingsPages, EveryControlHasANameAndTheTabKeyReachesIt) {
  GuiServer srv;
  admin::MainWindow w(srv.control());
  w.show();
  for (int tab :
       {admin::MainWindow::SetupTab, admin::MainWindow::ExtrasTab, admin::MainWindow::BannersTab}) {
    QWidget* page = w.sheet().widget(tab);
    // Enable everything the page may disable, so that the chain is complete.
    for (QWidget* c : page->findChildren<QWidget*>()) c->setEnabled(true);
    QSet<QWidget*> reached;
    QWidget* first = page->nextInFocusChain();
    for (QWidget* c = first; c && c != page && !reached.contains(c); c = c->nextInFocusChain()) {
      reached.insert(c);
    }
    for (QWidget* c : page->findChildren<QWidget*>()) {
      if (c->focusPolicy() == Qt::NoFocus || !c->isVisibleTo(page) || c->focusProxy() != nullptr ||
          qobject_cast<QLabel*>(c)) {
        continue;
      }
      if (!c->inherits("QLineEdit") && !c->inherits("QAbstractButton") &&
          !c->inherits("QComboBox") && !c->inherits("QSlider") && !c->inherits("QPlainTextEdit")) {
        continue;
      }
      auto* b = qobject_cast<QAbstractButton*>(c);
      EXPECT_FALSE(c->accessibleName().isEmpty() && (!b || b->text().isEmpty()))
          << "tab " << tab << ": a " << c->metaObject()->className() << " without a name";
      EXPECT_TRUE(reached.contains(c))
          << "tab " << tab << ": " << c->metaObject()->className() << " "
          << c->accessibleName().toStdString() << " is not in the tab order";
    }
  }
}

TEST(LinkDialog, OkHandsBackWhatWasTypedAndCancelNothing) {
  QString location = "/c:/ftp/examples/drive_d", target = "/d:/";
  QTimer::singleShot(0, [] {
    auto* d = qobject_cast<admin::LinkDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowTitle(), QStringLiteral("Edit Symbolic Link"));
    EXPECT_EQ(d->location_edit()->text(), QStringLiteral("/c:/ftp/examples/drive_d"));
    d->location_edit()->setText(QStringLiteral("/c:/ftp/cd"));
    d->target_edit()->setText(QStringLiteral("/e:/"));
    QTest::mouseClick(d->ok_button(), Qt::LeftButton);
  });
  ASSERT_TRUE(admin::LinkDialog::ask(nullptr, &location, &target));
  EXPECT_EQ(location, QStringLiteral("/c:/ftp/cd"));
  EXPECT_EQ(target, QStringLiteral("/e:/"));

  QTimer::singleShot(0, [] {
    auto* d = qobject_cast<admin::LinkDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    d->location_edit()->setText(QStringLiteral("/c:/other"));
    d->reject();
  });
  EXPECT_FALSE(admin::LinkDialog::ask(nullptr, &location, &target));
  EXPECT_EQ(location, QStringLiteral("/c:/ftp/cd"));
}

TEST(BannersPage, AClientIsGreetedAndSentOffWithTheNewTexts) {
  GuiServer srv([](store::ServerSettings& s) {
    s.szmsg1 = "old welcome";
    s.busefont = 1;
    s.szfont = "Monospace";
    s.ifsiz = 140;
  });
  ASSERT_TRUE(srv.control().switch_on());
  admin::BannersPage page(srv.control());
  EXPECT_EQ(page.welcome_edit()->toPlainText(), QStringLiteral("old welcome"));
  EXPECT_EQ(page.welcome_edit()->font().pointSize(), 14) << "the texts use the custom font";
  EXPECT_FALSE(page.ok_button()->isEnabled());

  page.welcome_edit()->setFocus();
  page.welcome_edit()->selectAll();
  QTest::keyClicks(page.welcome_edit(), QStringLiteral("Hello %N"));
  QTest::keyClick(page.welcome_edit(), Qt::Key_Return);
  QTest::keyClicks(page.welcome_edit(), QStringLiteral("second line"));
  QTest::keyClicks(page.goodbye_edit(), QStringLiteral("bye now"));
  ASSERT_TRUE(page.ok_button()->isEnabled());
  // Until "&ok" the engine still uses the old text.
  EXPECT_EQ(store::settings().szmsg1, "old welcome");
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_FALSE(page.ok_button()->isEnabled());
  const store::ServerSettings s = stored(srv);
  EXPECT_EQ(s.szmsg1, "Hello %N\nsecond line");
  EXPECT_EQ(s.szmsg2, "bye now");

  auto c = gui_client(srv);
  EXPECT_EQ(c->reply(),
            "220-test.host FTP Server (qorda 1.20) ready.\n220-Hello 1\n220 second line");
  EXPECT_EQ(c->cmd("QUIT").substr(0, 11), "221 bye now");

  // "&cancel" brings the stored text back.
  QTest::keyClicks(page.goodbye_edit(), QStringLiteral(" and more"));
  QTest::mouseClick(page.cancel_button(), Qt::LeftButton);
  EXPECT_EQ(page.goodbye_edit()->toPlainText(), QStringLiteral("bye now"));
}

TEST(ExtrasRules, SizeListsAndTheNearestSize) {
  const QStringList truetype = admin::font_size_list({}, true);
  EXPECT_EQ(truetype, QStringList({" 6", " 8", " 9", "10", "11", "12", "14"}));
  EXPECT_EQ(truetype[admin::nearest_size(truetype, 100)], QStringLiteral("10"));
  // 9.5 points is as near to 9 as to 10: the first entry wins.
  EXPECT_EQ(truetype[admin::nearest_size(truetype, 95)], QStringLiteral(" 9"));
  EXPECT_EQ(truetype[admin::nearest_size(truetype, 400)], QStringLiteral("14"));
  // Bitmap sizes once each; a first entry above 10 brings its half along.
  EXPECT_EQ(admin::font_size_list({16, 12, 12}, false), QStringList({" 6", "12", "16"}));
  EXPECT_EQ(admin::font_size_list({8, 10}, true), QStringList({" 8", "10"}));
  EXPECT_EQ(admin::nearest_size({}, 100), -1);

  EXPECT_EQ(admin::greeting_sample(true, "ftp.site", "box"),
            QStringLiteral("220 ftp.site FTP Server (qorda 1.20) ready."));
  EXPECT_EQ(admin::greeting_sample(false, "ftp.site", "box"),
            QStringLiteral("220 box FTP Server (qorda 1.20) ready."));
  EXPECT_EQ(admin::greeting_sample(false, "ftp.site", ""),
            QStringLiteral("220 [unknown] FTP Server (qorda 1.20) ready."));

  const QStringList faces = admin::pickable_families();
  EXPECT_FALSE(faces.isEmpty());
  EXPECT_EQ(faces[admin::face_index(faces, faces.last().toUpper())], faces.last())
      << "a face is found whatever its case";
  EXPECT_GE(admin::face_index(faces, "No Such Face Installed"), 0);
}

// Answers the link dialog from a script and records what each opening showed.
struct LinkScript {
  std::vector<std::pair<QString, QString>> answers;  // an empty location cancels
  std::vector<std::pair<QString, QString>> shown;
  admin::LinkAsker asker() {
    return [this](QWidget*, QString* loc, QString* tgt) {
      shown.emplace_back(*loc, *tgt);
      if (answers.empty() || answers.front().first.isEmpty()) return false;
      *loc = answers.front().first;
      *tgt = answers.front().second;
      answers.erase(answers.begin());
      return true;
    };
  }
};

QStringList stored_links(GuiServer& srv) {
  QStringList out;
  for (const store::LinkRecord& r : store::list_all_links(srv.control().store())) {
    out << QString::fromStdString(r.location + " -> " + r.target);
  }
  return out;
}

TEST(ExtrasPage, LinksAreCheckedStoredAtOnceAndARefusalReopensWithTheTypedValues) {
  GuiServer srv;
  admin::ExtrasPage page(srv.control());
  Warnings warned;
  LinkScript script;
  page.set_warner(warned.warner());
  page.set_link_asker(script.asker());
  EXPECT_EQ(page.location_list()->count(), 0);
  EXPECT_FALSE(page.edit_button()->isEnabled());
  EXPECT_FALSE(page.delete_button()->isEnabled());

  script.answers = {{"/c:/ftp/pub", "/d:/"}};
  QTest::mouseClick(page.add_button(), Qt::LeftButton);
  ASSERT_EQ(script.shown.size(), 1u);
  EXPECT_EQ(script.shown[0], std::make_pair(QString("/c:/ftp/examples/drive_d"), QString("/d:/")));
  EXPECT_EQ(stored_links(srv), QStringList{"/c:/ftp/pub -> /d:/"});
  EXPECT_TRUE(page.edit_button()->isEnabled());
  EXPECT_FALSE(page.modified()) << "links are not part of ok and cancel";

  // The same place in other letters, then a bad location, then a bad target; each refusal
  // reopens the dialog with what was typed. The last opening is cancelled.
  script.shown.clear();
  script.answers = {{"/C:/FTP/PUB", "/e:/"}, {"/c:/", "/e:/"}, {"/c:/ftp/a", "~x"}, {"", ""}};
  QTest::mouseClick(page.add_button(), Qt::LeftButton);
  EXPECT_EQ(warned.texts,
            QStringList({"There is already a link at this location.", "Invalid \"link location\".",
                         "Invalid \"target file or directory\"."}));
  EXPECT_EQ(warned.titles, QStringList({"error", "error", "error"}));
  ASSERT_EQ(script.shown.size(), 4u);
  EXPECT_EQ(script.shown[1], std::make_pair(QString("/C:/FTP/PUB"), QString("/e:/")));
  EXPECT_EQ(script.shown[3], std::make_pair(QString("/c:/ftp/a"), QString("~x")));
  EXPECT_EQ(stored_links(srv), QStringList{"/c:/ftp/pub -> /d:/"});

  // A second link, then editing the first to a new place: the old one goes.
  script.answers = {{"/c:/ftp/zz", "~/up"}};
  QTest::mouseClick(page.add_button(), Qt::LeftButton);
  page.location_list()->setCurrentIndex(0);
  EXPECT_EQ(page.target_edit()->text(), QStringLiteral("/d:/"));
  script.shown.clear();
  script.answers = {{"/c:/ftp/zz", "/f:/"}, {"/c:/ftp/new", "/f:/"}};
  QTest::mouseClick(page.edit_button(), Qt::LeftButton);
  EXPECT_EQ(script.shown[0], std::make_pair(QString("/c:/ftp/pub"), QString("/d:/")));
  EXPECT_EQ(warned.texts.last(), QStringLiteral("There is already a link at this location."));
  EXPECT_EQ(page.location_list()->currentText(), QStringLiteral("/c:/ftp/new"));
  EXPECT_EQ(stored_links(srv).size(), 2);
  EXPECT_TRUE(stored_links(srv).contains("/c:/ftp/new -> /f:/"));
  // Editing the target alone keeps the place.
  script.answers = {{"/c:/ftp/new", "/g:/"}};
  QTest::mouseClick(page.edit_button(), Qt::LeftButton);
  EXPECT_TRUE(stored_links(srv).contains("/c:/ftp/new -> /g:/"));

  // Delete asks nothing.
  QTest::mouseClick(page.delete_button(), Qt::LeftButton);
  EXPECT_EQ(stored_links(srv), QStringList{"/c:/ftp/zz -> ~/up"});
  EXPECT_EQ(page.location_list()->count(), 1);
}

TEST(ExtrasPage, TheGreetingSampleFollowsTheBoxAndARealClientSeesTheName) {
  GuiServer srv;
  admin::ExtrasPage page(srv.control());
  EXPECT_EQ(page.greeting()->text(), "220 test.host FTP Server (qorda 1.20) ready.");
  QTest::mouseClick(page.name_box(), Qt::LeftButton);
  EXPECT_FALSE(page.name_edit()->isEnabled());
  EXPECT_EQ(page.greeting()->text(), "220 [unknown] FTP Server (qorda 1.20) ready.")
      << "no network module runs";
  ASSERT_TRUE(srv.control().switch_on());
  srv.pump();
  const QString machine = QString::fromStdString(platform::local_host_name());
  EXPECT_EQ(page.greeting()->text(),
            QStringLiteral("220 %1 FTP Server (qorda 1.20) ready.").arg(machine));

  QTest::mouseClick(page.name_box(), Qt::LeftButton);
  page.name_edit()->selectAll();
  QTest::keyClicks(page.name_edit(), QStringLiteral("ftp.example"));
  EXPECT_EQ(page.greeting()->text(), "220 ftp.example FTP Server (qorda 1.20) ready.");
  QTest::mouseClick(page.ok_button(), Qt::LeftButton);
  EXPECT_EQ(stored(srv).szhostname, "ftp.example");
  EXPECT_EQ(stored(srv).boverride, 1u);
  auto c = gui_client(srv);
  EXPECT_EQ(c->reply(), "220 ftp.example FTP Server (qorda 1.20) ready.");
}

TEST(ExtrasPage, TheCustomFontReachesTheListsAndBannersAtOk) {
  GuiServer srv([](store::ServerSettings& s) {
    s.busefont = 0;
    s.szfont = "No Such Face Installed";
    s.ifsiz = 100;
  });
  admin::MainWindow w(srv.control());
  auto* page = qobject_cast<admin::ExtrasPage*>(w.sheet().widget(admin::MainWindow::ExtrasTab));
  auto* banners =
      qobject_cast<admin::BannersPage*>(w.sheet().widget(admin::MainWindow::BannersTab));
  ASSERT_NE(page, nullptr);
  ASSERT_NE(banners, nullptr);
  EXPECT_FALSE(page->face_list()->isEnabled());
  EXPECT_GE(page->face_list()->currentIndex(), 0) << "a missing face falls back to one listed";

  page->font_box()->setChecked(true);
  EXPECT_TRUE(page->face_list()->isEnabled());
  const QString face = page->face_list()->currentText();
  // Choosing the largest size listed.
  page->size_list()->setFocus();
  QTest::keyClick(page->size_list(), Qt::Key_End);
  const int points = page->size_list()->currentText().trimmed().toInt();
  ASSERT_GT(points, 0);
  EXPECT_EQ(page->font_sample()->font().pointSize(), points);
  QTest::mouseClick(page->ok_button(), Qt::LeftButton);

  const store::ServerSettings s = stored(srv);
  EXPECT_EQ(s.busefont, 1u);
  EXPECT_EQ(QString::fromStdString(s.szfont), face);
  EXPECT_EQ(s.ifsiz, static_cast<uint32_t>(points * 10));
  EXPECT_EQ(w.status_page().activity_log()->font().pointSize(), points);
  EXPECT_EQ(w.status_page().client_list()->font().family(), face);
  EXPECT_EQ(banners->welcome_edit()->font().pointSize(), points);
}

}  // namespace
}  // namespace qorda::test
