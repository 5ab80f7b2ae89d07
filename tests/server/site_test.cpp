// SITE STAT, SITE PASS and SITE HELP as a client sees them, with the account store behind them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

class Site : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(srv_.home() + "/c/pub");
    ASSERT_EQ(client_.reply(), "220 test.host FTP Server (qorda 1.20) ready.");
    user_.name = "bob";
    user_.szfp = "[u] r--l--h-s /c:/pub/";
    user_.iulfiles = 3;
    user_.iulkb = 3000000000u;  // above the signed range: shown as it is
    user_.idlfiles = 7;
    user_.idlkb = 70;
  }
  store::UserRecord stored() {
    store::UserRecord r;
    r.name = user_.name;
    EXPECT_TRUE(store::read_user(srv_.reg(), r, {.main_fields = true, .counters = true}));
    return r;
  }

  TestServer srv_;
  FtpClient client_{srv_};
  store::UserRecord user_;
};

TEST_F(Site, BeforeLoginOnlyHelpWorks) {
  EXPECT_EQ(client_.cmd("SITE stat"), "530 Please login with USER and PASS.");
  EXPECT_EQ(client_.cmd("site Stat extra"), "530 Please login with USER and PASS.");
  EXPECT_EQ(client_.cmd("SITE PASS new"), "530 Please login with USER and PASS.");
  EXPECT_EQ(client_.cmd("SITE HELP"),
            "214-The following SITE commands are recognized (* => unimplemented.)\n"
            "   STAT    HELP    PASS    \n"
            "214 Direct comments about this server to its administrator.");
  EXPECT_EQ(client_.cmd("SITE HELP xyz"), "500 Unknown SITE command XYZ.");
  EXPECT_EQ(client_.cmd("HELP SITE xyz"), "500 Unknown SITE command XYZ.");
  EXPECT_EQ(client_.cmd("SITE help stat"), "214 Syntax: SITE STAT ");
  EXPECT_EQ(client_.cmd("HELP SITE help"), "214 Syntax: SITE HELP [ <sp> commandname ]");
}

