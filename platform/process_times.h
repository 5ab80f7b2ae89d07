// The process's own processor time and a wall-clock reading, for the processor-usage figure of
// the administration window. Both are 64-bit counts of 100-nanosecond units, so a usage is the
// processor delta over the wall delta of two readings.
//
// The processor time is CLOCK_PROCESS_CPUTIME_ID: user and system time of every thread of the
// process together, at the scheduler's nanosecond accounting (getrusage splits the two, but
// from sampled ticks, which is coarser than a 250 ms refresh needs).
//
// The wall reading is CLOCK_MONOTONIC, not the time of day: a usage is a rate over elapsed
// time, and a time-of-day step (NTP, the administrator setting the clock) would turn a delta
// negative or inflate it. The monotonic clock is also the one the engine's millisecond tick
// count is read from, so the application's start tick converts to this scale exactly. It
// stops during a system suspend, as processor time does.
#pragma once

#include <cstdint>

#include "platform/result.h"

namespace qorda::platform {

// One reading; both values in 100-nanosecond units.
struct ProcessTimes {
  uint64_t cpu = 0;   // user + system time of this process
  uint64_t wall = 0;  // the monotonic clock
};

// 100-nanosecond units per millisecond, for converting tick counts to this scale.
inline constexpr uint64_t kTimeUnitsPerMs = 10000;

// Reads both clocks; an error code (errno) when either cannot be read.
Result<ProcessTimes> read_process_times();

}  // namespace qorda::platform
