// A registry store in a fresh temporary directory, removed at the end of the test.
#pragma once

#include <memory>
#include <string>

#include "platform/registry.h"

namespace qorda::testing {

class TempStore {
 public:
  TempStore();
  ~TempStore();
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  // The directory (usable as a qorda home: the store is <dir>/qorda.db).
  const std::string& dir() const { return dir_; }
  // The open store; null when it could not be created (the constructor then fails the test).
  platform::Registry* reg() { return reg_.get(); }

 private:
  std::string dir_;
  std::unique_ptr<platform::Registry> reg_;
};

}  // namespace qorda::testing
