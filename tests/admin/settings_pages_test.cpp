// The settings tabs against a real store and engine: what "&ok" refuses, what it writes (read
// back from the store as `qorda get` would), and what a real client sees afterwards.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <filesystem>

#include "admin/banners_page.h"
#include "admin/server_control.h"
#include "admin/setup_page.h"
#include "log/log.h"
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

// Collects what the page would show in a warning box.
struct Warnings {
  QStringList texts;
  admin::PageWarner warner() {
    return [this](QWidget*, const QString& t) { texts << t; };
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

}  // namespace
}  // namespace qorda::test
