// Logging in over real sockets: USER, PASS and REIN, the checks in their order with their replies
// and log lines, failed attempts, the client limits under a controlled clock, and the home.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "session/defs.h"
#include "session/login_throttle.h"
#include "session/session.h"
#include "store/records.h"
#include "store/settings.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

const char kFull[] = "[u] rwdlcxhms /c:/ftp/";
const char kGuestText[] = "331 Guest login ok, send your complete e-mail address as password.";

// Seconds since the epoch of a local time of day on a fixed date.
std::time_t local_epoch(int hour, int minute) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 0;
  tm.tm_mday = 15;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class Login : public ::testing::Test {
 protected:
  void SetUp() override { make_dir(srv, "ftp/pub"); }
  TestServer srv;
};

TEST_F(Login, PasswordUserLogsInAtHome) {
  add_user(srv.reg(), "alice", "Secret", kFull);
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS Secret"), "230 User alice logged in.");
  EXPECT_TRUE(srv.observer.has("User \"alice\" logged in."));
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  ASSERT_FALSE(srv.observer.client_lines.empty());
  EXPECT_NE(srv.observer.client_lines.back().find("alice"), std::string::npos);
  EXPECT_EQ(c.cmd("USER bob"), "530 Already logged in.");
  EXPECT_EQ(c.cmd("PASS x"), "530 Already logged in.");
}

TEST_F(Login, PasswordsIgnoreLetterCaseAndMayBeLong) {
  add_user(srv.reg(), "alice", "Secret", kFull);
  const std::string long_pw(500, 'k');
  add_user(srv.reg(), "bob", long_pw, kFull);
  {
    FtpClient c(srv);
    // The name is kept as typed; the record is found whatever the case.
    EXPECT_EQ(login(c, "ALICE", "sECRET"), "230 User ALICE logged in.");
  }
  {
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(c.cmd("USER bob"), "331 Password required for bob.");
    EXPECT_EQ(refused_pass(srv, c, "PASS " + std::string(499, 'k') + "j"), "530 Login incorrect.");
    EXPECT_EQ(c.cmd("USER bob"), "331 Password required for bob.");
    EXPECT_EQ(c.cmd("PASS " + std::string(500, 'K')), "230 User bob logged in.");
  }
}

TEST_F(Login, FtpIsAnonymousButTheReplyEchoesTheTypedName) {
  FtpClient c(srv);
  c.reply();
  // No anonymous account yet: the password-required text shows the name as typed.
  EXPECT_EQ(c.cmd("USER FTP"), "331 Password required for FTP.");
  EXPECT_EQ(refused_pass(srv, c, "PASS me@example.org"), "530 Login incorrect.");
  EXPECT_TRUE(srv.observer.has("User \"anonymous\" can't log in. (unknown user)"));

  add_guest(srv.reg(), "anonymous", "[u] r--l---ms /c:/ftp/");
  EXPECT_EQ(c.cmd("USER ftp"), kGuestText);
  EXPECT_EQ(c.cmd("PASS me@example.org"),
            "230-No home directory. Logging in with home \"/\".\n230 User anonymous logged in.");
}

TEST_F(Login, GuestAcceptsAnEmptyPassword) {
  add_guest(srv.reg(), "anonymous", "[u] r--l--h-s /c:/ftp/");
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER anonymous"), kGuestText);
  EXPECT_EQ(c.cmd("PASS"), "230 User anonymous logged in.");
}

TEST_F(Login, DeniedAddressGetsThePasswordTextAndIsRefusedAtPass) {
  store::UserRecord g = add_guest(srv.reg(), "anonymous", kFull);
  g.szip = "[u] a *.*.*.*\n[u] d 127.0.0.1";
  save_user(srv.reg(), g);
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER anonymous"), "331 Password required for anonymous.");
  EXPECT_EQ(refused_pass(srv, c, "PASS guest@"), "530 Login incorrect.");
  EXPECT_TRUE(srv.observer.has("User \"anonymous\" can't log in. (ip not allowed)"));
}

TEST(LoginDefaults, ServerDefaultDeniesUnmatchedAddresses) {
  TestServer srv([](store::ServerSettings& s) { s.ballowip = 0; });
  make_dir(srv, "ftp");
  store::UserRecord u = add_user(srv.reg(), "alice", "pw", kFull);
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(refused_pass(srv, c, "PASS pw"), "530 Login incorrect.");
  EXPECT_TRUE(srv.observer.has("User \"alice\" can't log in. (ip not allowed)"));
  // An allow entry for the address wins over the default.
  u.szip = "[u] a 127.0.0.*";
  save_user(srv.reg(), u);
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User alice logged in.");
}

