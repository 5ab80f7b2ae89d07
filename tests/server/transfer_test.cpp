// File transfers over real sockets in both modes: byte-identical copies, restart offsets,
// replacing and unique stores, permissions, ratios and statistics, aborts and closes at every
// stage, the live log file, large files, and a full disk.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "engine/netmodule.h"
#include "log/log.h"
#include "platform/send_file.h"
#include "platform/volume.h"
#include "session/cmd_transfer.h"
#include "session/session.h"
#include "store/records.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"
#include "transfer/data_connection.h"

namespace qorda::test {
namespace {

// A data connection in either mode, opened with PASV or PORT before each transfer.
class Mode {
 public:
  Mode(TestServer& srv, FtpClient& c, bool passive) : srv_(srv), c_(c), passive_(passive) {}
  // Sends PASV or PORT; false when the reply is not the success reply.
  bool open() {
    peer_ = std::make_unique<DataPeer>(srv_);
    if (passive_) {
      const std::string r = c_.cmd("PASV");
      return r.rfind("227 ", 0) == 0 && peer_->connect_pasv(r);
    }
    return c_.cmd("PORT " + peer_->listen()) == "200 PORT command successful.";
  }
  // After the 150: the connection the server made or accepted.
  DataPeer& data() {
    if (!passive_ && !accepted_) accepted_ = peer_->accept();
    return *peer_;
  }
  void reset() { accepted_ = false; }

 private:
  TestServer& srv_;
  FtpClient& c_;
  bool passive_;
  bool accepted_ = false;
  std::unique_ptr<DataPeer> peer_;
};

// Opens a data connection, then (REST rest when not empty) RETR name; returns the bytes received.
std::string retrieve(TestServer& srv, FtpClient& c, bool passive, const std::string& name,
                     std::string* first_reply, const std::string& rest = "") {
  Mode m(srv, c, passive);
  if (!m.open()) return "<no data connection>";
  if (!rest.empty()) c.cmd("REST " + rest);
  *first_reply = c.cmd("RETR " + name);
  if (first_reply->rfind("150 ", 0) != 0) return "";
  return m.data().read_all();
}

void sparse_file(TestServer& srv, const std::string& rel, uint64_t size) {
  write_file(srv, rel, "");
  std::filesystem::resize_file(srv.home() + "/c/" + rel, size);
}

class BothModes : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Transfer, BothModes, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Passive" : "Active";
                         });

TEST_P(BothModes, RetrieveAndStoreAreByteIdentical) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  // Line ends and every byte value: nothing is converted, in either type.
  const std::string content = "line\r\nbare lf\nbare cr\r" + pattern_bytes(300000);
  make_dir(srv, "pub");
  write_file(srv, "pub/data.bin", content);
  std::string first;
  EXPECT_EQ(retrieve(srv, c, GetParam(), "pub/data.bin", &first), content);
  EXPECT_EQ(first, "150 Opening ASCII mode data connection for data.bin (300022 bytes).");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(c.cmd("TYPE I"), "200 Type set to I.");
  EXPECT_EQ(retrieve(srv, c, GetParam(), "/pub/DATA.BIN", &first), content);
  EXPECT_EQ(first, "150 Opening BINARY mode data connection for DATA.BIN (300022 bytes).");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_TRUE(srv.observer.has("Retrieving \"/c:/pub/data.bin\"."));

  Mode m(srv, c, GetParam());
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("STOR pub/copy.bin"), "150 Opening BINARY mode data connection for copy.bin");
  ASSERT_TRUE(m.data().send_all(content));
  m.data().close();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(read_file(srv, "pub/copy.bin"), content);
  EXPECT_TRUE(srv.observer.has("Storing \"/c:/pub/copy.bin\"."));

  session::Session* s = session_of(srv, c);
  EXPECT_EQ(s->files_retrieved, 2u);
  EXPECT_EQ(s->kb_retrieved, 2u * (300022 / 1024));
  EXPECT_EQ(s->files_stored, 1u);
  EXPECT_EQ(s->kb_stored, 300022u / 1024);
  store::UserRecord u = stored_user(srv, "alice");
  EXPECT_EQ(u.idlfiles, 2u);
  EXPECT_EQ(u.idlkb, 2u * (300022 / 1024));
  EXPECT_EQ(u.iulfiles, 1u);
  EXPECT_EQ(u.iulkb, 300022u / 1024);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

