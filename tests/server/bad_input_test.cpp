// Hostile and broken clients: nothing they send may crash, block or grow the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "session/defs.h"
#include "session/session.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

TEST(BadInput, TenMegabyteLineWithoutLineFeed) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  const std::string block(64 * 1024, 'A');
  for (int i = 0; i < 160; ++i) ASSERT_TRUE(c.send_raw(block));
  pump_until_taken(srv, c);
  for (int i = 0; i < 50; ++i) srv.pump(0);
  EXPECT_EQ(srv.net().client_count(), 1);
  EXPECT_EQ(c.cmd(""), "500 Command line too long. (max: 511 bytes)");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(BadInput, NulBytesAndLoneCarriageReturns) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  std::string nuls(3000, '\0');
  ASSERT_TRUE(c.send_raw(nuls));
  EXPECT_EQ(c.cmd(""), "500 Command line too long. (max: 511 bytes)");
  std::string crs(100, '\r');
  EXPECT_EQ(c.cmd(crs), "500 '': command not understood.");
  EXPECT_EQ(c.cmd(std::string("\0NOOP", 5)), "500 '': command not understood.");
  EXPECT_EQ(c.cmd("SYST"), "215 UNIX Type: L8");
}

TEST(BadInput, ThousandsOfIacSequencesSplitAcrossReads) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  // 20000 IAC DO x triples, sent in odd-sized pieces so that sequences straddle reads.
  std::string seq;
  for (int i = 0; i < 20000; ++i) seq += std::string("\xff\xfd") + static_cast<char>(i % 200);
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += std::string("\xff\xfc") + static_cast<char>(i % 200);
  size_t pos = 0;
  std::string got;
  while (pos < seq.size()) {
    size_t n = std::min<size_t>(seq.size() - pos, 997);
    ASSERT_TRUE(c.send_raw(std::string_view(seq).substr(pos, n)));
    pos += n;
    srv.pump(0);
  }
  got = c.read_bytes(expected.size());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  // Telnet commands without options (IAC NOP) are dropped without an answer.
  std::string nops;
  for (int i = 0; i < 3000; ++i) nops += "\xff\xf1";
  EXPECT_EQ(c.cmd(nops + "NOOP"), "200 NOOP command successful.");
  // IAC IAC is one data byte: 600 of them overflow the line.
  EXPECT_EQ(c.cmd(std::string(1200, '\xff')), "500 Command line too long. (max: 511 bytes)");
}

TEST(BadInput, ClientThatNeverReadsIsClosedAtTheOutputCap) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  // Each HELP answers ~400 bytes; 40000 of them are far beyond the cap plus the socket buffers.
  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += "HELP\r\n";
  size_t max_queued = 0;
  bool closed = false;
  // The server takes one line per turn of its loop: the client keeps sending (as far as the
  // connection lets it) and the loop keeps turning until the server gives up on it.
  for (int round = 0; round < 200000 && !closed; ++round) {
    if (round % 200 == 0) c.send_raw(burst);
    srv.pump(0);
    session::Session* s = first_session(srv);
    if (s == nullptr) break;  // closed and already freed by a tick of the loop
    max_queued = std::max(max_queued, s->queued_output());
    closed = s->delete_mark;
  }
  for (int i = 0; i < 10; ++i) srv.advance_and_tick(250);
  EXPECT_EQ(srv.net().client_count(), 0);
  EXPECT_LE(max_queued, session::kMaxOutputQueue + session::kChunkSize * 2);
  EXPECT_TRUE(srv.observer.has("***DEBUG: output queue over 1048576 bytes, closing connection."));
  EXPECT_EQ(srv.observer.count("Disconnected. (output overflow)"), 1);
}

// The lines of the log that a session's replies left, for one session id.
int replies_of(const TestServer& srv, const session::Session& s) {
  char id[16];
  std::snprintf(id, sizeof id, "[%04x] REP:", static_cast<unsigned>(s.sock));
  int n = 0;
  for (const std::string& l : srv.observer.lines) n += l.find(id) != l.npos;
  return n;
}

TEST(BadInput, APipelinedBurstTakesTurnsWithOtherClientsAndKeepsItsOrder) {
  TestServer srv;
  FtpClient hog(srv), other(srv);
  connect_logged_in(srv, hog);
  other.reply();
  session::Session* h = session_of(srv, hog);
  session::Session* o = session_of(srv, other);
  ASSERT_TRUE(h != nullptr && o != nullptr);
  const int before = replies_of(srv, *h);
  std::string burst;
  for (int i = 0; i < 60; ++i) burst += "MKD d" + std::to_string(i) + "\r\n";
  ASSERT_TRUE(hog.send_raw(burst));
  for (int i = 0; i < 2000 && !h->holds_input(); ++i) srv.pump(0);
  ASSERT_TRUE(h->holds_input());
  EXPECT_EQ(replies_of(srv, *h) - before, session::kCommandsPerTurn);
  // Another client is answered while most of the burst still waits.
  ASSERT_TRUE(other.send_line("NOOP"));
  for (int i = 0; i < 2000 && replies_of(srv, *o) == 0; ++i) srv.pump(0);
  EXPECT_EQ(replies_of(srv, *o), 1);
  EXPECT_LT(replies_of(srv, *h) - before, 60);
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(hog.reply(), "257 \"/d" + std::to_string(i) + "\" directory created.") << i;
  }
  // Lines sent just before the client closes still run, in order, before the session ends.
  burst.clear();
  for (int i = 0; i < 60; ++i) burst += "RMD d" + std::to_string(i) + "\r\n";
  ASSERT_TRUE(hog.send_raw(burst));
  hog.close();
  for (int i = 0; i < 4000 && srv.net().client_count() > 1; ++i) srv.pump(0);
  EXPECT_EQ(srv.net().client_count(), 1);
  EXPECT_FALSE(std::filesystem::exists(srv.home() + "/c/d59"));
  EXPECT_TRUE(srv.observer.has("Disconnected. (client close)"));
}

TEST(BadInput, ManyConnectionsOpenedAndDropped) {
  TestServer srv;
  for (int round = 0; round < 10; ++round) {
    std::vector<std::unique_ptr<FtpClient>> clients;
    for (int i = 0; i < 50; ++i) clients.push_back(std::make_unique<FtpClient>(srv));
    // Half are greeted, half vanish before anything is read.
    for (int i = 0; i < 50; i += 2) EXPECT_EQ(clients[i]->reply().substr(0, 4), "220 ");
    clients.clear();
    for (int i = 0; i < 400 && srv.net().client_count() != 0; ++i) srv.pump(1);
    EXPECT_EQ(srv.net().client_count(), 0) << "round " << round;
  }
  FtpClient last(srv);
  EXPECT_EQ(last.reply().substr(0, 4), "220 ");
  EXPECT_EQ(last.cmd("NOOP"), "200 NOOP command successful.");
}

TEST(BadInput, ClientClosingWithUnreadRepliesAndPendingInput) {
  TestServer srv;
  {
    FtpClient c(srv);
    c.reply();
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += "STAT\r\n";
    ASSERT_TRUE(c.send_raw(burst));
  }  // closed with replies unread: the server may see a reset
  for (int i = 0; i < 400 && srv.net().client_count() != 0; ++i) srv.pump(1);
  EXPECT_EQ(srv.net().client_count(), 0);
  FtpClient next(srv);
  EXPECT_EQ(next.reply().substr(0, 4), "220 ");
}

}  // namespace
}  // namespace qorda::test
