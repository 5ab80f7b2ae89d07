// Time sources and conversions.
#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace qorda::platform {
namespace {

// Sets TZ for the test's duration.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
  }
  ~ScopedTz() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Clock, UtcConversionIncludingLeapDayAndMilliseconds) {
  LocalTime t = to_utc(0);
  EXPECT_EQ(t.year, 1970);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.wday, 4);  // Thursday

  t = to_utc(951827696, 987654321);  // 2000-02-29 12:34:56.987
  EXPECT_EQ(t.year, 2000);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 12);
  EXPECT_EQ(t.minute, 34);
  EXPECT_EQ(t.second, 56);
  EXPECT_EQ(t.msec, 987);
  EXPECT_EQ(t.wday, 2);  // Tuesday
}

TEST(Clock, LocalTimeFollowsTzEvenWhenItChanges) {
  {
    ScopedTz tz("EST5");
    LocalTime t = to_local(0);
    EXPECT_EQ(t.year, 1969);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.hour, 19);
    EXPECT_EQ(t.wday, 3);
  }
  ScopedTz tz("XYZ-3");  // three hours east of UTC
  LocalTime t = to_local(0, 5000000);
  EXPECT_EQ(t.hour, 3);
  EXPECT_EQ(t.msec, 5);

  ManualClock m;
  m.epoch = 86400 + 60;
  t = m.local_now();
  EXPECT_EQ(t.day, 2);
  EXPECT_EQ(t.hour, 3);
  EXPECT_EQ(t.minute, 1);
  EXPECT_EQ(t.msec, 0);
}

TEST(Clock, ProcessClockCanBeReplacedAndRestored) {
  ManualClock m;
  m.tick = 0xfffffff0u;
  m.epoch = 1234;
  set_clock(&m);
  EXPECT_EQ(clock().tick_ms(), 0xfffffff0u);
  EXPECT_EQ(clock().now(), 1234);
  m.tick += 0x20;  // wraps; differences stay right in unsigned arithmetic
  EXPECT_EQ(clock().tick_ms() - 0xfffffff0u, 0x20u);
  set_clock(nullptr);
  EXPECT_NE(dynamic_cast<SystemClock*>(&clock()), nullptr);
}

TEST(Clock, SystemTickIsTheMonotonicMillisecondCountTruncated) {
  auto mono = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
  };
  SystemClock c;
  uint32_t before = mono();
  uint32_t tick = c.tick_ms();
  uint32_t after = mono();
  EXPECT_LE(tick - before, after - before);  // within [before, after], modulo 2^32
  time_t t0 = time(nullptr);
  time_t now = c.now();
  EXPECT_LE(t0, now);
  EXPECT_LE(now - t0, 1);
}

}  // namespace
}  // namespace qorda::platform