// While it is on, files cannot be sent straight from the page cache (as on a file system that
// refuses sendfile): downloads take the read and send path.
class ZeroCopyRefused {
 public:
  ZeroCopyRefused() { platform::set_send_file_refused(true); }
  ~ZeroCopyRefused() { platform::set_send_file_refused(false); }
  ZeroCopyRefused(const ZeroCopyRefused&) = delete;
  ZeroCopyRefused& operator=(const ZeroCopyRefused&) = delete;
};

TEST_P(BothModes, RetrieveWhereZeroCopyIsRefusedSendsTheSameBytesRepliesAndLog) {
  ZeroCopyRefused refused;
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  const std::string content = pattern_bytes(300000, 5);
  write_file(srv, "data.bin", content);
  std::string first;
  EXPECT_EQ(retrieve(srv, c, GetParam(), "data.bin", &first), content);
  EXPECT_EQ(first, "150 Opening ASCII mode data connection for data.bin (300000 bytes).");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  char expect[128];
  std::snprintf(expect, sizeof expect, "Retrieved \"/c:/data.bin\" (300000 bytes %01.2f kb/s).",
                300000 / 1024.0 / 0.027);
  EXPECT_TRUE(srv.observer.has(expect)) << expect;
  // A restart offset: reading starts there, not at the file's beginning.
  EXPECT_EQ(retrieve(srv, c, GetParam(), "data.bin", &first, "123457"), content.substr(123457));
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(session_of(srv, c)->files_retrieved, 2u);
  EXPECT_EQ(stored_user(srv, "alice").idlkb, 2u * (300000 / 1024));

  // A file that ends before its announced size is a read error on this path too (it shrinks
  // before the passive connection is made, so before the first byte is sent).
  write_file(srv, "shrink.bin", pattern_bytes(100000));
  DataPeer d(srv);
  const std::string pasv = c.cmd("PASV");
  EXPECT_EQ(c.cmd("RETR shrink.bin"),
            "150 Opening ASCII mode data connection for shrink.bin (100000 bytes).");
  std::filesystem::resize_file(srv.home() + "/c/shrink.bin", 1000);
  ASSERT_TRUE(d.connect_pasv(pasv));
  EXPECT_EQ(d.read_all(), pattern_bytes(1000));
  EXPECT_EQ(c.reply(), "426 Transfer aborted. Error reading file.");
  EXPECT_EQ(session_of(srv, c)->files_retrieved, 2u);
}

TEST_P(BothModes, ClientClosingMidRetrievalRefundsTheCharge) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  sparse_file(srv, "big.bin", 64u << 20);  // more than any socket buffer holds
  Mode m(srv, c, GetParam());
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("RETR big.bin"),
            "150 Opening ASCII mode data connection for big.bin (67108864 bytes).");
  EXPECT_EQ(m.data().read_some(100000).substr(0, 4), std::string(4, '\0'));
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 1u);
  m.data().close();
  EXPECT_EQ(c.reply(), "426 Transfer aborted. Data connection closed.");
  EXPECT_TRUE(srv.observer.has("Transfer aborted (by client)."));
  store::UserRecord u = stored_user(srv, "alice");
  EXPECT_EQ(u.idlfiles, 0u);
  EXPECT_EQ(u.idlkb, 0u);
  EXPECT_EQ(session_of(srv, c)->files_retrieved, 0u);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_P(BothModes, AborDuringRetrievalRepliesTwiceAndRestoresStatistics) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  store::UserRecord before = stored_user(srv, "alice");
  sparse_file(srv, "big.bin", 64u << 20);
  Mode m(srv, c, GetParam());
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("RETR big.bin"),
            "150 Opening ASCII mode data connection for big.bin (67108864 bytes).");
  m.data().read_some(1);
  // While the transfer runs only STAT and ABOR are answered.
  ASSERT_TRUE(c.send_line("NOOP"));
  ASSERT_TRUE(c.send_line("PWD"));
  const std::string st = c.cmd("STAT");
  EXPECT_TRUE(std::regex_match(st, std::regex("213 Status: [0-9]+ of 67108864 bytes transferred")))
      << st;
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, before.idlfiles + 1);
  EXPECT_EQ(stored_user(srv, "alice").idlkb, before.idlkb + 65536);
  EXPECT_EQ(c.cmd("ABOR"), "426 Transfer aborted. Data connection closed.");
  EXPECT_EQ(c.reply(), "226 Transfer aborted.");
  EXPECT_EQ(stored_user(srv, "alice"), before);
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_P(BothModes, StatDuringAnUploadShowsTheBytesReceived) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  Mode m(srv, c, GetParam());
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("STOR up.bin"), "150 Opening ASCII mode data connection for up.bin");
  ASSERT_TRUE(m.data().send_all(std::string(5000, 'u')));
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 4000 && s->data() != nullptr && s->data()->position() < 5000; ++i)
    srv.pump(1);
  EXPECT_EQ(c.cmd("STAT"), "213 Status: 5000 bytes transferred");
  // ABOR ends an upload uncounted, keeping the bytes that arrived.
  EXPECT_EQ(c.cmd("ABOR"), "426 Transfer aborted. Data connection closed.");
  EXPECT_EQ(c.reply(), "226 Transfer aborted.");
  EXPECT_EQ(stored_user(srv, "alice").iulfiles, 0u);
  EXPECT_EQ(read_file(srv, "up.bin"), std::string(5000, 'u'));
}

