#include "session/login_throttle.h"

#include "session/defs.h"

namespace qorda::session {

namespace {

// Tick counts wrap at 2^32: compare them through their signed difference.
int32_t ahead(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b);
}

// How far ahead of now the allowance may be spent: a full burst.
constexpr uint32_t kTolerance = (kLoginGuessBurst - 1) * kLoginGuessSpacingMs;

}  // namespace

uint32_t LoginThrottle::admit(uint32_t addr, uint32_t now) {
  auto [it, fresh] = next_slot_.try_emplace(addr, now);
  uint32_t& slot = it->second;
  if (fresh || ahead(slot, now) < 0) slot = now;
  const int32_t over = ahead(slot, now) - static_cast<int32_t>(kTolerance);
  if (over > 0) return static_cast<uint32_t>(over);
  slot += kLoginGuessSpacingMs;
  return 0;
}

void LoginThrottle::passed(uint32_t addr, uint32_t now) {
  auto it = next_slot_.find(addr);
  if (it == next_slot_.end()) return;
  it->second -= kLoginGuessSpacingMs;
  if (ahead(it->second, now) <= 0) next_slot_.erase(it);
}

void LoginThrottle::prune(uint32_t now) {
  for (auto it = next_slot_.begin(); it != next_slot_.end();) {
    if (ahead(it->second, now) <= 0) {
      it = next_slot_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace qorda::session
