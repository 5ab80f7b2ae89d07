#include "log/client_list.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using qorda::log::ClientList;

TEST(ClientList, LineHasTheFixedColumns) {
  EXPECT_EQ(ClientList::format_line(0x94, "[unknown]", "1.1.1.1"), "[0094] [unknown] 1.1.1.1");
  EXPECT_EQ(ClientList::format_line(7, "bob", "host.example"), "[0007] bob       host.example");
  EXPECT_EQ(ClientList::format_line(7, "administrator", "h"), "[0007] administr h");
  EXPECT_EQ(ClientList::format_line(7, "", "h"), "[0007]           h");
  // Handles wider than four digits widen the tag instead of being cut.
  EXPECT_EQ(ClientList::format_line(0x12345, "anonymous", "h"), "[12345] anonymous h");
}

TEST(ClientList, ClientTextCannotBreakTheLine) {
  std::string line = ClientList::format_line(1, "a\r\nb", "x\ny");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_EQ(line, "[0001] a\\r\\nb    x\\ny");
  // A name of two-byte characters is cut before a character, never inside one, and padded.
  std::string e = "\xc3\xa9";
  line = ClientList::format_line(1, e + e + e + e + e, "h");
  EXPECT_EQ(line, "[0001] " + e + e + e + e + "  h");
}

TEST(ClientList, UpdateReplacesTheConnectionsLineAndMovesItToTheEnd) {
  ClientList list;
  list.update(5, "[unknown]", "10.0.0.1");
  list.update(6, "[unknown]", "10.0.0.2");
  list.update(5, "bob", "client.example");
  ASSERT_EQ(list.lines().size(), 2u);
  EXPECT_EQ(list.lines()[0], "[0006] [unknown] 10.0.0.2");
  EXPECT_EQ(list.lines()[1], "[0005] bob       client.example");

  // A view moves its selection to the position the removed line had.
  EXPECT_EQ(list.remove(6), std::optional<size_t>(0));
  EXPECT_EQ(list.remove(6), std::nullopt);  // already gone: nothing happens
  ASSERT_EQ(list.lines().size(), 1u);
  EXPECT_EQ(list.lines()[0], "[0005] bob       client.example");
}

TEST(ClientList, RemoveMatchesTheWholeTagOnly) {
  ClientList list;
  list.update(0x12345, "a", "h1");
  list.update(0x1234, "b", "h2");
  list.update(0x123, "c", "h3");
  list.remove(0x1234);
  ASSERT_EQ(list.lines().size(), 2u);
  EXPECT_EQ(list.lines()[0], "[12345] a         h1");
  EXPECT_EQ(list.lines()[1], "[0123] c         h3");
}