TEST_P(BothModes, ClientClosingEndsAnUploadKeepingExactlyWhatArrived) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "up.bin", std::string(200000, 'o'));  // replaced
  const std::string content = pattern_bytes(2 * 14600 + 17, 7);
  Mode m(srv, c, GetParam());
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("STOR up.bin"), "150 Opening ASCII mode data connection for up.bin");
  ASSERT_TRUE(m.data().send_all(content));
  m.data().close();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(read_file(srv, "up.bin"), content);
  // Kilobytes received, not the replaced file's length.
  EXPECT_EQ(stored_user(srv, "alice").iulkb, content.size() / 1024);
  char expect[128];
  std::snprintf(expect, sizeof expect, "Stored \"/c:/up.bin\" (%zu bytes %01.2f kb/s).",
                content.size(), content.size() / 1024.0 / 0.027);
  EXPECT_TRUE(srv.observer.has(expect)) << expect;
}

TEST(Restart, BeyondTheEndNegativeAndCleared) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  const std::string sixty = pattern_bytes(60, 3);
  write_file(srv, "f.bin", sixty);
  std::string first;
  EXPECT_EQ(c.cmd("REST 100"), "350 Restarting at 100. Send STOR or RETR to initiate transfer.");
  EXPECT_EQ(retrieve(srv, c, true, "f.bin", &first, "100"), "");
  EXPECT_EQ(first, "150 Opening ASCII mode data connection for f.bin (60 bytes).");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");

  EXPECT_EQ(retrieve(srv, c, true, "f.bin", &first, "25"), sixty.substr(25));
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");

  // A negative offset is shown as given and lies beyond the end.
  EXPECT_EQ(c.cmd("REST -1"), "350 Restarting at -1. Send STOR or RETR to initiate transfer.");
  EXPECT_EQ(retrieve(srv, c, true, "f.bin", &first, "-1"), "");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");

  // Any other command in between forgets the offset (PASV included), and RETR uses it once.
  c.cmd("REST 30");
  EXPECT_EQ(retrieve(srv, c, true, "f.bin", &first), sixty);
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  Mode m(srv, c, true);
  ASSERT_TRUE(m.open());
  c.cmd("REST 30");
  EXPECT_EQ(c.cmd("RETR f.bin"), "150 Opening ASCII mode data connection for f.bin (60 bytes).");
  EXPECT_EQ(m.data().read_all(), sixty.substr(30));
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(session_of(srv, c)->rest_offset, 0);
  EXPECT_EQ(c.cmd("REST 99999999999999999999"),
            "350 Restarting at 9223372036854775807. Send STOR or RETR to initiate transfer.");
}

TEST(Restart, StoreWithAndWithoutOffset) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "ten.txt", "0123456789");
  auto store = [&](const std::string& rest, const std::string& bytes) {
    Mode m(srv, c, true);
    ASSERT_TRUE(m.open());
    if (!rest.empty()) c.cmd("REST " + rest);
    EXPECT_EQ(c.cmd("STOR ten.txt"), "150 Opening ASCII mode data connection for ten.txt");
    ASSERT_TRUE(m.data().send_all(bytes));
    m.data().close();
    EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  };
  store("", "ab");
  EXPECT_EQ(read_file(srv, "ten.txt"), "ab");
  write_file(srv, "ten.txt", "0123456789");
  store("4", "xy");
  EXPECT_EQ(read_file(srv, "ten.txt"), "0123xy");
  store("100", "zz");  // beyond the end: appended
  EXPECT_EQ(read_file(srv, "ten.txt"), "0123xyzz");
  store("-5", "!");  // negative: beyond the end too, nothing is lost
  EXPECT_EQ(read_file(srv, "ten.txt"), "0123xyzz!");
  EXPECT_TRUE(srv.observer.has("Stored \"/c:/ten.txt\" (9 bytes 0.04 kb/s)."));
}

