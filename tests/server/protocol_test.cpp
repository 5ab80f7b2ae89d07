// The control connection as a client sees it: greeting, the informational and parameter
// commands, line assembly, Telnet answers, and the dispatcher's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/netmodule.h"
#include "session/command_table.h"
#include "session/session.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

const char kGreeting[] = "220 test.host FTP Server (qorda 1.20) ready.";

TEST(Greeting, WithoutBannerIsOneLine) {
  TestServer srv;
  FtpClient c(srv);
  EXPECT_EQ(c.reply(), kGreeting);
  EXPECT_EQ(srv.net().client_count(), 1);
  EXPECT_EQ(srv.observer.last_tip, "Cindervale FTP Daemon 1.20 (1 user)");
}

TEST(Greeting, BannerLinesAreContinuationsEndingWith220) {
  TestServer srv([](store::ServerSettings& s) { s.szmsg1 = "Welcome here.\n\nSecond line\n"; });
  FtpClient c(srv);
  EXPECT_EQ(c.reply(),
            "220-test.host FTP Server (qorda 1.20) ready.\n"
            "220-Welcome here.\n"
            "220-\n"
            "220 Second line");
}

TEST(Greeting, HostNameIsTheLocalNameWithoutOverride) {
  TestServer srv([](store::ServerSettings& s) {
    s.boverride = 0;
    s.szhostname = "ignored.example";
  });
  FtpClient c(srv);
  EXPECT_EQ(c.reply(), "220 " + srv.net().local_name() + " FTP Server (qorda 1.20) ready.");
}

TEST(Help, ListsTheTableInFiveColumns) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("HELP"),
            "214-The following commands are recognized (* => unimplemented.)\n"
            "   USER    SMNT*   TYPE    STOU    RNTO    PWD     STAT    XCWD    \n"
            "   PASS    QUIT    STRU    APPE*   ABOR    LIST    HELP    XCUP    \n"
            "   ACCT*   REIN    MODE    ALLO    DELE    NLST    NOOP    XRMD    \n"
            "   CWD     PORT    RETR    REST    RMD     SITE    SIZE    XMKD    \n"
            "   CDUP    PASV    STOR    RNFR    MKD     SYST    MDTM    XPWD    \n"
            "214 Direct comments about this server to its administrator.");
}

TEST(Help, WordsAndSiteWords) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("HELP retr"), "214 Syntax: RETR <sp> pathname");
  EXPECT_EQ(c.cmd("help quit"), "214 Syntax: QUIT ");
  EXPECT_EQ(c.cmd("HELP type"), "214 Syntax: TYPE <sp> A [ <sp> N ] | I | L <sp> N");
  EXPECT_EQ(c.cmd("HELP FOO"), "500 Unknown command FOO.");
  EXPECT_EQ(c.cmd("HELP SITE PASS"), "214 Syntax: SITE PASS <sp> new password");
  EXPECT_EQ(c.cmd("HELP site stat"), "214 Syntax: SITE STAT ");
  EXPECT_EQ(c.cmd("HELP SITE xyz"), "500 Unknown SITE command XYZ.");
  EXPECT_EQ(c.cmd("HELP SITE"),
            "214-The following SITE commands are recognized (* => unimplemented.)\n"
            "   STAT    HELP    PASS    \n"
            "214 Direct comments about this server to its administrator.");
  EXPECT_EQ(c.cmd("SITE HELP pass"), "214 Syntax: SITE PASS <sp> new password");
  EXPECT_EQ(c.cmd("SITE FOO"), "500 'SITE FOO': command not understood.");
  EXPECT_EQ(c.cmd("SITE"), "501 'SITE': command not understood.");
  EXPECT_EQ(c.cmd("SITE stat"), "530 Please login with USER and PASS.");
  EXPECT_EQ(c.cmd("SITE PASS x"), "530 Please login with USER and PASS.");
}

TEST(Stat, BeforeLoginShowsTheSessionAndNeedsNoLogin) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("STAT"),
            "211-test.host FTP server status:\n"
            "    qorda 1.20\n"
            "    Connected to 127.0.0.1\n"
            "    Waiting for user name\n"
            "    TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Stream\n"
            "    No data connection.\n"
            "211 End of status");
  EXPECT_EQ(c.cmd("TYPE I"), "200 Type set to I.");
  std::string stat = c.cmd("STAT");
  EXPECT_NE(stat.find("    TYPE: Image; STRUcture: File; transfer MODE: Stream\n"),
            std::string::npos)
      << stat;
  EXPECT_EQ(c.cmd("STAT /"), "530 Please login with USER and PASS.");
}

