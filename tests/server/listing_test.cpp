// What a logged-in client can see without a data connection: STAT with a path (a listing on the
// control connection), SIZE and MDTM, with their refusals.
#include <gtest/gtest.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/links.h"
#include "tests/support/ftp_client.h"
#include "tests/support/scoped_tz.h"
#include "tests/support/session_seam.h"
#include "transfer/defs.h"

namespace fs = std::filesystem;

namespace qorda::test {
namespace {

constexpr std::time_t kJune2024 = 1718452800;     // 2024-06-15 12:00:00 UTC
constexpr std::time_t kNewYear2024 = 1704067200;  // 2024-01-01 00:00:00 UTC

// A served tree on drive c:
//   pub/{a.txt (1234 bytes), Sub/}   ronly/x.txt (read, no list)   closed/ (no rights)
class Visible : public ::testing::Test {
 protected:
  void SetUp() override {
    c_root_ = srv_.home() + "/c";
    for (const char* d : {"/pub/Sub", "/ronly", "/closed"}) fs::create_directories(c_root_ + d);
    std::ofstream(c_root_ + "/pub/a.txt") << std::string(1234, 'x');
    std::ofstream(c_root_ + "/ronly/x.txt") << "secret";
    set_mtime("/pub/a.txt", kJune2024 - 86400);
    set_mtime("/pub/Sub", kJune2024 - 86400);
    srv_.clock.epoch = kJune2024;
    ASSERT_EQ(client_.reply(), "220 test.host FTP Server (qorda 1.20) ready.");
  }

  // Every drive, but /c:/ passes nothing on: closed/ has no rights at all.
  void login(const std::string& szfp =
                 "[u] r--l----s /\n"
                 "[u] r--l----- /c:/\n"
                 "[u] rw-l--h-s /c:/pub/\n"
                 "[u] r-------s /c:/ronly/\n") {
    store::UserRecord u;
    u.name = "alice";
    u.szfp = szfp;
    ASSERT_TRUE(log_in(srv_, client_, u));
  }

  void set_mtime(const std::string& rel, std::time_t t) {
    utimbuf b{t, t};
    ASSERT_EQ(::utime((c_root_ + rel).c_str(), &b), 0) << rel;
  }

  void add_link(const std::string& location, const std::string& target) {
    store::LinkRecord l;
    l.location = location;
    l.target = target;
    ASSERT_TRUE(store::write_link(srv_.reg(), l));
  }

  // A listing command over a fresh passive data connection: its opening reply, the bytes that
  // arrived and the final reply (both empty when it did not open).
  struct Listed {
    std::string open, data, end;
  };
  Listed over_pasv(const std::string& command) {
    Listed out;
    DataPeer d(srv_);
    const std::string pasv = client_.cmd("PASV");
    EXPECT_TRUE(d.connect_pasv(pasv)) << pasv;
    out.open = client_.cmd(command);
    if (out.open.rfind("150 ", 0) != 0) return out;
    out.data = d.read_all();
    out.end = client_.reply();
    return out;
  }