TEST(Restart, TailOfAFileBeyondFourGiB) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  const uint64_t size = 5ull << 30;
  sparse_file(srv, "huge.bin", size);
  {
    std::FILE* f = std::fopen((srv.home() + "/c/huge.bin").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(size - 5), SEEK_SET);
    std::fputs("tail!", f);
    std::fclose(f);
  }
  const uint64_t offset = size - 100000;
  EXPECT_EQ(c.cmd("REST " + std::to_string(offset)),
            "350 Restarting at 5368609120. Send STOR or RETR to initiate transfer.");
  std::string first;
  const std::string got = retrieve(srv, c, true, "huge.bin", &first, std::to_string(offset));
  EXPECT_EQ(first, "150 Opening ASCII mode data connection for huge.bin (5368709120 bytes).");
  ASSERT_EQ(got.size(), 100000u);
  EXPECT_EQ(got.substr(got.size() - 5), "tail!");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_TRUE(srv.observer.has("Retrieved \"/c:/huge.bin\" (5368709120 bytes 3616.90 kb/s)."));
  EXPECT_EQ(stored_user(srv, "alice").idlkb, 5u << 20);
}

TEST(Store, ReadOnlyTargetNeedsDelete) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "bob", "[u] rw-l----s /c:/");  // no D
  write_file(srv, "ro.txt", "old");
  platform::set_read_only("c:/ro.txt");
  Mode m(srv, c, true);
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("STOR ro.txt"), "550 ro.txt: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't store \"ro.txt\" (access denied)."));
  EXPECT_EQ(read_file(srv, "ro.txt"), "old");
  // A new file needs no D.
  EXPECT_EQ(c.cmd("STOR new.txt"), "150 Opening ASCII mode data connection for new.txt");
  m.data().send_all("n");
  m.data().close();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");

  log_in(srv, *s, "bob", "[u] rwdl----s /c:/");
  Mode m2(srv, c, true);
  ASSERT_TRUE(m2.open());
  EXPECT_EQ(c.cmd("STOR ro.txt"), "150 Opening ASCII mode data connection for ro.txt");
  m2.data().send_all("replaced");
  m2.data().close();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(read_file(srv, "ro.txt"), "replaced");
  EXPECT_FALSE(platform::stat_entry("c:/ro.txt")->read_only);
}

TEST(Store, RefusalsWithoutAFileTouched) {
  TestServer srv([](store::ServerSettings& s) { s.ispace = 0xffffffffu; });
  FtpClient c(srv);
  c.reply();
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "bob", "[u] r--l--h-s /c:/\n[u] rwdl----s /c:/up/");
  make_dir(srv, "up");
  EXPECT_EQ(c.cmd("STOR a.txt"), "550 a.txt: Permission denied.");
  EXPECT_EQ(c.cmd("STOR nodir/a.txt"), "550 nodir/a.txt: No such file or directory.");
  EXPECT_TRUE(srv.observer.has("Can't store \"nodir/a.txt\" (bad path)."));
  EXPECT_EQ(c.cmd("STOR up/a.txt"), "550 Device full: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't store \"up/a.txt\" (device full)."));
  EXPECT_EQ(c.cmd("STOU"), "550 STOU: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't store unique (access denied)."));
  EXPECT_FALSE(std::filesystem::exists(srv.home() + "/c/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(srv.home() + "/c/up/a.txt"));
}

TEST(Store, UniqueNamesInTheCurrentDirectory) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    Mode m(srv, c, i % 2 == 0);
    ASSERT_TRUE(m.open());
    c.cmd("REST 5");  // forgotten: STOU is neither RETR nor STOR
    const std::string r = c.cmd("STOU ignored-argument");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(r, match, std::regex("150 FILE: (FTP[0-9A-F]{1,4}\\.TMP)"))) << r;
    names.insert(match[1]);
    ASSERT_TRUE(m.data().send_all("unique " + std::to_string(i)));
    m.data().close();
    EXPECT_EQ(c.reply(), "226 Transfer Complete.");
    EXPECT_EQ(read_file(srv, match[1]), "unique " + std::to_string(i));
    EXPECT_TRUE(srv.observer.has("Storing \"/c:/" + std::string(match[1]) + "\"."));
  }
  EXPECT_EQ(names.size(), 3u);
}

