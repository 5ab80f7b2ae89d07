// Runs a test under a fixed time zone (TZ) and restores the previous setting afterwards.
#pragma once

#include <cstdlib>
#include <string>

namespace qorda::test {

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("TZ", tz, 1);
  }
  ~ScopedTz() {
    if (had_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
  }
  ScopedTz(const ScopedTz&) = delete;
  ScopedTz& operator=(const ScopedTz&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace qorda::test
