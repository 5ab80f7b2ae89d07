#include "platform/sqlite.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

namespace qorda::platform::sql {

namespace {

int errno_for(int rc, int sys) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return EBUSY;
    case SQLITE_READONLY:
      return EROFS;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return EACCES;
    case SQLITE_NOMEM:
      return ENOMEM;
    case SQLITE_FULL:
      return ENOSPC;
    case SQLITE_TOOBIG:
      return E2BIG;
    case SQLITE_CORRUPT:
      return EBADMSG;
    case SQLITE_NOTADB:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT:
    case SQLITE_RANGE:
      return EINVAL;
    case SQLITE_CANTOPEN:
      return sys != 0 ? sys : ENOENT;
    default:
      return sys != 0 && (rc & 0xff) == SQLITE_IOERR ? sys : EIO;
  }
}

}  // namespace

Stmt& Stmt::operator=(Stmt&& o) noexcept {
  if (this != &o) {
    sqlite3_finalize(s_);
    s_ = std::exchange(o.s_, nullptr);
  }
  return *this;
}

Stmt::~Stmt() {
  sqlite3_finalize(s_);
}

Db::Db(Db&& o) noexcept
    : db_(std::exchange(o.db_, nullptr)), path_(std::move(o.path_)), cache_(std::move(o.cache_)) {}

Db& Db::operator=(Db&& o) noexcept {
  if (this != &o) {
    close();
    db_ = std::exchange(o.db_, nullptr);
    path_ = std::move(o.path_);
    cache_ = std::move(o.cache_);
  }
  return *this;
}

Db::~Db() {
  close();
}

void Db::close() {
  cache_.clear();  // statements first: a connection with live statements does not close
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

Result<Db> Db::open(const std::string& path, OpenMode mode) {
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  switch (mode) {
    case OpenMode::ReadOnly:
      flags |= SQLITE_OPEN_READONLY;
      break;
    case OpenMode::ReadWrite:
      flags |= SQLITE_OPEN_READWRITE;
      break;
    case OpenMode::ReadWriteCreate:
      flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
      break;
  }
  Db db;
  db.path_ = path;
  int rc = sqlite3_open_v2(path.c_str(), &db.db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (!db.db_) return Status::error(ENOMEM, path + ": out of memory");
    return db.error(rc);
  }
  return db;
}

Status Db::error(int rc) const {
  int sys = db_ ? sqlite3_system_errno(db_) : 0;
  std::string detail;
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      detail = "the store is locked by another process; try again";
      break;
    case SQLITE_NOTADB:
      detail = "not an SQLite database";
      break;
    case SQLITE_CORRUPT:
      detail = "the store file is corrupt";
      break;
    case SQLITE_CANTOPEN:
      // SQLite's own text ("unable to open database file") does not say why.
      detail = sys != 0 ? std::strerror(sys) : sqlite3_errstr(rc);
      break;
    default:
      detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      break;
  }
  return Status::error(errno_for(rc, sys), path_ + ": " + detail);
}

Status Db::exec(const char* sql) {
  Query q(*this, sql);
  while (q.step()) {
  }
  return q.status();
}

Result<std::string> Db::scalar_text(const char* sql) {
  Query q(*this, sql);
  if (!q.step()) return q.status().ok() ? error(SQLITE_MISMATCH) : q.status();
  return std::string(q.text(0));
}

Result<int64_t> Db::scalar_int(const char* sql) {
  Query q(*this, sql);
  if (!q.step()) return q.status().ok() ? error(SQLITE_MISMATCH) : q.status();
  return q.int64(0);
}

bool Db::read_only() const {
  return sqlite3_db_readonly(db_, "main") == 1;
}
bool Db::in_transaction() const {
  return sqlite3_get_autocommit(db_) == 0;
}
int64_t Db::last_insert_id() const {
  return sqlite3_last_insert_rowid(db_);
}
int64_t Db::changes() const {
  return sqlite3_changes64(db_);
}
void Db::set_busy_timeout(int ms) {
  sqlite3_busy_timeout(db_, ms);
}

Query::Query(Db& db, const char* sql) : db_(db) {
  if (!db.db_) {
    rc_ = SQLITE_MISUSE;
    return;
  }
  auto it = db.cache_.find(sql);
  if (it != db.cache_.end() && !it->second->busy) {
    cached_ = it->second.get();
    cached_->busy = true;
    s_ = cached_->stmt.get();
    return;
  }
  sqlite3_stmt* raw = nullptr;
  const bool cache = it == db.cache_.end();
  rc_ = sqlite3_prepare_v3(db.db_, sql, -1, cache ? SQLITE_PREPARE_PERSISTENT : 0, &raw, nullptr);
  if (rc_ != SQLITE_OK) {
    sqlite3_finalize(raw);
    return;
  }
  if (cache) {
    auto c = std::make_unique<Db::Cached>();
    c->stmt = Stmt(raw);
    c->busy = true;
    cached_ = c.get();
    db.cache_.emplace(sql, std::move(c));
  } else {
    own_ = Stmt(raw);
  }
  s_ = raw;
}

Query::~Query() {
  if (!s_) return;
  sqlite3_reset(s_);
  sqlite3_clear_bindings(s_);
  if (cached_) cached_->busy = false;
}

Query& Query::bind(int64_t v) {
  if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(s_, next_, v);
  ++next_;
  return *this;
}

Query& Query::bind_text(std::string_view v) {
  if (rc_ == SQLITE_OK) {
    rc_ = sqlite3_bind_text64(s_, next_, v.data() ? v.data() : "", v.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8);
  }
  ++next_;
  return *this;
}

Query& Query::bind_blob(std::string_view v) {
  if (rc_ == SQLITE_OK) {
    rc_ = sqlite3_bind_blob64(s_, next_, v.data() ? v.data() : "", v.size(), SQLITE_TRANSIENT);
  }
  ++next_;
  return *this;
}

bool Query::step() {
  if (rc_ != SQLITE_OK) return false;
  int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) rc_ = rc;
  return false;
}

Status Query::run() {
  while (step()) {
  }
  return status();
}

Status Query::status() const {
  return rc_ == SQLITE_OK ? Status{} : db_.error(rc_);
}

int64_t Query::int64(int col) const {
  return sqlite3_column_int64(s_, col);
}

std::string_view Query::text(int col) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
  int n = sqlite3_column_bytes(s_, col);
  return p ? std::string_view(p, static_cast<size_t>(n)) : std::string_view();
}

std::string_view Query::blob(int col) const {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(s_, col));
  int n = sqlite3_column_bytes(s_, col);
  return p ? std::string_view(p, static_cast<size_t>(n)) : std::string_view();
}

}  // namespace qorda::platform::sql