TEST(Retrieve, MissingForbiddenAndDirectories) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "bob", "[u] -w-l--h-s /c:/\n[u] r--l----s /c:/pub/");
  write_file(srv, "secret.txt", "s");
  make_dir(srv, "pub/sub");
  EXPECT_EQ(c.cmd("RETR secret.txt"), "550 secret.txt: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't retrieve \"secret.txt\" (access denied)."));
  EXPECT_EQ(c.cmd("RETR pub/none"), "550 pub/none: No such file or directory.");
  EXPECT_TRUE(srv.observer.has("Can't retrieve \"pub/none\" (not found)."));
  EXPECT_EQ(c.cmd("RETR pub/sub"), "550 pub/sub: No such file or directory.");
  EXPECT_EQ(stored_user(srv, "bob").idlfiles, 0u);
}

TEST(Ratio, FilesPerSessionCountsOnlyEarlierTransfers) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  store::TemplateRecord t;
  t.name = "ratio";
  t.bratio = t.bsession = t.bfiles = true;
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "carol", "[u] rwdl--h-s /c:/", &t);
  write_file(srv, "f", "x");
  std::string first;
  retrieve(srv, c, true, "f", &first);
  EXPECT_EQ(first, "450-/f: Permission denied.\n450 UL/DL ratio exceeded (files, 1/5).");
  EXPECT_TRUE(srv.observer.has("Can't retrieve \"/c:/f\" (ratio exceeded (files))."));
  EXPECT_EQ(stored_user(srv, "carol").idlfiles, 0u);  // a refusal writes no charge
  // One upload in this session.
  Mode up(srv, c, true);
  ASSERT_TRUE(up.open());
  c.cmd("STOR u");
  up.data().send_all("u");
  up.data().close();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(retrieve(srv, c, i % 2 == 0, "f", &first), "x") << i;
    EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  }
  retrieve(srv, c, true, "f", &first);
  EXPECT_EQ(first, "450-/f: Permission denied.\n450 UL/DL ratio exceeded (files, 1/5).");
  EXPECT_EQ(stored_user(srv, "carol").idlfiles, 6u);
}

TEST(Ratio, StoredStatisticsIncludeTheFileAskedFor) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  store::TemplateRecord t;
  t.name = "ratio";
  t.bratio = t.bfiles = true;
  store::UserRecord stats;
  stats.iulfiles = 1;
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "carol", "[u] rwdl--h-s /c:/", &t, &stats);
  write_file(srv, "f", "x");
  std::string first;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(retrieve(srv, c, true, "f", &first), "x") << i;
    EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  }
  retrieve(srv, c, true, "f", &first);
  EXPECT_EQ(first, "450-/f: Permission denied.\n450 UL/DL ratio exceeded (files, 1/5).");
  EXPECT_EQ(stored_user(srv, "carol").idlfiles, 5u);
  // A user exempt from ratios is never refused.
  stats.bratio = true;
  stats.idlfiles = 5;
  log_in(srv, *s, "carol", "[u] rwdl--h-s /c:/", &t, &stats);
  EXPECT_EQ(retrieve(srv, c, true, "f", &first), "x");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(Ratio, KilobytesRule) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  store::TemplateRecord t;
  t.name = "kb";
  t.bratio = t.bbytes = true;
  t.iubytes = 1;
  t.idbytes = 2;
  store::UserRecord stats;
  stats.iulkb = 10;
  session::Session* s = session_of(srv, c);
  log_in(srv, *s, "dave", "[u] rwdl--h-s /c:/", &t, &stats);
  write_file(srv, "k", std::string(20 * 1024, 'k'));
  std::string first;
  EXPECT_EQ(retrieve(srv, c, true, "k", &first).size(), 20u * 1024);  // 10/20 = 1/2
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  retrieve(srv, c, true, "k", &first);  // 10/40 < 1/2
  EXPECT_EQ(first, "450-/k: Permission denied.\n450 UL/DL ratio exceeded (kbytes, 1/2).");
  EXPECT_TRUE(transfer::ratio_refuses(1, 1, 1, 0));   // an infinite ratio refuses
  EXPECT_TRUE(transfer::ratio_refuses(1, 1, 0, 0));   // so does one that is not a number
  EXPECT_FALSE(transfer::ratio_refuses(1, 0, 0, 0));  // nothing downloaded yet
}

