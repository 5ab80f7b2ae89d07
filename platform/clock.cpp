#include "platform/clock.h"

#include <time.h>

namespace qorda::platform {
namespace {

LocalTime from_tm(const std::tm& tm, long nsec) {
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.msec = nsec > 0 ? static_cast<int>((nsec / 1000000L) % 1000) : 0;
  lt.wday = tm.tm_wday;
  return lt;
}

SystemClock g_system_clock;
Clock* g_clock = &g_system_clock;

}  // namespace

uint32_t SystemClock::tick_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  // The count wraps at 2^32 ms (about 49.7 days); users subtract in unsigned arithmetic.
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::time_t SystemClock::now() {
  return std::time(nullptr);
}

LocalTime SystemClock::local_now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return to_local(ts.tv_sec, ts.tv_nsec);
}

LocalTime ManualClock::local_now() {
  return to_local(epoch, 0);
}

LocalTime to_local(std::time_t t, long nsec) {
  ::tzset();  // localtime_r alone does not notice a TZ changed since the first call
  std::tm tm{};
  if (!::localtime_r(&t, &tm)) return to_utc(t, nsec);
  return from_tm(tm, nsec);
}

LocalTime to_utc(std::time_t t, long nsec) {
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) return LocalTime{};
  return from_tm(tm, nsec);
}

Clock& clock() {
  return *g_clock;
}

void set_clock(Clock* c) {
  g_clock = c ? c : &g_system_clock;
}

}  // namespace qorda::platform