TEST(Type, WholeTable) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  auto type_line = [&c] {
    std::string s = c.cmd("STAT");
    return s.find("TYPE: Image") != std::string::npos ? 'I' : 'A';
  };
  EXPECT_EQ(c.cmd("TYPE I"), "200 Type set to I.");
  EXPECT_EQ(c.cmd("TYPE a n"), "200 Type set to A.");
  EXPECT_EQ(type_line(), 'A');
  EXPECT_EQ(c.cmd("TYPE i"), "200 Type set to I.");
  EXPECT_EQ(c.cmd("TYPE A T"), "504 Form must be N.");
  EXPECT_EQ(type_line(), 'I');  // unchanged
  EXPECT_EQ(c.cmd("TYPE AX"), "200 Type set to A.");
  EXPECT_EQ(c.cmd("TYPE E"), "504 Type E not implemented.");
  EXPECT_EQ(c.cmd("TYPE L 7"), "504 Byte size must be 8.");
  EXPECT_EQ(type_line(), 'A');
  EXPECT_EQ(c.cmd("TYPE L 8"), "200 Type set to L (byte size 8).");
  EXPECT_EQ(type_line(), 'I');
  EXPECT_EQ(c.cmd("TYPE A"), "200 Type set to A.");
  EXPECT_EQ(c.cmd("TYPE L"), "200 Type set to L (byte size 8).");
  EXPECT_EQ(c.cmd("TYPE l 99999999999999999999"), "504 Byte size must be 8.");
  EXPECT_EQ(c.cmd("TYPE X"), "500 'X': command not understood.");
  EXPECT_EQ(c.cmd("TYPE"), "501 'TYPE': command not understood.");
}

TEST(Parameters, StruModeSystNoopAllo) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("STRU f"), "200 STRU F ok.");
  EXPECT_EQ(c.cmd("STRU R"), "504 Unimplemented STRU type.");
  EXPECT_EQ(c.cmd("MODE s"), "200 MODE S ok.");
  EXPECT_EQ(c.cmd("MODE B"), "504 Unimplemented MODE type.");
  EXPECT_EQ(c.cmd("syst"), "215 UNIX Type: L8");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("ALLO 100"), "530 Please login with USER and PASS.");
}

TEST(Dispatch, LoginRulesUnimplementedAndUnknown) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  for (const char* w : {"CWD /", "CDUP", "PASV", "RETR x", "STOR x", "LIST", "PWD", "REST 5",
                        "ABOR", "BOR", "MKD d", "SIZE f", "XPWD"}) {
    EXPECT_EQ(c.cmd(w), "530 Please login with USER and PASS.") << w;
  }
  EXPECT_EQ(c.cmd("ACCT x"), "502 ACCT command not implemented");
  EXPECT_EQ(c.cmd("SMNT x"), "502 SMNT command not implemented");
  EXPECT_EQ(c.cmd("APPE x"), "502 APPE command not implemented");
  EXPECT_EQ(c.cmd("FOO bar"), "500 'FOO': command not understood.");
  EXPECT_EQ(c.cmd("foo"), "500 'FOO': command not understood.");
  EXPECT_EQ(c.cmd(""), "500 '': command not understood.");
  EXPECT_EQ(c.cmd("\bNOOP"), "500 '\bNOOP': command not understood.");
  EXPECT_EQ(c.cmd("NOP\bOP"), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("NOOQ\b\bOP"), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("USER"), "501 'USER': command not understood.");
  // The word ends at the first space; a second space belongs to the argument.
  EXPECT_EQ(c.cmd("TYPE  I"), "500 ' I': command not understood.");
  // Text after a NUL or a lone CR is not part of the command.
  EXPECT_EQ(c.cmd(std::string("NOOP\0junk", 9)), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("NOOP\rjunk"), "200 NOOP command successful.");
}

TEST(Dispatch, LinesAreLoggedAsCommandsAndReplies) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  c.cmd("noop");
  EXPECT_TRUE(srv.observer.has("CMD:\"noop\""));
  EXPECT_TRUE(srv.observer.has("REP:\"200 NOOP command successful.\""));
  // SECURITY: control characters of client text are escaped in the log.
  c.cmd("X\x1b[2J\x01");
  EXPECT_TRUE(srv.observer.has("CMD:\"X\\x1b[2J\\x01\"")) << srv.observer.lines.back();
}

