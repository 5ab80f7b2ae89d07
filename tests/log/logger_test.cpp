#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"
#include "log/screen_log.h"
#include "platform/clock.h"

namespace {

using qorda::log::Level;
using qorda::log::Logger;
using qorda::log::ScreenLog;
using qorda::platform::LocalTime;

// A clock standing still at a chosen local time.
class FixedClock final : public qorda::platform::Clock {
 public:
  LocalTime t;
  uint32_t tick_ms() override { return 0; }
  std::time_t now() override { return 0; }
  LocalTime local_now() override { return t; }
};

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_.t.year = 2026;
    clock_.t.month = 3;
    clock_.t.day = 7;
    clock_.t.hour = 9;
    clock_.t.minute = 5;
    clock_.t.second = 3;
    qorda::platform::set_clock(&clock_);
    log_.set_screen(&screen_);
    char tmpl[] = "/tmp/qorda-log-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    qorda::platform::set_clock(nullptr);
    std::filesystem::remove_all(dir_);
  }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> screen() const {
    return {screen_.lines().begin(), screen_.lines().end()};
  }

  FixedClock clock_;
  ScreenLog screen_;
  Logger log_;
  std::string dir_;
};

using Lines = std::vector<std::string>;

TEST_F(LoggerTest, ScreenLinesCarryTimeAndIdUpToTheScreenLevel) {
  log_.set_levels(4, 0);
  log_.log(Level::Security, 0x94, "Connected to %s.", "1.1.1.1");
  log_.log(Level::Actions, 0x94, "Transfer aborted (%s).", "ABOR");
  log_.log(Level::Commands, 0x94, "CMD:\"%s\"", "USER bob");  // above the screen level
  log_.log(Level::Engine, 0, "listening on port %d.", 21);    // engine line: no time, no id
  log_.log(Level::Security, 0x12345, "wide");  // ids wider than four digits print wider
  EXPECT_EQ(screen(), (Lines{"09:05:03 [0094] Connected to 1.1.1.1.",
                             "09:05:03 [0094] Transfer aborted (ABOR).", "listening on port 21.",
                             "09:05:03 [12345] wide"}));
  EXPECT_EQ(std::string("09:05:03 [0094] ").size(), 16u);
  EXPECT_FALSE(log_.file_open());
}

TEST_F(LoggerTest, EngineLinesShowAtScreenLevelZeroAndLevelZeroHidesTheRest) {
  log_.set_levels(0, 0);
  log_.log(Level::Engine, 0, "engine");
  log_.log(Level::Security, 3, "security");
  EXPECT_EQ(screen(), Lines{"engine"});
}

TEST_F(LoggerTest, FileGetsDatedLinesEndedByCrLfUpToTheFileLevel) {
  std::string path = dir_ + "/qorda.log";
  { std::ofstream(path, std::ios::binary) << "old line\r\n"; }
  log_.set_levels(4, 5);
  ASSERT_TRUE(log_.open_file(path).ok());
  EXPECT_TRUE(log_.file_open());
  EXPECT_EQ(log_.file_path(), path);
  log_.log(Level::Commands, 0x94, "CMD:\"%s\"", "USER bob");
  log_.log(Level::Security, 0x94, "User \"%s\" logged in.", "bob");
  log_.log(Level::Debug, 0x94, "***DEBUG: never");  // above both levels
  log_.log(Level::Engine, 0, "engine only on screen");
  clock_.t = LocalTime{2026, 12, 31, 23, 59, 58, 0, 4};
  log_.log(Level::Writes, 7, "Stored \"%s\" (%d bytes %01.2f kb/s).", "/c:/a", 10, 1.5);

  EXPECT_EQ(slurp(path),
            "old line\r\n"
            "07 Mar 2026 09:05:03 [0094] CMD:\"USER bob\"\r\n"
            "07 Mar 2026 09:05:03 [0094] User \"bob\" logged in.\r\n"
            "31 Dec 2026 23:59:58 [0007] Stored \"/c:/a\" (10 bytes 1.50 kb/s).\r\n");
  EXPECT_EQ(std::string("07 Mar 2026 09:05:03 [0094] ").size(), 28u);
  // The screen, at level 4, shows neither the command line nor any file error.
  EXPECT_EQ(screen(), (Lines{"09:05:03 [0094] User \"bob\" logged in.", "engine only on screen",
                             "23:59:58 [0007] Stored \"/c:/a\" (10 bytes 1.50 kb/s)."}));
}

TEST_F(LoggerTest, FailedWritesAndAMissingFileAreReportedPerLine) {
  log_.set_levels(0, 2);
  ASSERT_TRUE(log_.open_file("/dev/full").ok());
  log_.log(Level::Security, 1, "lost");
  log_.log(Level::Reads, 1, "not for the file");
  EXPECT_EQ(screen(), Lines{"error: can't write to log file."});

  auto st = log_.open_file(dir_ + "/no/such/dir/qorda.log");
  EXPECT_FALSE(st.ok());
  EXPECT_FALSE(log_.file_open());
  log_.log(Level::Writes, 1, "lost too");
  log_.log(Level::Security, 1, "and this");
  EXPECT_EQ(screen(), (Lines{"error: can't write to log file.", "error: can't write to log file.",
                             "error: can't write to log file."}));

  // A file level of 0 writes nothing and so reports nothing.
  log_.set_levels(0, 0);
  log_.log(Level::Security, 1, "quiet");
  EXPECT_EQ(screen_.lines().size(), 3u);
}

TEST_F(LoggerTest, ReopenStartsAFreshFileAfterRotation) {
  std::string path = dir_ + "/qorda.log";
  log_.set_levels(0, 1);
  EXPECT_FALSE(log_.reopen_file().ok());  // nothing opened yet
  ASSERT_TRUE(log_.open_file(path).ok());
  log_.log(Level::Security, 1, "first");
  std::filesystem::rename(path, path + ".1");
  ASSERT_TRUE(log_.reopen_file().ok());
  log_.log(Level::Security, 1, "second");
  EXPECT_EQ(slurp(path + ".1"), "07 Mar 2026 09:05:03 [0001] first\r\n");
  EXPECT_EQ(slurp(path), "07 Mar 2026 09:05:03 [0001] second\r\n");
  log_.close_file();
  EXPECT_FALSE(log_.file_open());
  EXPECT_EQ(log_.file_fd(), -1);
}

TEST_F(LoggerTest, LongTextsAreCutToTheBufferWithoutSplittingACharacter) {
  log_.set_levels(1, 0);
  std::string big(3000, 'a');
  log_.log(Level::Security, 1, "%s", big.c_str());
  ASSERT_EQ(screen_.lines().size(), 1u);
  EXPECT_EQ(screen_.lines()[0], "09:05:03 [0001] " + std::string(2047, 'a'));

  // A two-byte character straddling the limit is dropped whole.
  std::string utf = std::string(2046, 'b') + "\xc3\xa9" + "tail";
  log_.log(Level::Security, 1, "%s", utf.c_str());
  EXPECT_EQ(screen_.lines()[1], "09:05:03 [0001] " + std::string(2046, 'b'));
  // One that ends exactly at the limit is kept.
  utf = std::string(2045, 'c') + "\xc3\xa9" + "tail";
  log_.log(Level::Security, 1, "%s", utf.c_str());
  EXPECT_EQ(screen_.lines()[2], "09:05:03 [0001] " + std::string(2045, 'c') + "\xc3\xa9");
  // Same for the engine's own lines.
  log_.log(Level::Engine, 0, "%s", big.c_str());
  EXPECT_EQ(screen_.lines()[3], std::string(2047, 'a'));
}

}  // namespace
