// Inside the registry store: the connection, the schema's fixed numbers and the scoped
// transaction helpers shared by registry.cpp and regtext.cpp. Not for use outside platform/.
#pragma once

#include <string>

#include "platform/registry.h"
#include "platform/sqlite.h"

namespace qorda::platform {

// Schema, in short: keys(id, parent, name, path) with `path` the full key path as created,
// unique under ASCII case folding (COLLATE NOCASE), so one indexed lookup finds any key; the
// root is the row with id 1 and path "". vals(key, name, type, data), unique per key under the
// same folding; data holds the text bytes (REG_SZ) or the integer (REG_DWORD).
inline constexpr int64_t kRootKeyId = 1;

struct Registry::Impl {
  std::string path;
  Registry::Mode mode = Registry::Mode::ReadWrite;
  sql::Db db;
  int depth = 0;  // open Transactions (the outermost is BEGIN IMMEDIATE, the others savepoints)
};

// Makes a group of reads see one snapshot: opens a read transaction unless one is already open
// and ends it when the scope ends.
class ReadScope {
 public:
  explicit ReadScope(Registry::Impl& m) : m_(m) {
    if (!m.db.in_transaction()) began_ = m.db.exec("BEGIN").ok();
  }
  ~ReadScope() {
    if (began_ && !m_.db.exec("COMMIT")) m_.db.exec("ROLLBACK");
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

 private:
  Registry::Impl& m_;
  bool began_ = false;
};

}  // namespace qorda::platform