TEST(Dispatch, PasswordsNeverReachTheLogOrTheExamineView) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  s->examined = true;
  c.cmd("PASS hunter2");
  c.cmd("pass  two words");
  c.cmd("SITE PASS hunter3");
  c.cmd("site   Pass hunter4");
  c.cmd("PASS");
  c.cmd("PASSWORD visible");  // another word: logged as it is
  for (const std::string& l : srv.observer.lines) EXPECT_EQ(l.find("hunter"), l.npos) << l;
  for (const char* shown : {"PASS ***", "pass ***", "SITE PASS ***", "site   Pass ***", "PASS"}) {
    EXPECT_TRUE(srv.observer.has("CMD:\"" + std::string(shown) + "\"")) << shown;
    EXPECT_NE(std::find(srv.observer.examined.begin(), srv.observer.examined.end(), shown),
              srv.observer.examined.end())
        << shown;
  }
  EXPECT_TRUE(srv.observer.has("CMD:\"PASSWORD visible\""));
}

TEST(Lines, LongestLineIsExecutedOneMoreIsRefused) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  std::string ok = "NOOP " + std::string(504, 'x');  // 509 characters
  ASSERT_EQ(ok.size(), 509u);
  EXPECT_EQ(c.cmd(ok), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd(ok + "y"), "500 Command line too long. (max: 511 bytes)");
  EXPECT_EQ(c.cmd(std::string(5000, 'z')), "500 Command line too long. (max: 511 bytes)");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");  // the connection stays usable
}

TEST(Lines, ReplyIsCutAt509Characters) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  // The unknown word comes back in the reply: 500 '<word>': ... is cut at 509 characters.
  std::string word(505, 'W');
  std::string r = c.cmd(word);
  EXPECT_EQ(r.size(), 509u);
  EXPECT_EQ(r, ("500 '" + word + "': command not understood.").substr(0, 509));
}

TEST(Lines, PipelinedCommandsAreAnsweredInOrder) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  ASSERT_TRUE(c.send_raw("NOOP\r\nSYST\r\nFOO\r\nMODE S\r\n"));
  EXPECT_EQ(c.reply(), "200 NOOP command successful.");
  EXPECT_EQ(c.reply(), "215 UNIX Type: L8");
  EXPECT_EQ(c.reply(), "500 'FOO': command not understood.");
  EXPECT_EQ(c.reply(), "200 MODE S ok.");
}

TEST(Lines, BareLineFeedEndsALine) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  ASSERT_TRUE(c.send_raw("NOOP\nSYST\n"));
  EXPECT_EQ(c.reply(), "200 NOOP command successful.");
  EXPECT_EQ(c.reply(), "215 UNIX Type: L8");
}

TEST(Telnet, OptionsAreRefusedAndIacIacIsOneByte) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  ASSERT_TRUE(c.send_raw("\xff\xfb\x01"));     // IAC WILL ECHO
  EXPECT_EQ(c.read_bytes(3), "\xff\xfe\x01");  // IAC DONT ECHO
  ASSERT_TRUE(c.send_raw("\xff\xfd\x03"));     // IAC DO SGA
  EXPECT_EQ(c.read_bytes(3), "\xff\xfc\x03");  // IAC WONT SGA
  // Negotiation inside a command does not reach the command line; IP/DM are dropped.
  EXPECT_EQ(c.cmd("NO\xff\xfc\x18OP\xff\xf4\xff\xf2"),
            "\xff\xfe\x18"
            "200 NOOP command successful.");
  // IAC IAC puts one 255 into the line (and the word is then unknown).
  EXPECT_EQ(c.cmd("X\xff\xffY"), "500 'X\xffY': command not understood.");
}

TEST(Telnet, SequencesSplitAcrossSegments) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  ASSERT_TRUE(c.send_raw("NO\xff"));
  srv.pump();
  ASSERT_TRUE(c.send_raw("\xfb"));
  srv.pump();
  ASSERT_TRUE(c.send_raw("\x01OP\r"));
  srv.pump();
  ASSERT_TRUE(c.send_raw("\n"));
  EXPECT_EQ(c.read_bytes(3), "\xff\xfe\x01");
  EXPECT_EQ(c.reply(), "200 NOOP command successful.");
}

