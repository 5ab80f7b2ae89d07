// A session holds its line buffer and output chunks only while they are in use: an idle session,
// logged in or not, holds neither.
#include <gtest/gtest.h>

#include <string>

#include "session/defs.h"
#include "session/session.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

// Pumps until the session holds a partial line, or gives up.
bool pump_until_holding(TestServer& srv, session::Session& s) {
  for (int i = 0; i < 200 && !s.holds_line_buffer(); ++i) srv.pump(5);
  return s.holds_line_buffer();
}

TEST(SessionBuffers, LineBufferLivesOnlyWhileALineIsIncomplete) {
  TestServer srv;
  FtpClient c(srv);
  ASSERT_EQ(c.reply().substr(0, 4), "220 ");
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->holds_line_buffer());
  EXPECT_FALSE(s->holds_output());

  // A line that arrives in pieces keeps its bytes between receives.
  ASSERT_TRUE(c.send_raw("NO"));
  ASSERT_TRUE(pump_until_holding(srv, *s));
  ASSERT_TRUE(c.send_raw("O"));
  pump_until_taken(srv, c);
  for (int i = 0; i < 5; ++i) srv.pump(1);
  EXPECT_TRUE(s->holds_line_buffer());
  EXPECT_EQ(c.cmd("P"), "200 NOOP command successful.");
  EXPECT_FALSE(s->holds_line_buffer());
  EXPECT_FALSE(s->holds_output());

  // Two lines in one piece, the second incomplete: the first is answered, the rest waits.
  ASSERT_TRUE(c.send_raw("NOOP\r\nSYS"));
  EXPECT_EQ(c.reply(), "200 NOOP command successful.");
  ASSERT_TRUE(pump_until_holding(srv, *s));
  EXPECT_EQ(c.cmd("T").substr(0, 4), "215 ");
  EXPECT_FALSE(s->holds_line_buffer());
}

TEST(SessionBuffers, OverlongLineIsRefusedWhetherOrNotTheBufferWasLetGo) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  // Exactly a full buffer, then the line end in a later piece: the buffer was refilled from
  // empty, and the line is still refused as too long.
  ASSERT_TRUE(c.send_raw(std::string(session::kLineBuffer, 'A')));
  pump_until_taken(srv, c);
  EXPECT_EQ(c.cmd(""), "500 Command line too long. (max: 511 bytes)");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_FALSE(s->holds_line_buffer());
}

TEST(SessionBuffers, UnsentOutputStaysQueuedUntilTheClientReads) {
  TestServer srv;
  FtpClient c(srv);
  c.reply();
  session::Session* s = first_session(srv);
  ASSERT_NE(s, nullptr);
  // HELP answers until the socket buffers are full and the rest waits in the session. A few at
  // a time, each round taken in before the next is sent, so that no backlog of commands can push
  // the queue over its cap while the answers are read back.
  const std::string burst = "HELP\r\nHELP\r\nHELP\r\nHELP\r\nHELP\r\n";
  int sent = 0;
  for (int round = 0; round < 20000 && s->queued_output() == 0; ++round) {
    ASSERT_TRUE(c.send_raw(burst));
    sent += 5;
    srv.pump(0);
    srv.pump(0);
  }
  ASSERT_GT(s->queued_output(), 0u);
  EXPECT_TRUE(s->holds_output());
  // Reading every answer drains the queue; the chunks go with it.
  for (int i = 0; i < sent; ++i) {
    const std::vector<std::string> r = c.read_reply();
    ASSERT_FALSE(r.empty()) << "answer " << i;
    EXPECT_EQ(r.back().substr(0, 4), "214 ");
  }
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(s->queued_output(), 0u);
  EXPECT_FALSE(s->holds_output());
  EXPECT_FALSE(s->delete_mark);
}

}  // namespace
}  // namespace qorda::test
