#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace qorda::testing {

TempStore::TempStore() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qorda-store-XXXXXX";
  if (char* p = ::mkdtemp(tmpl.data())) dir_ = p;
  EXPECT_FALSE(dir_.empty()) << "cannot create a temporary directory";
  if (dir_.empty()) return;
  auto r = platform::Registry::open(dir_ + "/qorda.db");
  EXPECT_TRUE(r.ok()) << r.msg;
  if (r.ok()) reg_ = std::move(r.value);
}

TempStore::~TempStore() {
  reg_.reset();
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

}  // namespace qorda::testing