  ScopedTz tz_{"UTC0"};
  TestServer srv_;
  FtpClient client_{srv_};
  std::string c_root_;
};

TEST_F(Visible, StatWithPathNeedsLogin) {
  EXPECT_EQ(client_.cmd("STAT /c:/pub"), "530 Please login with USER and PASS.");
  // Without a path STAT works before login.
  EXPECT_TRUE(client_.cmd("STAT").starts_with("211-test.host FTP server status:"));
}

// The lines of listing data (each ended by CR LF), sorted.
std::vector<std::string> data_lines(const std::string& data) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < data.size()) {
    size_t e = data.find("\r\n", i);
    EXPECT_NE(e, std::string::npos) << "a line without CR LF";
    if (e == std::string::npos) break;
    out.push_back(data.substr(i, e - i));
    i = e + 2;
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The reply's lines; the inner (bare) lines sorted, since the file system chooses their order.
struct StatReply {
  std::string first, last;
  std::vector<std::string> inner;
};
StatReply split_stat(const std::string& reply) {
  StatReply r;
  std::vector<std::string> lines;
  size_t i = 0;
  while (i <= reply.size()) {
    size_t e = reply.find('\n', i);
    if (e == std::string::npos) e = reply.size();
    lines.push_back(reply.substr(i, e - i));
    i = e + 1;
  }
  if (lines.size() < 2) return r;
  r.first = lines.front();
  r.last = lines.back();
  r.inner.assign(lines.begin() + 1, lines.end() - 1);
  std::sort(r.inner.begin(), r.inner.end());
  return r;
}

TEST_F(Visible, StatListsADirectoryOnTheControlConnection) {
  set_mtime("/pub", kJune2024 - 86400);
  set_mtime("", kNewYear2024 - 60);  // the drive root, shown as ".."
  login();
  StatReply r = split_stat(client_.cmd("STAT /c:/pub"));
  EXPECT_EQ(r.first, "211-status of /c:/pub/*:");
  EXPECT_EQ(r.last, "211 End of status");
  EXPECT_EQ(r.inner, (std::vector<std::string>{
                         "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt",
                         "drwx------   1 ftp      users          0 Dec 31  2023 ..",
                         "drwx------   1 ftp      users          0 Jun 14 12:00 .",
                         "drwx------   1 ftp      users          0 Jun 14 12:00 Sub",
                     }));

  // A pattern in the last component; the current directory is the home.
  r = split_stat(client_.cmd("STAT *.TXT"));
  EXPECT_EQ(r.first, "211-status of /c:/pub/*.TXT:");
  EXPECT_EQ(r.inner, std::vector<std::string>{
                         "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt"});
  // One file by name.
  EXPECT_EQ(client_.cmd("STAT a.txt"),
            "211-status of /c:/pub/a.txt:\n"
            "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt\n"
            "211 End of status");
}

TEST_F(Visible, StatRefusalsAndUnreadableDirectories) {
  login();
  EXPECT_EQ(client_.cmd("STAT nomatch*"), "550 nomatch*: No such file or directory.");
  EXPECT_EQ(client_.cmd("STAT /c:/missing/"), "550 /c:/missing/: No such file or directory.");
  EXPECT_EQ(client_.cmd("STAT /c:/closed"), "550 /c:/closed: No such file or directory.");
  EXPECT_EQ(client_.cmd("STAT /c:/ronly"),
            "211-status of /c:/ronly/*:\n"
            ". unreadable\n"
            "211 End of status");
  // The current directory is not changed by STAT.
  EXPECT_EQ(session_of(srv_, client_)->fs.current_dir.path, "/c:/pub/");
}

TEST_F(Visible, StatShowsLinksWithQuestionMarksForTargetsOutOfReach) {
  add_link("/c:/pub/docs", "/c:/pub/Sub/");
  add_link("/c:/pub/hidden", "/c:/closed/");
  std::ofstream(c_root_ + "/pub/hint.txt") << "h";
  set_mtime("/pub/hint.txt", kJune2024);
  srv_.clock.epoch = kNewYear2024 + 3600 * 13 + 60 * 4;
  login();
  StatReply r = split_stat(client_.cmd("STAT /c:/pub/*"));
  ASSERT_EQ(r.inner.size(), 7u);
  auto has = [&r](const std::string& line) {
    return std::find(r.inner.begin(), r.inner.end(), line) != r.inner.end();
  };
  EXPECT_TRUE(has("lrwx------   1 ftp      users         13 Jan  1 13:04 docs -> /c:/pub/Sub/"));
  EXPECT_TRUE(has("lrwx------   1 ftp      users          2 Jan  1 13:04 hidden -> ?"));
  // The pattern selects links too.
  EXPECT_EQ(client_.cmd("STAT /c:/pub/h*"),
            "211-status of /c:/pub/h*:\n"
            "-rwx------   1 ftp      users          1 Jun 15 12:00 hint.txt\n"
            "lrwx------   1 ftp      users          2 Jan  1 13:04 hidden -> ?\n"
            "211 End of status");
}

TEST_F(Visible, RestrictedUserSeesPathsBelowTheRoot) {
  login("[u] rw-l--h-s /c:/pub/\n");
  StatReply r = split_stat(client_.cmd("STAT /"));
  EXPECT_EQ(r.first, "211-status of /*:");
  EXPECT_EQ(r.inner.size(), 4u);  // ".", "..", a.txt, Sub
  EXPECT_EQ(client_.cmd("STAT ../ronly"), "550 ../ronly: No such file or directory.");
}

TEST_F(Visible, NamesWithSpacesUtf8AndControlCharacters) {
  std::ofstream(c_root_ + "/pub/Sub/two words.txt") << "1";
  std::ofstream(c_root_ + "/pub/Sub/\xc3\xa9t\xc3\xa9.txt") << "22";
  std::ofstream(c_root_ + "/pub/Sub/bad\r\n211 End of status") << "333";
  for (const char* f : {"/pub/Sub/two words.txt", "/pub/Sub/\xc3\xa9t\xc3\xa9.txt",
                        "/pub/Sub/bad\r\n211 End of status"}) {
    set_mtime(f, kJune2024);
  }
  login();
  StatReply r = split_stat(client_.cmd("STAT Sub/*t*"));
  EXPECT_EQ(r.last, "211 End of status");
  EXPECT_EQ(r.inner,
            (std::vector<std::string>{
                "-rwx------   1 ftp      users          1 Jun 15 12:00 two words.txt",
                "-rwx------   1 ftp      users          2 Jun 15 12:00 \xc3\xa9t\xc3\xa9.txt",
                "-rwx------   1 ftp      users          3 Jun 15 12:00 bad??211 End of status",
            }));
  // The session is still in step: the next command gets its own reply.
  EXPECT_EQ(client_.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Visible, SizeOfFilesAndItsRefusals) {
  login();
  EXPECT_EQ(client_.cmd("SIZE a.txt"), "213 1234");
  EXPECT_EQ(client_.cmd("size /c:/PUB/A.TXT"), "213 1234");
  EXPECT_EQ(client_.cmd("SIZE Sub"), "550 Sub: No such file or directory.");
  EXPECT_EQ(client_.cmd("SIZE /c:/pub/"), "550 /c:/pub/: No such file or directory.");
  EXPECT_EQ(client_.cmd("SIZE *.txt"), "550 *.txt: No such file or directory.");
  EXPECT_EQ(client_.cmd("SIZE a?txt"), "550 a?txt: No such file or directory.");
  EXPECT_EQ(client_.cmd("SIZE missing"), "550 missing: No such file or directory.");
  // Read but not list: the size is not told.
  EXPECT_EQ(client_.cmd("SIZE /c:/ronly/x.txt"), "550 /c:/ronly/x.txt: Permission denied.");
  EXPECT_EQ(client_.cmd("SIZE /c:/closed/x"), "550 /c:/closed/x: No such file or directory.");
  EXPECT_EQ(client_.cmd("SIZE"), "501 'SIZE': command not understood.");
}

TEST_F(Visible, SizeOfAHugeFileIsShownInFull) {
  std::ofstream(c_root_ + "/pub/big.iso").close();
  std::ofstream(c_root_ + "/pub/bigger.iso").close();
  fs::resize_file(c_root_ + "/pub/big.iso", 3000000000ULL);  // sparse
  fs::resize_file(c_root_ + "/pub/bigger.iso", 5000000000ULL);
  set_mtime("/pub/bigger.iso", kJune2024);
  login();
  EXPECT_EQ(client_.cmd("SIZE big.iso"), "213 3000000000");
  EXPECT_EQ(client_.cmd("SIZE bigger.iso"), "213 5000000000");
  EXPECT_EQ(client_.cmd("STAT bigger.iso"),
            "211-status of /c:/pub/bigger.iso:\n"
            "-rwx------   1 ftp      users 5000000000 Jun 15 12:00 bigger.iso\n"
            "211 End of status");
}

TEST_F(Visible, MdtmIsUtcWithMillisecondsWhateverTheZone) {
  // 1997-03-14 15:30:05.120 UTC.
  const auto when =
      std::chrono::sys_seconds(std::chrono::seconds(858353405)) + std::chrono::milliseconds(120);
  fs::last_write_time(c_root_ + "/pub/a.txt", std::chrono::file_clock::from_sys(when));
  login();
  EXPECT_EQ(client_.cmd("MDTM a.txt"), "213 19970314153005.120");
  {
    // Clients take the stamp as UTC; a server nine hours east must not shift it.
    ScopedTz east("JST-9");
    EXPECT_EQ(client_.cmd("MDTM a.txt"), "213 19970314153005.120");
  }
  EXPECT_EQ(client_.cmd("MDTM Sub"), "550 Sub: No such file or directory.");
  EXPECT_EQ(client_.cmd("MDTM *"), "550 *: No such file or directory.");
  EXPECT_EQ(client_.cmd("MDTM /c:/ronly/x.txt"), "550 /c:/ronly/x.txt: Permission denied.");
  EXPECT_EQ(client_.cmd("MDTM gone.txt"), "550 gone.txt: No such file or directory.");
}

TEST_F(Visible, SizeAndMdtmNeedLogin) {
  EXPECT_EQ(client_.cmd("SIZE a.txt"), "530 Please login with USER and PASS.");
  EXPECT_EQ(client_.cmd("MDTM a.txt"), "530 Please login with USER and PASS.");
}

TEST_F(Visible, StatOfAHugeDirectoryStaysWithinTheOutputLimit) {
  // Far more listing than the control connection may queue: the listing stops early, the reply
  // is still well formed and the session stays.
  const std::string dir = c_root_ + "/pub/Sub/";
  const std::string pad(200, 'p');
  for (int i = 0; i < 12000; ++i) std::ofstream(dir + pad + std::to_string(i));
  login();
  ASSERT_TRUE(client_.send_line("STAT Sub"));
  std::vector<std::string> lines = client_.read_reply();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "211-status of /c:/pub/Sub/*:");
  EXPECT_EQ(lines.back(), "211 End of status");
  EXPECT_EQ(client_.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Visible, ListAndNlstOverTheDataConnection) {
  set_mtime("/pub", kJune2024 - 86400);
  set_mtime("", kNewYear2024 - 60);
  login();
  Listed l = over_pasv("LIST");
  EXPECT_EQ(l.open, "150 Opening ASCII mode data connection for /bin/ls");
  EXPECT_EQ(data_lines(l.data), (std::vector<std::string>{
                                    "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt",
                                    "drwx------   1 ftp      users          0 Dec 31  2023 ..",
                                    "drwx------   1 ftp      users          0 Jun 14 12:00 .",
                                    "drwx------   1 ftp      users          0 Jun 14 12:00 Sub",
                                }));
  EXPECT_EQ(l.end, "226 Transfer Complete.");

  // NLST leaves out "." and ".."; the opening reply names the type.
  EXPECT_EQ(client_.cmd("TYPE I"), "200 Type set to I.");
  l = over_pasv("NLST");
  EXPECT_EQ(l.open, "150 Opening BINARY mode data connection for /bin/ls");
  EXPECT_EQ(data_lines(l.data), (std::vector<std::string>{"Sub", "a.txt"}));
  EXPECT_EQ(l.end, "226 Transfer Complete.");

  // "-l" anywhere in the option word makes NLST long; LIST is long with any option.
  l = over_pasv("NLST -al *.txt");
  EXPECT_EQ(l.data, "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt\r\n");
  l = over_pasv("LIST -a a.txt");
  EXPECT_EQ(l.data, "-rwx------   1 ftp      users       1234 Jun 14 12:00 a.txt\r\n");
  l = over_pasv("NLST -a   a.txt");
  EXPECT_EQ(l.data, "a.txt\r\n");
  EXPECT_EQ(l.end, "226 Transfer Complete.");

  // Listings are never counted in the statistics.
  session::Session* s = session_of(srv_, client_);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->files_retrieved, 0u);
  EXPECT_EQ(stored_user(srv_, "alice").idlfiles, 0u);
}

TEST_F(Visible, ListOfAnotherDirectoryAndTheOptionWord) {
  login();
  EXPECT_EQ(client_.cmd("CWD Sub"), "250 CWD command successful.");
  Listed l = over_pasv("LIST -l /c:/pub");
  EXPECT_EQ(data_lines(l.data).size(), 4u);  // ".", "..", a.txt, Sub
  EXPECT_NE(l.data.find(" a.txt\r\n"), std::string::npos) << l.data;
  // Only one option word: a second one is the path, and there is no such file.
  DataPeer d(srv_);
  ASSERT_TRUE(d.connect_pasv(client_.cmd("PASV")));
  EXPECT_EQ(client_.cmd("LIST -a -l"), "550 -l: No such file or directory.");
  // A pattern that matches nothing: 550, no 150, and the data connection waits for the next.
  EXPECT_EQ(client_.cmd("NLST /c:/pub/nomatch*"),
            "550 /c:/pub/nomatch*: No such file or directory.");
  EXPECT_EQ(client_.cmd("NLST .."), "150 Opening ASCII mode data connection for /bin/ls");
  EXPECT_EQ(data_lines(d.read_all()), (std::vector<std::string>{"Sub", "a.txt"}));
  EXPECT_EQ(client_.reply(), "226 Transfer Complete.");
}

TEST_F(Visible, UnreadableAndEmptyListings) {
  fs::create_directories(c_root_ + "/pub/empty");
  login();
  Listed l = over_pasv("LIST /c:/ronly");
  EXPECT_EQ(l.open, "150 Opening ASCII mode data connection for /bin/ls");
  EXPECT_EQ(l.data, ". unreadable\r\n");
  EXPECT_EQ(l.end, "226 Transfer Complete.");
  l = over_pasv("NLST empty");
  EXPECT_EQ(l.data, "");
  EXPECT_EQ(l.end, "226 Transfer Complete.");
  EXPECT_EQ(over_pasv("LIST /c:/closed").open, "550 /c:/closed: No such file or directory.");
}

TEST_F(Visible, ListInActiveModeWithLinks) {
  add_link("/c:/pub/docs", "/c:/pub/Sub/");
  add_link("/c:/pub/hidden", "/c:/closed/");
  login();
  DataPeer d(srv_);
  const std::string port = d.listen();
  ASSERT_FALSE(port.empty());
  EXPECT_EQ(client_.cmd("PORT " + port), "200 PORT command successful.");
  EXPECT_EQ(client_.cmd("LIST"), "150 Opening ASCII mode data connection for /bin/ls");
  ASSERT_TRUE(d.accept());
  std::vector<std::string> lines = data_lines(d.read_all());
  EXPECT_EQ(client_.reply(), "226 Transfer Complete.");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "lrwx------   1 ftp      users          2 Jun 15 12:00 hidden -> ?"),
            1);
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(),
                 "lrwx------   1 ftp      users         13 Jun 15 12:00 docs -> /c:/pub/Sub/"),
      1);
}

