#include "platform/process_times.h"

#include <time.h>

#include <cerrno>

namespace qorda::platform {
namespace {

uint64_t to_units(const timespec& ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

}  // namespace

Result<ProcessTimes> read_process_times() {
  timespec cpu{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) != 0) return Status::from_errno("cpu time");
  timespec wall{};
  if (::clock_gettime(CLOCK_MONOTONIC, &wall) != 0) return Status::from_errno("monotonic clock");
  return ProcessTimes{to_units(cpu), to_units(wall)};
}

}  // namespace qorda::platform