TEST(Abort, BeforeTheConnectionExistsKeepsTheCharge) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "f", "abc");
  c.cmd("PASV");  // nobody connects
  EXPECT_EQ(c.cmd("RETR f"), "150 Opening ASCII mode data connection for f (3 bytes).");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");  // not running yet
  EXPECT_EQ(c.cmd("ABOR"), "225 ABOR command successful.");
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 1u);
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  EXPECT_EQ(c.cmd("BOR"), "225 ABOR command successful.");
}

TEST(Abort, PipelinedCommandsDuringATransferAreDropped) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "f", "abc");
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 4000 && s->data() != nullptr && !s->data()->connected(); ++i) srv.pump(1);
  ASSERT_TRUE(c.send_raw("RETR f\r\nRETR f\r\nNOOP\r\n"));
  EXPECT_EQ(c.reply(), "150 Opening ASCII mode data connection for f (3 bytes).");
  EXPECT_EQ(d.read_all(), "abc");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(c.cmd("SYST"), "215 UNIX Type: L8");
}

TEST(Abort, ControlConnectionClosedDuringATransferAbandonsIt) {
  TestServer srv;
  sparse_file(srv, "big.bin", 64u << 20);
  DataPeer d(srv);
  {
    FtpClient c(srv);
    connect_logged_in(srv, c);
    ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
    EXPECT_EQ(c.cmd("RETR big.bin").substr(0, 4), "150 ");
    d.read_some(1000);
  }
  for (int i = 0; i < 50 && srv.net().client_count() > 0; ++i) srv.pump(2);
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  d.read_all();
  EXPECT_TRUE(d.closed_by_server());
  EXPECT_FALSE(srv.observer.has("Transfer aborted (by client)."));
}

TEST(Retrieve, FileThatShrinksIsAReadErrorAndRefunded) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "shrink.bin", pattern_bytes(100000));
  DataPeer d(srv);
  const std::string pasv = c.cmd("PASV");
  EXPECT_EQ(c.cmd("RETR shrink.bin"),
            "150 Opening ASCII mode data connection for shrink.bin (100000 bytes).");
  EXPECT_EQ(stored_user(srv, "alice").idlkb, 97u);
  // The file shrinks between the 150 reply and the first byte sent: what is left goes out, and
  // the end that comes too early is a read error, not a complete transfer.
  std::filesystem::resize_file(srv.home() + "/c/shrink.bin", 1000);
  ASSERT_TRUE(d.connect_pasv(pasv));
  EXPECT_EQ(d.read_all(), pattern_bytes(1000));
  EXPECT_EQ(c.reply(), "426 Transfer aborted. Error reading file.");
  EXPECT_TRUE(srv.observer.has("Transfer aborted (read error)."));
  EXPECT_EQ(srv.observer.count("Retrieved \"/c:/shrink.bin\" (1000 bytes 36.17 kb/s)."), 0);
  store::UserRecord u = stored_user(srv, "alice");
  EXPECT_EQ(u.idlfiles, 0u);
  EXPECT_EQ(u.idlkb, 0u);
  EXPECT_EQ(session_of(srv, c)->files_retrieved, 0u);
  EXPECT_EQ(session_of(srv, c)->kb_retrieved, 0u);
}

TEST(Retrieve, VanishedFileIsSentAsItWasOpened) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "gone.bin", pattern_bytes(50000, 5));
  DataPeer d(srv);
  const std::string pasv = c.cmd("PASV");
  EXPECT_EQ(c.cmd("RETR gone.bin"),
            "150 Opening ASCII mode data connection for gone.bin (50000 bytes).");
  std::filesystem::remove(srv.home() + "/c/gone.bin");
  ASSERT_TRUE(d.connect_pasv(pasv));
  EXPECT_EQ(d.read_all(), pattern_bytes(50000, 5));
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
}

