#include "platform/clock.h"

#include <time.h>

#include <cstdlib>
#include <string>

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

namespace {

// localtime_r alone does not notice a zone changed since the first call, so tzset() runs before
// a conversion. It examines the zone file each time (a stat system call); a log line per
// command and a listing of many files would pay that for every line, so the zone is looked at
// again only when TZ differs from the last look or a second of real time has passed.
void refresh_zone() {
  thread_local bool looked = false;
  thread_local bool had_tz = false;
  thread_local std::string last_tz;
  thread_local std::time_t looked_at = 0;
  const char* tz = std::getenv("TZ");
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  const bool same_tz = (tz != nullptr) == had_tz && (tz == nullptr || last_tz == tz);
  if (looked && same_tz && now.tv_sec == looked_at) return;
  ::tzset();
  looked = true;
  had_tz = tz != nullptr;
  if (had_tz) last_tz = tz;
  looked_at = now.tv_sec;
}

}  // namespace

LocalTime to_local(std::time_t t, long nsec) {
  refresh_zone();
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