TEST_F(Visible, BigListingIsSentPieceByPieceWhileOthersAreServed) {
  // Far more listing than the socket buffers hold, so the write loop must wait for the client.
  const std::string dir = c_root_ + "/pub/Sub/";
  const std::string pad(240, 'f');
  constexpr int kFiles = 40000;
  for (int i = 0; i < kFiles; ++i) std::ofstream(dir + pad + std::to_string(i));
  size_t total = 0;
  for (int i = 0; i < kFiles; ++i) total += pad.size() + std::to_string(i).size() + 2;
  login();

  DataPeer d(srv_);
  ASSERT_TRUE(d.connect_pasv(client_.cmd("PASV")));
  EXPECT_EQ(client_.cmd("NLST Sub"), "150 Opening ASCII mode data connection for /bin/ls");
  // The listing waits for the client to read it; meanwhile another client is answered and the
  // listing's own session reports its progress.
  std::string got = d.read_some(5000);
  FtpClient other(srv_);
  EXPECT_EQ(other.reply(), "220 test.host FTP Server (qorda 1.20) ready.");
  EXPECT_EQ(other.cmd("NOOP"), "200 NOOP command successful.");
  const std::string status = client_.cmd("STAT");
  EXPECT_TRUE(status.starts_with("213 Status: ")) << status;
  EXPECT_TRUE(status.ends_with(" of " + std::to_string(total) + " bytes transferred")) << status;
  EXPECT_LT(std::stoul(status.substr(12)), total) << status;
  got += d.read_all();
  EXPECT_EQ(client_.reply(), "226 Transfer Complete.");
  EXPECT_EQ(got.size(), total);
  std::vector<std::string> lines = data_lines(got);
  EXPECT_EQ(lines.size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(lines.front(), pad + "0");

  // The client closing the data connection half-way aborts the listing; the session goes on.
  DataPeer d2(srv_);
  ASSERT_TRUE(d2.connect_pasv(client_.cmd("PASV")));
  EXPECT_EQ(client_.cmd("LIST Sub"), "150 Opening ASCII mode data connection for /bin/ls");
  d2.read_some(1000);
  d2.close();
  EXPECT_EQ(client_.reply(), "426 Transfer aborted. Data connection closed.");
  EXPECT_TRUE(srv_.observer.has("Transfer aborted (by client)."));
  EXPECT_EQ(client_.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(stored_user(srv_, "alice").idlfiles, 0u);
}

TEST_F(Visible, ListingCommandsNeedLogin) {
  EXPECT_EQ(client_.cmd("LIST"), "530 Please login with USER and PASS.");
  EXPECT_EQ(client_.cmd("NLST -l"), "530 Please login with USER and PASS.");
}

}  // namespace
}  // namespace qorda::test
