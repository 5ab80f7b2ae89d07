#include "control/usage.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"
#include "store/settings.h"

namespace qorda::control {

int usage_percent(uint64_t cpu_delta, uint64_t wall_delta) {
  constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
  if (cpu_delta > kMax32 || wall_delta > kMax32 || wall_delta == 0) return 0;
  return static_cast<int>(std::min<uint64_t>(cpu_delta * 100 / wall_delta, 100));
}

int UsageMeter::take(const platform::Result<platform::ProcessTimes>& reading,
                     uint32_t since_start) {
  if (!reading.ok()) return kUsageUnknown;
  if (!started_) {
    // The application's start on the wall scale; a start before the clock's zero (a tick count
    // that does not belong to this clock) counts from zero.
    const uint64_t back = uint64_t{since_start} * platform::kTimeUnitsPerMs;
    wall_ = reading->wall > back ? reading->wall - back : 0;
    cpu_ = 0;
    started_ = true;
  }
  // Unsigned deltas: a reading older than the previous one wraps to a huge delta, which the
  // 32-bit rule turns into 0.
  const uint64_t cpu_delta = reading->cpu - cpu_;
  const uint64_t wall_delta = reading->wall - wall_;
  cpu_ = reading->cpu;
  wall_ = reading->wall;
  return usage_percent(cpu_delta, wall_delta);
}

uint32_t ms_since_start() {
  return platform::clock().tick_ms() - store::startup().start_tick;
}

}  // namespace qorda::control