TEST_F(Site, EmptyOddAndHugeArguments) {
  EXPECT_EQ(client_.cmd("SITE"), "501 'SITE': command not understood.");
  EXPECT_EQ(client_.cmd("SITE "), "501 'SITE': command not understood.");
  EXPECT_EQ(client_.cmd("SITE  "), "500 'SITE ': command not understood.");
  EXPECT_EQ(client_.cmd("SITE FOO bar"), "500 'SITE FOO': command not understood.");
  // The longest line the server takes: the reply is cut at 509 characters, nothing breaks.
  const std::string word(511 - 2 - 5, 'Q');
  std::string r = client_.cmd("SITE " + word);
  EXPECT_EQ(r.size(), 509u);
  EXPECT_TRUE(r.starts_with("500 'SITE QQQ")) << r;
  EXPECT_EQ(client_.cmd("SITE " + word + "Q"), "500 Command line too long. (max: 511 bytes)");
  EXPECT_EQ(client_.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Site, StatShowsTheStoredFigures) {
  ASSERT_TRUE(log_in(srv_, client_, user_));
  EXPECT_EQ(client_.cmd("SITE STAT"),
            "211-User 'bob' status:\n"
            "    Stored, files:     3\n"
            "    Stored, kbytes:    3000000000\n"
            "    Retrieved, files:  7\n"
            "    Retrieved, kbytes: 70\n"
            "211 End of status");
  // Figures are read again each time: a change made elsewhere shows at once.
  store::UserRecord r = stored();
  r.idlfiles = 8;
  ASSERT_TRUE(
      store::write_user(srv_.reg(), r, {.main_fields = false, .counters = store::kCountDlFiles}));
  EXPECT_NE(client_.cmd("site stat").find("    Retrieved, files:  8\n"), std::string::npos);
}

TEST_F(Site, StatWithRatiosAndSessionFigures) {
  store::TemplateRecord t;
  t.name = "ratioed";
  t.szfp = "";
  t.bratio = true;
  t.bfiles = true;
  t.bbytes = true;
  t.iufiles = 1;
  t.idfiles = 4;
  t.iubytes = 2;
  t.idbytes = 9;
  ASSERT_TRUE(log_in(srv_, client_, user_, t));
  // Ratios per account: the stored figures, then both ratio lines.
  EXPECT_EQ(client_.cmd("SITE STAT"),
            "211-User 'bob' status:\n"
            "    Stored, files:     3\n"
            "    Stored, kbytes:    3000000000\n"
            "    Retrieved, files:  7\n"
            "    Retrieved, kbytes: 70\n"
            "    UL/DL ratio, files:  (1/4)\n"
            "    UL/DL ratio, kbytes: (2/9)\n"
            "211 End of status");

  // Ratios per session: this session's counters.
  session::Session* s = session_of(srv_, client_);
  ASSERT_NE(s, nullptr);
  s->tmpl.bsession = true;
  s->tmpl.bbytes = false;
  s->files_stored = 1;
  s->kb_stored = 2;
  s->files_retrieved = 3;
  s->kb_retrieved = 4;
  EXPECT_EQ(client_.cmd("SITE STAT"),
            "211-User 'bob' status:\n"
            "    Stored, files:     1\n"
            "    Stored, kbytes:    2\n"
            "    Retrieved, files:  3\n"
            "    Retrieved, kbytes: 4\n"
            "    UL/DL ratio, files:  (1/4)\n"
            "211 End of status");
  // Without bratio there are no ratio lines and the stored figures count again.
  s->tmpl.bratio = false;
  EXPECT_EQ(client_.cmd("SITE STAT"),
            "211-User 'bob' status:\n"
            "    Stored, files:     3\n"
            "    Stored, kbytes:    3000000000\n"
            "    Retrieved, files:  7\n"
            "    Retrieved, kbytes: 70\n"
            "211 End of status");
}

TEST_F(Site, StatOfADeletedAccountStaysWellFormed) {
  ASSERT_TRUE(log_in(srv_, client_, user_));
  ASSERT_TRUE(store::delete_user(srv_.reg(), "bob"));
  EXPECT_EQ(client_.cmd("SITE STAT"),
            "211-User 'bob' status:\n"
            "    Error accessing statistics.\n"
            "211 End of status");
}

TEST_F(Site, PassStoresTheEncodingAndLogs) {
  ASSERT_TRUE(log_in(srv_, client_, user_));
  EXPECT_EQ(client_.cmd("SITE PASS"), "501 'SITE PASS': command not understood.");
  EXPECT_EQ(client_.cmd("SITE pass  two words "), "200 Password saved.");
  EXPECT_TRUE(srv_.observer.has("changed password."));
  store::UserRecord r = stored();
  // The argument is taken exactly, spaces included; the rest of the record is kept.
  EXPECT_EQ(r.szpass, store::encode_password(" two words "));
  EXPECT_NE(r.szpass, store::encode_password("two words"));
  EXPECT_EQ(r.szfp, user_.szfp);
  EXPECT_EQ(r.iulkb, user_.iulkb);
  EXPECT_EQ(r.idlfiles, user_.idlfiles);
}

TEST_F(Site, NextLoginTakesTheNewPassword) {
  ASSERT_TRUE(log_in(srv_, client_, user_, std::nullopt, "old"));
  EXPECT_EQ(client_.cmd("SITE PASS Fresh Start"), "200 Password saved.");
  // The running session is not affected.
  EXPECT_EQ(client_.cmd("PWD").substr(0, 4), "257 ");

  FtpClient again(srv_);
  again.reply();
  EXPECT_EQ(again.cmd("USER bob").substr(0, 4), "331 ");
  EXPECT_EQ(refused_pass(srv_, again, "PASS old").substr(0, 4), "530 ");
  FtpClient third(srv_);
  third.reply();
  EXPECT_EQ(third.cmd("USER bob").substr(0, 4), "331 ");
  EXPECT_EQ(third.cmd("PASS fresh start").substr(0, 4), "230 ");  // passwords ignore case
}

TEST_F(Site, PassRefusedWhenDisabled) {
  store::settings().benablerpass = 0;
  ASSERT_TRUE(log_in(srv_, client_, user_, std::nullopt, "old"));
  EXPECT_EQ(client_.cmd("SITE PASS new"), "530 SITE PASS: Permission denied.");
  EXPECT_EQ(stored().szpass, store::encode_password("old"));
  EXPECT_FALSE(srv_.observer.has("changed password."));
}

TEST_F(Site, PassForADeletedAccountDoesNotRecreateIt) {
  ASSERT_TRUE(log_in(srv_, client_, user_));
  ASSERT_TRUE(store::delete_user(srv_.reg(), "bob"));
  EXPECT_EQ(client_.cmd("SITE PASS other"), "530 SITE PASS: Permission denied.");
  EXPECT_FALSE(store::user_exists(srv_.reg(), "bob"));
  EXPECT_FALSE(srv_.observer.has("changed password."));
}

TEST_F(Site, GuestMayChangeThePassword) {
  user_.name = "anonymous";
  user_.bguest = true;
  ASSERT_TRUE(log_in(srv_, client_, user_));
  EXPECT_EQ(client_.cmd("SITE PASS whatever"), "200 Password saved.");
  EXPECT_EQ(stored().szpass, store::encode_password("whatever"));
}

}  // namespace
}  // namespace qorda::test
