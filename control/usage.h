// The server process's processor usage, as the quick-info window and `qorda status` show it:
// the processor time used over the wall time passed between two readings of the process times.
#pragma once

#include <cstdint>

#include "platform/process_times.h"

namespace qorda::control {

// The usage value that stands for "the process times cannot be read".
inline constexpr int kUsageUnknown = 101;

// The usage over one interval, in percent, truncated: 0 when either delta does not fit in 32
// bits (a reading long after the previous one) or no wall time passed. Capped at 100: several
// threads can together use more processor time than wall time, and 101 is the unknown marker.
int usage_percent(uint64_t cpu_delta, uint64_t wall_delta);

// The processor measurement: the previous processor sum and wall reading. Before the first
// reading they are no processor time at all and the application's start, so the first usage
// is the average since start.
class UsageMeter {
 public:
  // `ms_since_start` (the engine tick count since the application started) is used at the
  // first good reading only. kUsageUnknown when the reading failed (the state is kept).
  int take(const platform::Result<platform::ProcessTimes>& reading, uint32_t ms_since_start);

 private:
  bool started_ = false;
  uint64_t cpu_ = 0;
  uint64_t wall_ = 0;
};

// Milliseconds since the server started (the start tick of store::startup()).
uint32_t ms_since_start();

}  // namespace qorda::control
