// The process's processor time and the wall reading that a usage figure divides it by.
#include "platform/process_times.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace qorda::platform {
namespace {

TEST(ProcessTimes, ProcessorTimeFollowsWorkAndStaysWithinTheWallTime) {
  Result<ProcessTimes> a = read_process_times();
  ASSERT_TRUE(a.ok()) << a.err;
  // Work until the processor clock has moved by a millisecond (bounded, never a sleep).
  volatile uint64_t sink = 0;
  Result<ProcessTimes> b;
  for (int round = 0; round < 100000; ++round) {
    for (uint64_t i = 0; i < 10000; ++i) sink = sink + i;
    b = read_process_times();
    ASSERT_TRUE(b.ok()) << b.err;
    if (b->cpu - a->cpu >= kTimeUnitsPerMs) break;
  }
  EXPECT_GE(b->cpu - a->cpu, kTimeUnitsPerMs);
  EXPECT_GE(b->wall, a->wall);
  // One busy thread uses at most the elapsed time (a millisecond's slack for the two reads).
  EXPECT_LE(b->cpu - a->cpu, b->wall - a->wall + kTimeUnitsPerMs);
}

TEST(ProcessTimes, TheWallReadingIsOnTheEngineTickScale) {
  // The start of the application is a tick count; the wall reading must convert to it.
  SystemClock system;
  const uint32_t before = system.tick_ms();
  Result<ProcessTimes> t = read_process_times();
  const uint32_t after = system.tick_ms();
  ASSERT_TRUE(t.ok()) << t.err;
  const auto ms = static_cast<uint32_t>(t->wall / kTimeUnitsPerMs);
  EXPECT_LE(ms - before, after - before);
}

}  // namespace
}  // namespace qorda::platform
