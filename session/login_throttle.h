// Failed logins per client address. However many connections an address opens, its passwords
// are checked at a bounded rate: a short burst at once, then one every kLoginGuessSpacingMs.
// Only failures use the allowance; a check that passes gives its slot back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace qorda::session {

class LoginThrottle {
 public:
  // A password from `addr` is about to be checked at `now` (engine ticks, milliseconds): 0 when
  // it may be checked now (a slot is taken for it), otherwise how many milliseconds to wait
  // before asking again.
  uint32_t admit(uint32_t addr, uint32_t now);
  // The check admitted at `now` passed: its slot is given back.
  void passed(uint32_t addr, uint32_t now);
  // Forgets every address whose allowance is whole again. Called at every tick, so the table
  // holds only addresses that failed within about the last second.
  void prune(uint32_t now);
  size_t tracked() const { return next_slot_.size(); }

 private:
  // Per address, the time from which its allowance is whole again; each admitted check moves
  // it on by one spacing, time moves it back. Addresses at whole allowance are not stored.
  std::unordered_map<uint32_t, uint32_t> next_slot_;
};

}  // namespace qorda::session