TEST_F(Login, ChecksComeInOrderWithTheirReasons) {
  store::UserRecord u = add_user(srv.reg(), "alice", "pw", kFull);
  u.bdisable = true;
  save_user(srv.reg(), u);
  add_user(srv.reg(), "empty", "pw", "");
  add_user(srv.reg(), "ghost", "pw", "[u] rwdlcxhms /c:/nowhere/");
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(refused_pass(srv, c, "PASS wrong"),
            "530 Login incorrect.");  // the password comes before disabled
  EXPECT_TRUE(srv.observer.has("User \"alice\" can't log in. (wrong password)"));
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "530 User alice access denied.");
  EXPECT_TRUE(srv.observer.has("User \"alice\" can't log in. (account disabled)"));

  FtpClient d(srv);
  EXPECT_EQ(login(d, "empty", "pw"), "530 Access Denied. (no permissions)");
  EXPECT_TRUE(srv.observer.has("User \"empty\" can't log in. (no file permissions)"));
  // An entry on a directory that does not exist grants nothing to stand on.
  EXPECT_EQ(d.cmd("USER ghost"), "331 Password required for ghost.");
  EXPECT_EQ(d.cmd("PASS pw"), "530 Access Denied. (no permissions)");
  EXPECT_EQ(d.cmd("PWD"), "530 Please login with USER and PASS.");
}

TEST_F(Login, PassWithoutUserIsNotCounted) {
  add_user(srv.reg(), "alice", "pw", kFull);
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("PASS pw"), "503 Login with USER first.");
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(refused_pass(srv, c, "PASS no"), "530 Login incorrect.");
  EXPECT_EQ(c.cmd("PASS pw"), "503 Login with USER first.");
  EXPECT_EQ(c.cmd("PASS pw"), "503 Login with USER first.");
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(refused_pass(srv, c, "PASS no"), "530 Login incorrect.");
  // Two failures so far, whatever the 503s: the right password still gets in.
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User alice logged in.");
}

