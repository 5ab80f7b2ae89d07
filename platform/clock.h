// Time sources. Everything that depends on the time of day or the tick count takes a Clock, so
// tests can drive time by hand instead of waiting.
#pragma once

#include <cstdint>
#include <ctime>

namespace qorda::platform {

// A broken-down local time (honours TZ).
struct LocalTime {
  int year = 1970;  // full year
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0, minute = 0, second = 0, msec = 0;
  int wday = 4;  // 0 = Sunday
};

class Clock {
 public:
  virtual ~Clock() = default;
  // 32-bit millisecond tick count; wraps at 2^32. Differences are taken in unsigned arithmetic.
  virtual uint32_t tick_ms() = 0;
  // Seconds since the epoch (UTC).
  virtual std::time_t now() = 0;
  // The current local time.
  virtual LocalTime local_now() = 0;
};

// The system clock: CLOCK_MONOTONIC ticks, the real time of day.
class SystemClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  std::time_t now() override;
  LocalTime local_now() override;
};

// A clock the test sets by hand. local_now() is to_local(now()) with msec 0.
class ManualClock final : public Clock {
 public:
  uint32_t tick = 0;
  std::time_t epoch = 0;
  uint32_t tick_ms() override { return tick; }
  std::time_t now() override { return epoch; }
  LocalTime local_now() override;
};

// Converts seconds since the epoch (plus nanoseconds) to local time.
LocalTime to_local(std::time_t t, long nsec = 0);
// The same moment in UTC.
LocalTime to_utc(std::time_t t, long nsec = 0);

// The process-wide clock the server uses; tests may replace it. Never null.
Clock& clock();
void set_clock(Clock* c);  // nullptr restores the system clock

}  // namespace qorda::platform
