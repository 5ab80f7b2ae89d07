#include "log/screen_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "log/log.h"

using qorda::log::ConsoleSink;
using qorda::log::ScreenLog;

TEST(ScreenLog, KeepsTheNewest500Lines) {
  ScreenLog log;
  int changes = 0, drops = 0;
  std::string last;
  log.set_on_change([&](const std::string& added, bool dropped) {
    ++changes;
    drops += dropped;
    last = added;
  });
  for (int i = 1; i <= 502; ++i) log.screen_line("line " + std::to_string(i));
  ASSERT_EQ(log.lines().size(), 500u);
  EXPECT_EQ(log.lines().front(), "line 3");
  EXPECT_EQ(log.lines().back(), "line 502");
  EXPECT_EQ(changes, 502);
  EXPECT_EQ(drops, 2);
  EXPECT_EQ(last, "line 502");
}

TEST(ConsoleSink, WritesOneLinePerScreenLine) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ConsoleSink sink(f);
  sink.screen_line("12:00:00 [0004] Connected to 1.2.3.4.");
  sink.screen_line("");
  // Flushed per line: the bytes are in the file without closing the stream.
  char buf[128] = {};
  std::rewind(f);
  size_t n = std::fread(buf, 1, sizeof buf, f);
  EXPECT_EQ(std::string(buf, n), "12:00:00 [0004] Connected to 1.2.3.4.\n\n");
  std::fclose(f);
}

TEST(EscapeForLog, ControlCharactersBecomeVisible) {
  using qorda::log::escape_for_log;
  EXPECT_EQ(escape_for_log("RETR a\r\n12:00:00 [0001] User \"x\" logged in."),
            "RETR a\\r\\n12:00:00 [0001] User \"x\" logged in.");
  EXPECT_EQ(escape_for_log(std::string("a\x01\x1f\x7f\tb\0c", 8)), "a\\x01\\x1f\\x7f\\x09b\\x00c");
  // Printable ASCII, backslashes and UTF-8 pass unchanged.
  EXPECT_EQ(escape_for_log("/c:/ftp/r\xc3\xa9sum\xc3\xa9 \\x"), "/c:/ftp/r\xc3\xa9sum\xc3\xa9 \\x");

  // C1 controls, as single bytes (an 8-bit terminal's CSI is 0x9b) and UTF-8 encoded, are
  // escaped byte by byte; the characters next to them in UTF-8 (U+00A0, U+2005) pass.
  EXPECT_EQ(escape_for_log("a\x9b"
                           "2Jb\x85\xc2\x9b"
                           "c\xc2\x80"),
            "a\\x9b2Jb\\x85\\xc2\\x9bc\\xc2\\x80");
  EXPECT_EQ(escape_for_log("\xc2\xa0\xe2\x80\x85\xf0\x9f\x98\x80"),
            "\xc2\xa0\xe2\x80\x85\xf0\x9f\x98\x80");
  // A truncated or malformed sequence is taken byte by byte: its continuation bytes in the C1
  // range are escaped, other stray bytes stay.
  EXPECT_EQ(escape_for_log("\xe2\x80"
                           "x\xc2"),
            "\xe2\\x80x\xc2");
}

TEST(LevelName, NamesAsTheSettingsOfferThem) {
  EXPECT_STREQ(qorda::log::level_name(0), "0. no logging");
  EXPECT_STREQ(qorda::log::level_name(6), "6. DEBUG server internals");
  EXPECT_STREQ(qorda::log::level_name(7), "");
  EXPECT_STREQ(qorda::log::level_name(-1), "");
}