TEST_F(Login, ThirdFailureClosesAndANewConnectionStartsAtZero) {
  add_user(srv.reg(), "alice", "pw", kFull);
  {
    FtpClient c(srv);
    c.reply();
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
      EXPECT_EQ(refused_pass(srv, c, "PASS wrong"), "530 Login incorrect.") << i;
      if (i < 2) {
        EXPECT_FALSE(c.peer_closed());
        // REIN does not forgive a failure.
        EXPECT_EQ(c.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
      }
    }
    EXPECT_EQ(c.read_until_close(), "");
    EXPECT_TRUE(c.peer_closed());
    EXPECT_EQ(srv.observer.count("Disconnected. (too many attempts)"), 1);
  }
  FtpClient d(srv);
  d.reply();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(d.cmd("USER alice"), "331 Password required for alice.");
    EXPECT_EQ(refused_pass(srv, d, "PASS wrong"), "530 Login incorrect.");
  }
  EXPECT_EQ(d.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(d.cmd("PASS pw"), "230 User alice logged in.");
  // A successful login clears the count: three more failures are needed to be thrown out.
  EXPECT_EQ(d.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(d.cmd("USER alice"), "331 Password required for alice.");
    EXPECT_EQ(refused_pass(srv, d, "PASS wrong"), "530 Login incorrect.");
  }
  EXPECT_EQ(d.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Login, OddUserNamesAreUnknownAndLoggedEscaped) {
  add_user(srv.reg(), "alice", "pw", kFull);
  FtpClient c(srv);
  c.reply();
  // Two blanks: the name starts with a blank and is not alice.
  EXPECT_EQ(c.cmd("USER  alice"), "331 Password required for  alice.");
  EXPECT_EQ(refused_pass(srv, c, "PASS pw"), "530 Login incorrect.");
  EXPECT_TRUE(srv.observer.has("User \" alice\" can't log in. (unknown user)"));
  EXPECT_EQ(c.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
  EXPECT_EQ(c.cmd(std::string("USER al\x01ice\x1b[2J")),
            std::string("331 Password required for al\x01ice\x1b[2J."));
  EXPECT_EQ(refused_pass(srv, c, "PASS pw"), "530 Login incorrect.");
  EXPECT_TRUE(srv.observer.has("User \"al\\x01ice\\x1b[2J\" can't log in. (unknown user)"));
  FtpClient d(srv);
  d.reply();
  // A name that reads as a key path never reaches another record.
  EXPECT_EQ(d.cmd("USER ..\\Users\\alice"), "331 Password required for ..\\Users\\alice.");
  EXPECT_EQ(refused_pass(srv, d, "PASS pw"), "530 Login incorrect.");
  EXPECT_EQ(d.cmd("USER " + std::string(400, 'a')),
            "331 Password required for " + std::string(400, 'a') + ".");
  EXPECT_EQ(refused_pass(srv, d, "PASS pw"), "530 Login incorrect.");
  EXPECT_EQ(d.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(refused_pass(srv, d, "PASS nope"), "530 Login incorrect.");
  // Three failures in d: closed; the server keeps serving others.
  EXPECT_EQ(d.read_until_close(), "");
  FtpClient e(srv);
  EXPECT_EQ(login(e, "alice", "pw"), "230 User alice logged in.");
}

TEST_F(Login, HomeFallbacks) {
  make_dir(srv, "other");
  add_user(srv.reg(), "all", "pw", "[u] rwdlcxhms /");
  add_user(srv.reg(), "nohome", "pw", "[u] rwdl---ms /c:/ftp/pub/\n[u] r--l----s /c:/ftp/");
  FtpClient c(srv);
  EXPECT_EQ(login(c, "all", "pw"),
            "230-No home directory. Logging in with home \"/c:/\".\n230 User all logged in.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/c:/\" is current directory.");
  FtpClient d(srv);
  EXPECT_EQ(login(d, "nohome", "pw"),
            "230-No home directory. Logging in with home \"/\".\n230 User nohome logged in.");
  // The root is the deepest directory holding every entry: /c:/ftp/.
  EXPECT_EQ(d.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(d.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_EQ(d.cmd("PWD"), "257 \"/pub/\" is current directory.");
}

TEST_F(Login, ReinResetsTheSession) {
  add_user(srv.reg(), "alice", "pw", kFull);
  FtpClient c(srv);
  EXPECT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  EXPECT_EQ(c.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("TYPE I"), "200 Type set to I.");
  EXPECT_EQ(c.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
  EXPECT_TRUE(srv.observer.has("Reinitialized server state."));
  ASSERT_FALSE(srv.observer.client_lines.empty());
  EXPECT_NE(srv.observer.client_lines.back().find("[unknown]"), std::string::npos);
  EXPECT_EQ(c.cmd("PWD"), "530 Please login with USER and PASS.");
  EXPECT_EQ(c.cmd("PASS pw"), "503 Login with USER first.");
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User alice logged in.");
  // A fresh view: back at home, not in pub.
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
}

// ---- password guessing ----

TEST(LoginThrottle, TenGuessesAtOnceThenOneEveryHundredMilliseconds) {
  session::LoginThrottle t;
  const uint32_t a = 0x7f000001, b = 0x7f000002, t0 = 0xfffffe00;  // the tick wraps meanwhile
  for (int i = 0; i < 10; ++i) EXPECT_EQ(t.admit(a, t0), 0u) << i;
  EXPECT_EQ(t.admit(a, t0), 100u);
  EXPECT_EQ(t.admit(b, t0), 0u);  // other addresses are not affected
  EXPECT_EQ(t.admit(a, t0 + 60), 40u);
  EXPECT_EQ(t.admit(a, t0 + 100), 0u);
  EXPECT_EQ(t.admit(a, t0 + 100), 100u);
  // A check that passes gives its slot back.
  t.passed(a, t0 + 100);
  EXPECT_EQ(t.admit(a, t0 + 100), 0u);
  // Once the allowance is whole again the address is forgotten: the table stays small.
  t.prune(t0 + 999);
  EXPECT_EQ(t.tracked(), 1u);
  t.prune(t0 + 1100);
  EXPECT_EQ(t.tracked(), 0u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(t.admit(a, t0 + 1100), 0u) << i;
}

TEST_F(Login, AFailedPasswordIsAnsweredLateAndPipelinedCommandsWaitBehindIt) {
  add_user(srv.reg(), "alice", "pw", kFull);
  FtpClient c(srv);
  c.reply();
  ASSERT_TRUE(c.send_raw("USER alice\r\nPASS wrong\r\nNOOP\r\n"));
  EXPECT_EQ(c.reply(), "331 Password required for alice.");
  session::Session* s = session_of(srv, c);
  ASSERT_NE(s, nullptr);
  for (int i = 0; i < 2000 && !s->on_hold(); ++i) srv.pump(5);
  srv.advance_and_tick(session::kFailedLoginDelayMs - 100);
  EXPECT_TRUE(s->on_hold());
  EXPECT_FALSE(srv.observer.has("REP:\"200 NOOP command successful.\""));
  srv.advance_and_tick(100);
  EXPECT_EQ(c.reply(), "530 Login incorrect.");
  EXPECT_EQ(c.reply(), "200 NOOP command successful.");
  // A right password is answered at once.
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User alice logged in.");
}

TEST_F(Login, OneAddressHasItsPasswordsCheckedTenAtOnceThenTenASecond) {
  add_user(srv.reg(), "alice", "pw", kFull);
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (int i = 0; i < 12; ++i) {
    clients.push_back(std::make_unique<FtpClient>(srv));
    clients.back()->reply();
    ASSERT_EQ(clients.back()->cmd("USER alice"), "331 Password required for alice.");
    ASSERT_TRUE(clients.back()->send_line("PASS wrong" + std::to_string(i)));
  }
  auto held = [&] {
    int n = 0;
    for (auto& c : clients) n += session_of(srv, *c) != nullptr && session_of(srv, *c)->on_hold();
    return n;
  };
  for (int i = 0; i < 2000 && held() < 12; ++i) srv.pump(5);
  ASSERT_EQ(held(), 12);  // ten refused and held, two waiting for their turn
  EXPECT_EQ(srv.observer.count("User \"alice\" can't log in. (wrong password)"), 10);
  for (int expected = 11; expected <= 12; ++expected) {
    srv.advance_and_tick(session::kLoginGuessSpacingMs);
    for (int i = 0;
         i < 2000 && srv.observer.count("User \"alice\" can't log in. (wrong password)") < expected;
         ++i) {
      srv.pump(5);
    }
    EXPECT_EQ(srv.observer.count("User \"alice\" can't log in. (wrong password)"), expected);
  }
  srv.advance_and_tick(session::kFailedLoginDelayMs);
  for (auto& c : clients) EXPECT_EQ(c->reply(), "530 Login incorrect.");
}

// ---- client limits ----

TEST(LoginLimits, ServerMaximumCountsLoggedInSessionsOnly) {
  TestServer srv([](store::ServerSettings& s) { s.imaxc = 2; });
  make_dir(srv, "ftp");
  for (const char* n : {"alice", "bob", "carol"}) add_user(srv.reg(), n, "pw", kFull);
  FtpClient a(srv), b(srv), idle(srv), c(srv);
  idle.reply();  // connected, not logged in: does not count
  EXPECT_EQ(login(a, "alice", "pw"), "230 User alice logged in.");
  EXPECT_EQ(login(b, "bob", "pw"), "230 User bob logged in.");
  EXPECT_EQ(login(c, "carol", "pw"),
            "530-Sorry, the current limit of 2 clients in your class has been reached.\n"
            "530-Please try again later.\n"
            "530-\n"
            "530 User carol access denied.");
  EXPECT_TRUE(srv.observer.has("User \"carol\" can't log in. (limit: 2 clients)"));
  // Once bob logs out (REIN), carol gets in.
  EXPECT_EQ(b.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
  EXPECT_EQ(c.cmd("USER carol"), "331 Password required for carol.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User carol logged in.");
}

TEST(LoginLimits, PriorityLoginsSkipEveryLimit) {
  TestServer srv([](store::ServerSettings& s) { s.imaxc = 0; });
  make_dir(srv, "ftp");
  add_user(srv.reg(), "alice", "pw", kFull);
  store::UserRecord boss = add_user(srv.reg(), "boss", "pw", kFull);
  boss.bignore = true;
  save_user(srv.reg(), boss);
  FtpClient a(srv), b(srv);
  EXPECT_EQ(login(a, "alice", "pw"),
            "530-Sorry, the current limit of 0 clients in your class has been reached.\n"
            "530-Please try again later.\n"
            "530-\n"
            "530 User alice access denied.");
  EXPECT_TRUE(srv.observer.has("User \"alice\" can't log in. (limit: 0 clients)"));
  EXPECT_EQ(login(b, "boss", "pw"), "230 User boss logged in.");
}

class TemplateLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(srv, "ftp");
    store::TemplateRecord t;
    t.name = "staff";
    t.szfp = "[t] rwdlcxhms /c:/ftp/";
    t.szcl = "09:00,17:00,1,5,5,5\n";
    ASSERT_TRUE(store::write_template(srv.reg(), t).ok());
    for (const char* n : {"alice", "bob"}) {
      store::UserRecord u = add_user(srv.reg(), n, "pw", "");
      u.sztemp = "[t] staff";
      save_user(srv.reg(), u);
    }
  }
  std::string second_login() {
    FtpClient a(srv), b(srv);
    EXPECT_EQ(login(a, "alice", "pw"), "230 User alice logged in.");
    return login(b, "bob", "pw");
  }
  TestServer srv;
};

TEST_F(TemplateLimits, TemplateTotalAppliesInsideTheRangeBothEndsIncluded) {
  srv.clock.epoch = local_epoch(12, 0);
  EXPECT_EQ(second_login(),
            "530-Sorry, the current limit of 1 client in your class has been reached.\n"
            "530-Please try again later.\n"
            "530-\n"
            "530 User bob access denied.");
  EXPECT_TRUE(srv.observer.has("User \"bob\" can't log in. (limit: 1 client using '[t] staff')"));
  srv.clock.epoch = local_epoch(17, 0);
  EXPECT_EQ(second_login().substr(0, 4), "530-");
  srv.clock.epoch = local_epoch(17, 1);
  EXPECT_EQ(second_login(), "230 User bob logged in.");
  srv.clock.epoch = local_epoch(8, 59);
  EXPECT_EQ(second_login(), "230 User bob logged in.");
}

TEST_F(TemplateLimits, PerUserPerIpAndBothKinds) {
  srv.clock.epoch = local_epoch(12, 0);
  store::TemplateRecord t;
  t.name = "staff";
  ASSERT_TRUE(store::read_template(srv.reg(), t));

  t.szcl = "00:00,23:59,-1,1,-1,-1\n";
  ASSERT_TRUE(store::write_template(srv.reg(), t).ok());
  {
    FtpClient a(srv), a2(srv), b(srv);
    EXPECT_EQ(login(a, "alice", "pw"), "230 User alice logged in.");
    EXPECT_EQ(login(b, "bob", "pw"), "230 User bob logged in.");
    EXPECT_EQ(login(a2, "Alice", "pw").substr(0, 4), "530-");
    // Names compare without regard to case.
    EXPECT_TRUE(
        srv.observer.has("User \"Alice\" can't log in. (limit: 1 client using '[u] Alice')"));
  }
  t.szcl = "00:00,23:59,-1,-1,1,-1\n";
  ASSERT_TRUE(store::write_template(srv.reg(), t).ok());
  EXPECT_EQ(second_login().substr(0, 4), "530-");
  EXPECT_TRUE(srv.observer.has("User \"bob\" can't log in. (limit: 1 client from ip '127.0.0.1')"));

  // Two applying lines: the later wins. Both = same user and same address.
  t.szcl = "00:00,23:59,-1,-1,-1,5\n10:00,13:00,-1,-1,-1,1\n";
  ASSERT_TRUE(store::write_template(srv.reg(), t).ok());
  EXPECT_EQ(second_login(), "230 User bob logged in.");
  FtpClient a(srv), a2(srv);
  EXPECT_EQ(login(a, "alice", "pw"), "230 User alice logged in.");
  EXPECT_EQ(login(a2, "alice", "pw").substr(0, 4), "530-");
  EXPECT_TRUE(srv.observer.has(
      "User \"alice\" can't log in. (limit: 1 client from ip '127.0.0.1' using '[u] alice')"));
}

TEST_F(TemplateLimits, ZeroRefusesEveryLoginOfItsKind) {
  srv.clock.epoch = local_epoch(12, 0);
  store::TemplateRecord t;
  t.name = "staff";
  ASSERT_TRUE(store::read_template(srv.reg(), t));
  t.szcl = "12:00,12:00,0,-1,-1,-1\n";
  ASSERT_TRUE(store::write_template(srv.reg(), t).ok());
  FtpClient a(srv);
  EXPECT_EQ(login(a, "alice", "pw").substr(0, 4), "530-");
  EXPECT_TRUE(
      srv.observer.has("User \"alice\" can't log in. (limit: 0 clients using '[t] staff')"));
}

}  // namespace
}  // namespace qorda::test