TEST(Retrieve, CountersFollowOtherWritersAndABusyStoreStallsNothing) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "f", "abc");
  std::string first;
  auto other = platform::Registry::open(srv.net().registry()->path());
  ASSERT_TRUE(other.ok());
  // The administrator changes the statistics between two transfers: the charge adds to the
  // values stored now, and leaves the upload counters it does not own alone.
  store::UserRecord u = stored_user(srv, "alice");
  u.idlfiles = 40;
  u.iulfiles = 7;
  ASSERT_TRUE(
      store::write_user(**other, u, {.main_fields = false, .counters = store::kCountAll}).ok());
  EXPECT_EQ(retrieve(srv, c, true, "f", &first), "abc");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 41u);
  EXPECT_EQ(stored_user(srv, "alice").iulfiles, 7u);
  {
    // Another process holds the store: the retrieval still runs, uncounted.
    auto held = (*other)->begin();
    ASSERT_TRUE(held.ok());
    EXPECT_EQ(retrieve(srv, c, false, "f", &first), "abc");
    EXPECT_EQ(first, "150 Opening ASCII mode data connection for f (3 bytes).");
    EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  }
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 41u);
  EXPECT_EQ(retrieve(srv, c, true, "f", &first), "abc");
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 42u);
  EXPECT_EQ(session_of(srv, c)->files_retrieved, 3u);
}

TEST(Store, SilentUploadEndsWithTheIdleTimeout) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  EXPECT_EQ(c.cmd("STOR quiet.bin"), "150 Opening ASCII mode data connection for quiet.bin");
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 4000 && s->data() != nullptr && !s->data()->connected(); ++i) srv.pump(1);
  srv.advance_and_tick(900 * 1000);
  EXPECT_TRUE(srv.net().data_route_count() == 1u);  // exactly the limit: not yet
  srv.advance_and_tick(250);
  EXPECT_EQ(c.reply(), "421 Timeout (900 seconds): closing control connection.");
  srv.advance_and_tick(250);
  EXPECT_TRUE(srv.net().data_route_count() == 0);
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_EQ(read_file(srv, "quiet.bin"), "");
}

// Reads up to `most` bytes of what the socket holds now, without waiting; the number read.
size_t take_some(platform::Socket& s, size_t most) {
  size_t n = 0;
  char buf[4096];
  while (n < most) {
    platform::IoResult r = s.recv(buf, std::min(sizeof buf, most - n));
    if (!r.ok() || r.n == 0) break;
    n += r.n;
  }
  return n;
}

TEST(Retrieve, ASlowReaderKeepsItsSessionAndOneThatStopsReadingTimesOut) {
  TestServer srv([](store::ServerSettings& s) { s.imaxt = 2; });
  FtpClient c(srv);
  connect_logged_in(srv, c);
  sparse_file(srv, "big.bin", 16u << 20);
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV"), 0, 8192));
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 1000 && !s->data()->connected(); ++i) srv.pump(1);
  ASSERT_TRUE(s->data()->connected());
  // A send buffer far larger than what the client takes during the test: the write loop gets
  // no room, so only the bytes the kernel delivers can show that the transfer moves.
  const int big = 1 << 20;
  ASSERT_EQ(::setsockopt(s->data()->socket_handle(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big), 0);
  EXPECT_EQ(c.cmd("RETR big.bin"),
            "150 Opening ASCII mode data connection for big.bin (16777216 bytes).");
  for (int i = 0; i < 1000 && (s->data()->moved_bytes() == 0 || s->data()->can_send()); ++i)
    srv.pump(1);
  ASSERT_FALSE(s->data()->can_send());  // the send buffer is full

  // The client takes 16 KiB per half second, for four times the idle limit.
  size_t taken = 0;
  auto unacked = [&] {
    int u = 0;
    return ::ioctl(s->data()->socket_handle(), SIOCOUTQ, &u) == 0 ? static_cast<size_t>(u) : 0;
  };
  for (int round = 0; round < 16; ++round) {
    const size_t unacked_before = unacked();
    taken += take_some(d.conn(), 16 << 10);
    // What the client took makes room for more: the tick must see the server's bytes move.
    for (int i = 0; i < 4000 && unacked() == unacked_before; ++i) srv.pump(1);
    srv.advance_and_tick(500);
    // A timed-out session is freed by the same tick: look it up again rather than touch it.
    ASSERT_NE(session_of(srv, c), nullptr) << "timed out in round " << round;
    ASSERT_EQ(s->state, session::SessionState::LoggedIn) << "timed out in round " << round;
  }
  EXPECT_GT(taken, 0u);
  ASSERT_NE(s->data(), nullptr);
  EXPECT_LT(s->data()->position(), 16u << 20);

  // Then it stops reading: nothing is delivered, and the limit applies again.
  for (int ticks = 0; ticks < 20 && session_of(srv, c) != nullptr; ++ticks) {
    srv.advance_and_tick(500);
  }
  EXPECT_EQ(c.reply(), "421 Timeout (2 seconds): closing control connection.");
}

