// Banners and message files: the token table, the line source of message files (CR LF and bare
// LF line ends, long lines, odd bytes), and what a client sees at greeting, login, CWD and QUIT.
#include "session/banner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "store/settings.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {
namespace {

using session::expand_tokens;
using session::TokenValues;

TokenValues sample(bool logged_in) {
  TokenValues v;
  v.now = platform::LocalTime{1996, 11, 18, 17, 43, 5, 0, 1};
  v.remote_host = "client.example";
  v.host_name = "ftp.example";
  v.connections = 3;
  v.max_clients = 20;
  v.logged_in = logged_in;
  v.current_dir = "/pub/";
  v.user = "alice";
  v.free_bytes = [] { return std::optional<uint64_t>(7u * 1048576u + 1048575u); };
  return v;
}

TEST(Tokens, EveryToken) {
  const TokenValues v = sample(true);
  EXPECT_EQ(expand_tokens(v, "%T"), "Mon Nov 18 17:43:05 1996");
  EXPECT_EQ(expand_tokens(v, "%t"), "Mon Nov 18 17:43:05 1996");
  EXPECT_EQ(expand_tokens(v, "%R|%r|%L|%l"),
            "client.example|client.example|ftp.example|ftp.example");
  EXPECT_EQ(expand_tokens(v, "%N/%M %n/%m"), "3/20 3/20");
  EXPECT_EQ(expand_tokens(v, "%U in %C, %F MB"), "alice in /pub/, 7 MB");
  EXPECT_EQ(expand_tokens(v, "%u %c %f"), "alice /pub/ 7");
  EXPECT_EQ(expand_tokens(v, "100%% sure, %x and %1 stay"), "100% sure, %x and %1 stay");
  EXPECT_EQ(expand_tokens(v, "%%%%"), "%%");
  EXPECT_EQ(expand_tokens(v, "ends with %"), "ends with ");
  EXPECT_EQ(expand_tokens(v, "%"), "");
  EXPECT_EQ(expand_tokens(v, ""), "");
}

TEST(Tokens, DayIsPaddedToTwoColumns) {
  TokenValues v = sample(false);
  v.now = platform::LocalTime{2026, 1, 5, 9, 5, 7, 0, 1};
  EXPECT_EQ(expand_tokens(v, "[%T]"), "[Mon Jan  5 09:05:07 2026]");
}

TEST(Tokens, SessionValuesVanishBeforeLogin) {
  int asked = 0;
  TokenValues v = sample(false);
  v.free_bytes = [&asked] {
    ++asked;
    return std::optional<uint64_t>(1);
  };
  EXPECT_EQ(expand_tokens(v, "<%U><%C><%F><%R>"), "<><><><client.example>");
  EXPECT_EQ(asked, 0);
}

TEST(Tokens, FreeSpaceIsWholeMegabytesIn64Bits) {
  TokenValues v = sample(true);
  v.free_bytes = [] { return std::optional<uint64_t>(uint64_t{6} << 40); };  // 6 TiB
  EXPECT_EQ(expand_tokens(v, "%F"), "6291456");
  v.free_bytes = [] { return std::optional<uint64_t>(1048575); };
  EXPECT_EQ(expand_tokens(v, "%F"), "0");
  v.free_bytes = [] { return std::optional<uint64_t>(); };  // the volume can't be queried
  EXPECT_EQ(expand_tokens(v, "[%F]"), "[]");
}

TEST(Tokens, TheLineEndsAtItsFirstLineBreakOrNul) {
  const TokenValues v = sample(true);
  EXPECT_EQ(expand_tokens(v, "abc\r\ndef"), "abc");
  EXPECT_EQ(expand_tokens(v, "abc\ndef"), "abc");
  EXPECT_EQ(expand_tokens(v, std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(expand_tokens(v, "50%\r\n"), "50");
}

// Runs the line source over `text`, handing out at most `piece` bytes per read.
std::vector<std::string> lines_of(const std::string& text, size_t piece = 4096) {
  std::vector<std::string> out;
  size_t pos = 0;
  session::message_lines(
      [&](char* buf, size_t n) -> size_t {
        size_t k = std::min({n, piece, text.size() - pos});
        text.copy(buf, k, pos);
        pos += k;
        return k;
      },
      [&](std::string_view l) { out.emplace_back(l); });
  return out;
}

TEST(MessageLines, CrLfAndBareLfGiveTheSameLines) {
  using V = std::vector<std::string>;
  EXPECT_EQ(lines_of("one\r\ntwo\r\n\r\nfour\r\n"), (V{"one", "two", "", "four"}));
  EXPECT_EQ(lines_of("one\ntwo\n\nfour\n"), (V{"one", "two", "", "four"}));
  EXPECT_EQ(lines_of("one\r\ntwo\nthree"), (V{"one", "two", "three"}));
  EXPECT_EQ(lines_of(""), V{});
  // A lone CR is part of the line (the token expansion stops there).
  EXPECT_EQ(lines_of("a\rb\r\nc"), (V{"a\rb", "c"}));
}

TEST(MessageLines, LongLinesComeInBlocksAndReadsMayBeShort) {
  const std::string text = std::string(600, 'a') + "\r\n" + std::string(1200, 'b') + "\nend";
  const std::vector<std::string> want = {std::string(505, 'a'), std::string(95, 'a'),
                                         std::string(505, 'b'), std::string(505, 'b'),
                                         std::string(190, 'b'), "end"};
  EXPECT_EQ(lines_of(text), want);
  EXPECT_EQ(lines_of(text, 1), want);
  EXPECT_EQ(lines_of(text, 7), want);
}

// ---- what clients see ----

std::time_t local_epoch(int y, int mon, int d, int h, int m, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(Banners, WelcomeBannerExpandsTokensBeforeLogin) {
  TestServer srv([](store::ServerSettings& s) {
    s.szmsg1 = "Hello %R at %L.\n%N of %M; user '%U' in '%C' free '%F' %%\nodd %x and %";
    s.imaxc = 7;
  });
  FtpClient c(srv);
  EXPECT_EQ(c.reply(),
            "220-test.host FTP Server (qorda 1.20) ready.\n"
            "220-Hello 127.0.0.1 at test.host.\n"
            "220-1 of 7; user '' in '' free '' %\n"
            "220 odd %x and ");
}

TEST(Banners, TimeTokenUsesTheLocalClock) {
  TestServer srv([](store::ServerSettings& s) { s.szmsg1 = "It is %T."; });
  srv.clock.epoch = local_epoch(2026, 1, 15, 9, 5, 7);
  FtpClient c(srv);
  EXPECT_EQ(c.reply(),
            "220-test.host FTP Server (qorda 1.20) ready.\n"
            "220 It is Thu Jan 15 09:05:07 2026.");
}

TEST(Banners, GoodbyeBannerAtQuit) {
  TestServer srv([](store::ServerSettings& s) { s.szmsg2 = "Bye %U.\nYou were in %C.\n"; });
  make_dir(srv, "ftp/pub");
  add_user(srv.reg(), "alice", "pw", "[u] rwdlcxh-s /c:/ftp/");
  FtpClient c(srv);
  EXPECT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  EXPECT_EQ(c.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("QUIT"), "221-Bye alice.\n221 You were in /pub/.");
  FtpClient d(srv);
  d.reply();
  EXPECT_EQ(d.cmd("QUIT"), "221-Bye .\n221 You were in .");
}

class MessageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(srv, "ftp/pub");
    make_dir(srv, "ftp/quiet");
    add_user(srv.reg(), "alice", "pw", "[u] rwdlcxhms /c:/ftp/\n[u] rwdlcx--- /c:/ftp/quiet/");
  }
  std::string cwd_to(const std::string& dir) {
    EXPECT_EQ(c.cmd("CWD /"), "250 CWD command successful.");
    return c.cmd("CWD " + dir);
  }
  TestServer srv;
  FtpClient c{srv};
};

TEST_F(MessageFiles, LoginShowsWelcomeThenMessageWithEitherLineEnd) {
  write_file(srv, "ftp/welcome.msg", "Welcome %U,\r\nyou are in %C.\r\n");
  write_file(srv, "ftp/.message", "Read the\nREADME\n");
  EXPECT_EQ(login(c, "alice", "pw"),
            "230-Welcome alice,\n"
            "230-you are in /.\n"
            "230-Read the\n"
            "230-README\n"
            "230 User alice logged in.");
}

TEST_F(MessageFiles, MessageFilesAreFoundInAnyCase) {
  write_file(srv, "ftp/WELCOME.Msg", "Hello %U.\n");
  write_file(srv, "ftp/pub/.MESSAGE", "pub notes\n");
  EXPECT_EQ(login(c, "alice", "pw"), "230-Hello alice.\n230 User alice logged in.");
  EXPECT_EQ(c.cmd("CWD pub"), "250-pub notes\n250 CWD command successful.");
  // Both login files in other cases, the second one also exactly as typed: still in order.
  write_file(srv, "ftp/.Message", "second\n");
  write_file(srv, "ftp/.message", "exact\n");
  FtpClient d(srv);
  EXPECT_EQ(login(d, "alice", "pw"), "230-Hello alice.\n230-exact\n230 User alice logged in.");
  ASSERT_EQ(::unlink((srv.home() + "/c/ftp/.message").c_str()), 0);
  FtpClient e(srv);
  EXPECT_EQ(login(e, "alice", "pw"), "230-Hello alice.\n230-second\n230 User alice logged in.");
}

TEST_F(MessageFiles, CwdShowsTheMessageOnlyWithTheFlag) {
  write_file(srv, "ftp/pub/.message", "This is %C\r\n\r\nlast line without end");
  write_file(srv, "ftp/quiet/.message", "never shown\n");
  ASSERT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  EXPECT_EQ(c.cmd("CWD pub"),
            "250-This is /pub/\n"
            "250-\n"
            "250-last line without end\n"
            "250 CWD command successful.");
  EXPECT_EQ(cwd_to("quiet"), "250 CWD command successful.");
  // An empty file shows nothing.
  write_file(srv, "ftp/pub/.message", "");
  EXPECT_EQ(cwd_to("pub"), "250 CWD command successful.");
}

TEST_F(MessageFiles, OddMessageFilesNeverHurt) {
  ASSERT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  // A directory named .message.
  make_dir(srv, "ftp/pub/.message");
  EXPECT_EQ(cwd_to("pub"), "250 CWD command successful.");
  // A FIFO: opening it must not wait for a writer.
  make_dir(srv, "ftp/fifo");
  ASSERT_EQ(::mkfifo((srv.home() + "/c/ftp/fifo/.message").c_str(), 0644), 0);
  EXPECT_EQ(cwd_to("fifo"), "250 CWD command successful.");
  // Unreadable (root reads anything, so only checked for other users).
  make_dir(srv, "ftp/closed");
  std::string closed = write_file(srv, "ftp/closed/.message", "secret\n");
  ASSERT_EQ(::chmod(closed.c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(cwd_to("closed"), "250 CWD command successful.");
  }
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(MessageFiles, HugeFilesAreCutAndBinaryBytesStayOffTheLine) {
  ASSERT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  make_dir(srv, "ftp/huge");
  std::string huge;
  for (int i = 0; i < 1000000; ++i) huge += "x\n";  // 2 MB of one-character lines
  write_file(srv, "ftp/huge/.message", huge);
  std::vector<std::string> r;
  ASSERT_TRUE(c.send_line("CWD /huge"));
  r = c.read_reply();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back(), "250 CWD command successful.");
  EXPECT_EQ(r.size(), session::kMaxMessageBytes / 2 + 1);

  make_dir(srv, "ftp/bin");
  std::string bin(100000, '\0');
  std::mt19937 rng(7);
  for (char& ch : bin) ch = static_cast<char>(rng());
  write_file(srv, "ftp/bin/.message", bin);
  ASSERT_TRUE(c.send_line("CWD /bin"));
  r = c.read_reply();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back(), "250 CWD command successful.");
  for (size_t i = 0; i + 1 < r.size(); ++i) {
    ASSERT_EQ(r[i].substr(0, 4), "250-") << i;
    ASSERT_EQ(r[i].find_first_of(std::string("\r\n\0", 3)), std::string::npos) << i;
    ASSERT_LE(r[i].size(), 509u);
  }
  EXPECT_EQ(c.cmd("PWD"), "257 \"/bin/\" is current directory.");
}

}  // namespace
}  // namespace qorda::test
