// A small RAII layer over SQLite: a connection that owns its prepared statements, and a scoped
// Query that binds parameters in order, steps, and hands the statement back reset. Everything
// that reaches SQL does so as a bound parameter; SQL text is always a literal of ours.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/result.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qorda::platform::sql {

// Owns one prepared statement; finalizes it on destruction. Move-only.
class Stmt {
 public:
  Stmt() = default;
  explicit Stmt(sqlite3_stmt* s) : s_(s) {}
  Stmt(Stmt&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  Stmt& operator=(Stmt&& o) noexcept;
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  ~Stmt();

  sqlite3_stmt* get() const { return s_; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

enum class OpenMode { ReadOnly, ReadWrite, ReadWriteCreate };

// Owns one connection and the statements cached on it (they are finalized before the connection
// closes). Move-only; a moved-from Db is closed.
class Db {
 public:
  Db() = default;
  Db(Db&& o) noexcept;
  Db& operator=(Db&& o) noexcept;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  ~Db();

  // Opens the file; nothing is read or written until the first statement runs.
  static Result<Db> open(const std::string& path, OpenMode mode);

  // Runs a statement that takes no parameters and whose rows, if any, are not needed.
  Status exec(const char* sql);
  // Runs a statement whose single result is one text or integer cell (PRAGMA x).
  Result<std::string> scalar_text(const char* sql);
  Result<int64_t> scalar_int(const char* sql);

  // The connection's error for an SQLite result code: an errno value and "<path>: <detail>".
  Status error(int rc) const;

  bool read_only() const;       // the file could only be opened for reading
  bool in_transaction() const;  // a BEGIN is open on this connection
  int64_t last_insert_id() const;
  int64_t changes() const;  // rows changed by the last INSERT, UPDATE or DELETE
  void set_busy_timeout(int ms);
  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }

 private:
  friend class Query;
  struct Cached {
    Stmt stmt;
    bool busy = false;  // a Query is using it; a second user prepares its own copy
  };
  void close();

  sqlite3* db_ = nullptr;
  std::string path_;
  std::unordered_map<std::string, std::unique_ptr<Cached>> cache_;
};

// One execution of a statement. Parameters are bound in order with the bind functions; step()
// walks the rows. The statement is reset and its bindings cleared when the Query ends. Column
// views stay valid until the next step() or the end of the Query.
class Query {
 public:
  Query(Db& db, const char* sql);
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  ~Query();

  Query& bind(int64_t v);
  Query& bind_text(std::string_view v);
  Query& bind_blob(std::string_view v);

  // True with a row to read; false at the end or on failure (then status() tells).
  bool step();
  // Steps to the end, for statements that return no rows.
  Status run();
  Status status() const;

  int64_t int64(int col) const;
  std::string_view text(int col) const;
  std::string_view blob(int col) const;

 private:
  Db& db_;
  Db::Cached* cached_ = nullptr;
  Stmt own_;  // used when the cached statement is busy
  sqlite3_stmt* s_ = nullptr;
  int next_ = 1;
  int rc_ = 0;  // first failure; 0 (SQLITE_OK) while all is well
};

}  // namespace qorda::platform::sql