// Commands that need a login, with the session put into the logged-in state directly (login
// itself is the account code's business).
TEST(LoggedIn, RestIsClearedByAnyCommandButRetrAndStor) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  s->state = session::SessionState::LoggedIn;
  s->user_name = "alice";
  EXPECT_EQ(c.cmd("REST 100"), "350 Restarting at 100. Send STOR or RETR to initiate transfer.");
  EXPECT_EQ(s->rest_offset, 100);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(s->rest_offset, 0);
  EXPECT_EQ(c.cmd("REST 7x"), "350 Restarting at 7. Send STOR or RETR to initiate transfer.");
  c.cmd("RETR f");  // the offset waits for the transfer
  EXPECT_EQ(s->rest_offset, 7);
  c.cmd("STOR f");
  EXPECT_EQ(s->rest_offset, 7);
  c.cmd("FOO");  // even an unknown word clears it
  EXPECT_EQ(s->rest_offset, 0);
  // Offsets are 64-bit: files beyond 4 GiB restart where asked.
  EXPECT_EQ(c.cmd("REST 99999999999"),
            "350 Restarting at 99999999999. Send STOR or RETR to initiate transfer.");
  EXPECT_EQ(c.cmd("REST"), "501 'REST': command not understood.");
  EXPECT_EQ(c.cmd("ALLO 100"), "200 ALLO command ignored.");
  EXPECT_EQ(c.cmd("ALLO"), "501 'ALLO': command not understood.");
  std::string stat = c.cmd("STAT");
  EXPECT_NE(stat.find("\n    Logged in as user 'alice'\n"), std::string::npos) << stat;
  s->guest = true;
  stat = c.cmd("STAT");
  EXPECT_NE(stat.find("\n    Logged in as guest user 'alice'\n"), std::string::npos) << stat;
  s->state = session::SessionState::WaitingForPassword;
  stat = c.cmd("STAT");
  EXPECT_NE(stat.find("\n    Waiting for password\n"), std::string::npos) << stat;
}

TEST(Lookup, GreetingWaitsForTheReverseLookup) {
  TestServer srv([](store::ServerSettings& s) { s.benabledns = 1; });
  FtpClient c(srv);
  EXPECT_EQ(c.reply(), kGreeting);
  int dns = 0;
  for (const std::string& l : srv.observer.lines)
    dns += l.find("] DNS lookup returned \"") != std::string::npos;
  EXPECT_EQ(dns, 1);
  EXPECT_TRUE(srv.observer.has("Connected to 127.0.0.1."));
  std::string stat = c.cmd("STAT");
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  if (s->remote_host == "127.0.0.1") {
    EXPECT_NE(stat.find("\n    Connected to 127.0.0.1\n"), std::string::npos) << stat;
  } else {
    EXPECT_NE(stat.find("\n    Connected to " + s->remote_host + " (127.0.0.1)\n"),
              std::string::npos)
        << stat;
  }
}

TEST(Lookup, ClientLeavingBeforeTheAnswerIsFreedOnce) {
  TestServer srv([](store::ServerSettings& s) { s.benabledns = 1; });
  for (int i = 0; i < 20; ++i) {
    FtpClient c(srv);
    srv.pump(0);  // accepted, look-up started; the client leaves at once
  }
  for (int i = 0; i < 2000 && srv.net().client_count() != 0; ++i) srv.pump(1);
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_EQ(srv.observer.count("Disconnected. (client close)"), 20);
  FtpClient c(srv);
  EXPECT_EQ(c.reply(), kGreeting);
}

TEST(Rest, OffsetParser) {
  EXPECT_EQ(session::parse_decimal("  100abc"), 100);
  EXPECT_EQ(session::parse_decimal("-7"), -7);
  EXPECT_EQ(session::parse_decimal("+12"), 12);
  EXPECT_EQ(session::parse_decimal("x12"), 0);
  EXPECT_EQ(session::parse_decimal(""), 0);
  EXPECT_GT(session::parse_decimal("99999999999999999999999999"), 0);  // saturates
}

TEST(Quit, GoodbyeAndBannerFraming) {
  {
    TestServer srv;
    FtpClient c(srv);
    c.reply();
    EXPECT_EQ(c.cmd("QUIT"), "221 Goodbye.");
    srv.advance_and_tick(250);  // the tick frees the marked session
    EXPECT_EQ(c.read_until_close(), "");
    EXPECT_TRUE(c.peer_closed());
    EXPECT_TRUE(srv.observer.has("Disconnected."));
    EXPECT_EQ(srv.net().client_count(), 0);
    EXPECT_EQ(srv.observer.last_tip, "Cindervale FTP Daemon 1.20 (0 users)");
  }
  {
    TestServer srv([](store::ServerSettings& s) { s.szmsg2 = "Bye now.\nSee you."; });
    FtpClient c(srv);
    c.reply();
    ASSERT_TRUE(c.send_raw("QUIT\r\nNOOP\r\n"));  // lines after QUIT are ignored
    EXPECT_EQ(c.reply(), "221-Bye now.\n221 See you.");
    srv.advance_and_tick(250);
    EXPECT_EQ(c.read_until_close(), "");
  }
}

}  // namespace
}  // namespace qorda::test