TEST(Retrieve, TheServersOwnLogFileWhileItIsOpen) {
  TestServer srv([](store::ServerSettings& s) {
    s.iloglf = 6;
    s.szlogf = "c:\\qorda.log";
  });
  ASSERT_TRUE(log::logger().file_open());
  FtpClient c(srv);
  connect_logged_in(srv, c);
  c.cmd("NOOP");
  const uint64_t size = std::filesystem::file_size(srv.home() + "/c/qorda.log");
  Mode m(srv, c, true);
  ASSERT_TRUE(m.open());
  const std::string r = c.cmd("RETR qorda.log");
  std::smatch n;
  ASSERT_TRUE(std::regex_match(
      r, n,
      std::regex("150 Opening ASCII mode data connection for qorda.log \\(([0-9]+) bytes\\).")))
      << r;
  const uint64_t announced = std::stoull(n[1]);
  EXPECT_GT(announced, size);  // the RETR line itself was logged before the file was opened
  const std::string got = m.data().read_all();
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  // Exactly what was announced, though the log kept growing meanwhile.
  EXPECT_EQ(got.size(), announced);
  EXPECT_EQ(read_file(srv, "qorda.log").substr(0, got.size()), got);
  EXPECT_GT(std::filesystem::file_size(srv.home() + "/c/qorda.log"), got.size());
}

TEST(Store, FullDiskKeepsExactlyTheBytesWritten) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  const std::string content = pattern_bytes(50000, 9);
  Mode m(srv, c, true);
  ASSERT_TRUE(m.open());
  EXPECT_EQ(c.cmd("STOR full.bin"), "150 Opening ASCII mode data connection for full.bin");
  // The file system takes 20000 bytes of this file and no more.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 20000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  m.data().send_all(content);
  const std::string r = c.reply();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(r, "426 Transfer aborted. Error writing file.");
  EXPECT_TRUE(srv.observer.has("Transfer aborted (write error)."));
  EXPECT_EQ(read_file(srv, "full.bin"), content.substr(0, 20000));
  EXPECT_EQ(stored_user(srv, "alice").iulfiles, 0u);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(Speed, ThroughputOfARunningTransfer) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  sparse_file(srv, "big.bin", 64u << 20);
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  c.cmd("RETR big.bin");
  d.read_some(1);
  session::Session* s = session_of(srv, c);
  ASSERT_NE(s->data(), nullptr);
  const uint64_t moved = s->data()->moved_bytes();
  ASSERT_GT(moved, 0u);
  srv.advance_and_tick(1000);  // a second later, nothing more moved
  EXPECT_DOUBLE_EQ(srv.net().figures().throughput_kbps, moved / 1024.0);
  const uint32_t activity = s->last_activity;
  d.read_some(32u << 20);
  EXPECT_LT(activity, s->last_activity);  // data moving renews the activity tick
  EXPECT_EQ(s->last_activity, srv.net().now());
  c.cmd("ABOR");
  c.reply();
  srv.advance_and_tick(250);
  EXPECT_EQ(srv.net().figures().throughput_kbps, 0.0);
}

// A listing's text leaves through the same write loop as a file's bytes.
TEST(Listing, QueuedTextIsSentAndEndsWith226WithoutStatistics) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  DataPeer d(srv);
  ASSERT_TRUE(d.connect_pasv(c.cmd("PASV")));
  session::Session* s = session_of(srv, c);
  for (int i = 0; i < 4000 && s->data() != nullptr && !s->data()->connected(); ++i) srv.pump(1);
  const std::string text = pattern_bytes(5000, 4);
  s->data()->append_list_text(text.data(), text.size());
  s->reply(150, "Opening ASCII mode data connection for /bin/ls (/c:/*).");
  s->data()->send_listing(transfer::ListMode::LongList, "/c:/", srv.net().now());
  EXPECT_EQ(s->data()->total_bytes(), 5000u);
  s->flush();
  EXPECT_EQ(c.reply(), "150 Opening ASCII mode data connection for /bin/ls (/c:/*).");
  EXPECT_EQ(d.read_all(), pattern_bytes(5000, 4));
  EXPECT_EQ(c.reply(), "226 Transfer Complete.");
  EXPECT_EQ(s->files_retrieved, 0u);
  EXPECT_EQ(stored_user(srv, "alice").idlfiles, 0u);
}

}  // namespace
}  // namespace qorda::test
