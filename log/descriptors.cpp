#include "log/descriptors.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "log/limits.h"
#include "log/log.h"
#include "platform/clock.h"

namespace qorda::log {

namespace {

bool g_in_episode = false;
uint32_t g_episode_start = 0;  // tick of the episode's first failure

}  // namespace

bool report_open_failure(int err, const char* what) {
  if (err != EMFILE && err != ENFILE) return false;
  const uint32_t now = platform::clock().tick_ms();
  if (g_in_episode && now - g_episode_start < kDescriptorEpisodeMs) return true;
  g_in_episode = true;
  g_episode_start = now;
  logger().log(Level::Security, 0, "error: out of file descriptors (%s, %s).", what,
               std::strerror(err));
  return true;
}

}  // namespace qorda::log
