#include "platform/registry.h"

#include <fcntl.h>
#include <stdio.h>   // renameat2
#include <stdlib.h>  // mkostemp
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/fd.h"
#include "platform/limits.h"
#include "platform/registry_impl.h"
#include "platform/sqlite.h"

namespace qorda::platform {

namespace {

// Marks a file as a qorda store ("qord"); any other SQLite file is refused untouched.
constexpr int64_t kApplicationId = 0x716f7264;
constexpr int64_t kSchemaVersion = 1;

constexpr const char* kSchema[] = {
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id),"
    " name TEXT NOT NULL,"
    " path TEXT NOT NULL COLLATE NOCASE UNIQUE)",
    "CREATE INDEX keys_by_parent ON keys(parent, name COLLATE NOCASE)",
    "CREATE TABLE vals("
    " key INTEGER NOT NULL REFERENCES keys(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL CHECK(type IN (1, 4)),"
    " data NOT NULL,"
    " UNIQUE(key, name))",
    "INSERT INTO keys(id, parent, name, path) VALUES(1, NULL, '', '')",
    "PRAGMA application_id = 1903129188",  // kApplicationId
    "PRAGMA user_version = 1",             // kSchemaVersion
};
static_assert(kApplicationId == 1903129188);

Status invalid(std::string m) {
  return Status::error(EINVAL, std::move(m));
}
Status not_found(std::string m) {
  return Status::error(ENOENT, std::move(m));
}

// Checks a key path: components separated by single backslashes, none empty, none holding a
// NUL or a line break (the text form could not carry them). "" is the root.
Status check_key(std::string_view key) {
  if (key.empty()) return {};
  size_t start = 0;
  for (;;) {
    size_t end = key.find('\\', start);
    std::string_view comp = key.substr(start, end == std::string_view::npos ? end : end - start);
    if (comp.empty()) return invalid("empty key name in the path");
    for (char c : comp) {
      if (c == '\0' || c == '\n' || c == '\r') {
        return invalid("a key name holds a NUL byte or a line break");
      }
    }
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

Status check_value_name(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return invalid("a value name holds a NUL byte");
  return {};
}

std::string shown(std::string_view key) {
  return key.empty() ? std::string("HKEY_LOCAL_MACHINE")
                     : "HKEY_LOCAL_MACHINE\\" + std::string(key);
}

Status rolled_back(const Registry::Impl& m) {
  return Status::error(EIO, m.path + ": the transaction was rolled back after a failure");
}

Status begin_immediate(Registry::Impl& m) {
  return m.db.exec("BEGIN IMMEDIATE");
}

// Runs one write atomically: on its own in a transaction, or, while a Transaction is open, as
// part of it (inside a savepoint when the write takes several statements, so that a failure
// half-way leaves the open transaction as it was).
template <class F>
Status write_op(Registry::Impl& m, bool several_statements, F&& f) {
  if (m.mode == Registry::Mode::ReadOnly) {
    return Status::error(EROFS, m.path + ": the store is open read-only");
  }
  if (m.depth > 0) {
    // SQLite ends a transaction by itself after some failures (disk full, I/O error); a write
    // made then would commit on its own instead of joining the caller's unit.
    if (!m.db.in_transaction()) return rolled_back(m);
    if (!several_statements) return f();
    if (Status s = m.db.exec("SAVEPOINT op"); !s) return s;
    Status s = f();
    if (!s) m.db.exec("ROLLBACK TO op");
    m.db.exec("RELEASE op");
    return s;
  }
  if (Status s = begin_immediate(m); !s) return s;
  Status s = f();
  if (s) s = m.db.exec("COMMIT");
  if (!s) m.db.exec("ROLLBACK");
  return s;
}

struct KeyRow {
  int64_t id = 0;
  std::string path;  // as stored: each component in the case it was created with
};

// One indexed lookup of a full path. ENOENT when absent.
Result<KeyRow> find_key(Registry::Impl& m, std::string_view key) {
  if (Status s = check_key(key); !s) return s;
  sql::Query q(m.db, "SELECT id, path FROM keys WHERE path = ?");
  q.bind_text(key);
  if (!q.step()) {
    if (!q.status()) return q.status();
    return not_found("no key " + shown(key));
  }
  return KeyRow{q.int64(0), std::string(q.text(1))};
}

RegValue value_from(const sql::Query& q, int name_col) {
  RegValue v;
  v.name = std::string(q.text(name_col));
  if (q.int64(name_col + 1) == static_cast<int64_t>(RegType::Dword)) {
    v.type = RegType::Dword;
    v.dword = static_cast<uint32_t>(q.int64(name_col + 2));
  } else {
    v.type = RegType::Sz;
    v.sz = std::string(q.blob(name_col + 2));
  }
  return v;
}

Status set_value(Registry::Impl& m, std::string_view key, std::string_view name, RegType type,
                 std::string_view text, uint32_t dword) {
  if (Status s = check_value_name(name); !s) return s;
  if (type == RegType::Sz && text.find('\0') != std::string_view::npos) {
    return invalid("a text value holds a NUL byte");
  }
  return write_op(m, false, [&]() -> Status {
    Result<KeyRow> k = find_key(m, key);
    if (!k) return k.status();
    sql::Query q(
        m.db,
        "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)"
        " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.bind(k->id).bind_text(name).bind(static_cast<int64_t>(type));
    if (type == RegType::Sz) {
      q.bind_blob(text);
    } else {
      q.bind(static_cast<int64_t>(dword));
    }
    return q.run();
  });
}

// Verifies that an opened file is a store of ours before anything is written to it.
// `empty_file`: the file had no bytes when it was opened.
Status check_store(Registry::Impl& m, bool empty_file) {
  Result<int64_t> app = m.db.scalar_int("PRAGMA application_id");
  if (!app) {
    if (app.err == EINVAL) {
      return invalid(m.path + ": not a qorda store (not an SQLite database)");
    }
    return app.status();
  }
  if (*app == kApplicationId) {
    Result<int64_t> version = m.db.scalar_int("PRAGMA user_version");
    if (!version) return version.status();
    if (*version > kSchemaVersion) {
      return Status::error(ENOTSUP, m.path +
                                        ": the store was written by a newer qorda (schema "
                                        "version " +
                                        std::to_string(*version) + ")");
    }
    if (*version != kSchemaVersion) {
      return Status::error(EBADMSG, m.path + ": the store file is corrupt (no schema version)");
    }
    Result<std::string> check = m.db.scalar_text("PRAGMA quick_check(1)");
    if (!check) return check.status();
    if (*check != "ok") return Status::error(EBADMSG, m.path + ": the store file is corrupt");
    return {};
  }
  Result<int64_t> objects = m.db.scalar_int("SELECT count(*) FROM sqlite_schema");
  if (!objects) return objects.status();
  if (*app == 0 && *objects == 0 && empty_file) {
    // SECURITY: taking this for a new store would serve port 21 with no accounts and let the
    // next write make it so for good, silently losing the configuration it should hold.
    return Status::error(ENODATA, m.path + ": the store file is empty (no settings, no accounts)");
  }
  return invalid(m.path + ": not a qorda store (an SQLite database of another program)");
}

// Removes a file and the journal files SQLite keeps beside it.
void remove_with_journals(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    ::unlink((path + suffix).c_str());
  }
}

// Builds a new, empty store beside `path` and moves it into place: over the file `replaced`
// describes when one is given, otherwise only where no file exists (EEXIST when one does, for
// example because another process has just created the store).
Status create_store_file(const std::string& path, const struct stat* replaced) {
  // SECURITY: the store holds password encodings; it (and the journal files SQLite gives the
  // same mode) is private to its owner, whatever the umask: mkostemp creates mode 0600.
  std::string tmp = path + ".new-XXXXXX";
  {
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) return Status::from_errno(path + ": " + std::strerror(errno));
    if (replaced) {
      // A store replaced by root keeps its owner, so a server running as that user can still
      // open it. Only root can do this; anyone else replaces a file that is theirs anyway.
      const int ignored = ::fchown(fd.get(), replaced->st_uid, replaced->st_gid);
      (void)ignored;
    }
  }
  Status s;
  {
    Result<sql::Db> db = sql::Db::open(tmp, sql::OpenMode::ReadWrite);
    s = db.status();
    if (s) s = db->exec("BEGIN IMMEDIATE");
    for (const char* stmt : kSchema) {
      if (s) s = db->exec(stmt);
    }
    if (s) s = db->exec("COMMIT");  // written through to the file itself (rollback journal)
    // Only a header change now; the log it starts stays empty and goes when the file closes.
    if (s) s = db->exec("PRAGMA journal_mode = WAL");
  }
  if (s) {
    int rc = replaced
                 ? ::rename(tmp.c_str(), path.c_str())
                 : ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !replaced && errno == EINVAL) {
      // A file system without RENAME_NOREPLACE: link() refuses an existing name as well.
      rc = ::link(tmp.c_str(), path.c_str());
    }
    if (rc != 0) {
      s = errno == EEXIST ? Status::error(EEXIST, path + ": exists")
                          : Status::from_errno(path + ": " + std::strerror(errno));
    }
  }
  remove_with_journals(tmp);  // after a rename only the (absent) journal names are left
  return s;
}

Result<std::unique_ptr<Registry::Impl>> open_existing(const std::string& path,
                                                      Registry::Mode mode) {
  // SECURITY: a file must prove to be a store of ours before the first write, so a mistyped
  // --home never damages another file.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return not_found(path + ": no store here");
    return Status::from_errno(path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return invalid(path + ": not a regular file");

  auto impl = std::make_unique<Registry::Impl>();
  impl->path = path;
  impl->mode = mode;
  Result<sql::Db> db = sql::Db::open(
      path, mode == Registry::Mode::ReadOnly ? sql::OpenMode::ReadOnly : sql::OpenMode::ReadWrite);
  if (!db) return db.status();
  impl->db = std::move(db.value);
  if (mode == Registry::Mode::ReadWrite && impl->db.read_only()) {
    return Status::error(EACCES, path + ": the store file is read-only");
  }
  impl->db.set_busy_timeout(kStoreBusyTimeoutMs);
  if (Status s = check_store(*impl, st.st_size == 0); !s) return s;
  if (mode == Registry::Mode::ReadWrite) {
    Result<std::string> jm = impl->db.scalar_text("PRAGMA journal_mode = WAL");
    if (!jm) return jm.status();
    if (Status s = impl->db.exec("PRAGMA synchronous = NORMAL"); !s) return s;
    if (Status s = impl->db.exec("PRAGMA foreign_keys = ON"); !s) return s;
  }
  return impl;
}

}  // namespace

std::string RegValue::raw() const {
  if (type == RegType::Dword) {
    std::string r(4, '\0');
    for (int i = 0; i < 4; ++i) r[i] = static_cast<char>((dword >> (8 * i)) & 0xff);
    return r;
  }
  std::string r = sz;
  r.push_back('\0');
  return r;
}

Registry::Registry(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Registry::~Registry() = default;

const std::string& Registry::path() const {
  return impl_->path;
}

Result<std::unique_ptr<Registry>> Registry::open(const std::string& path, Mode mode) {
  const Mode access = mode == Mode::ReadOnly ? Mode::ReadOnly : Mode::ReadWrite;
  if (mode != Mode::ReadOnly) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return Status::from_errno(path + ": " + std::strerror(errno));
      // Nothing there: a new store. Losing a race with another process that creates it at the
      // same moment is fine; the winner's store is opened below.
      if (Status s = create_store_file(path, nullptr); !s && s.err != EEXIST) return s;
    }
  }
  Result<std::unique_ptr<Impl>> impl = open_existing(path, access);
  if (!impl && impl.err == ENODATA && mode == Mode::ReplaceEmpty) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
      return Status::from_errno(path + ": " + std::strerror(errno));
    // The stale journal files of the lost store must not be applied to the new one.
    ::unlink((path + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    if (Status s = create_store_file(path, &st); !s) return s;
    impl = open_existing(path, access);
  }
  if (!impl) return impl.status();
  return std::unique_ptr<Registry>(new Registry(std::move(impl.value)));
}

Status Registry::create_key(std::string_view key) {
  Impl& m = *impl_;
  if (Status s = check_key(key); !s) return s;
  return write_op(m, true, [&]() -> Status {
    Result<KeyRow> whole = find_key(m, key);
    if (whole) return {};
    if (whole.err != ENOENT) return whole.status();
    int64_t parent = kRootKeyId;
    std::string path;  // the parent's path as stored
    size_t start = 0;
    while (start <= key.size()) {
      size_t end = key.find('\\', start);
      if (end == std::string_view::npos) end = key.size();
      std::string_view comp = key.substr(start, end - start);
      start = end + 1;
      std::string want = path.empty() ? std::string(comp) : path + "\\" + std::string(comp);
      Result<KeyRow> k = find_key(m, want);
      if (k) {
        parent = k->id;
        path = std::move(k->path);
        continue;
      }
      if (k.err != ENOENT) return k.status();
      sql::Query ins(m.db, "INSERT INTO keys(parent, name, path) VALUES(?, ?, ?)");
      ins.bind(parent).bind_text(comp).bind_text(want);
      if (Status s = ins.run(); !s) return s;
      parent = m.db.last_insert_id();
      path = std::move(want);
    }
    return {};
  });
}

bool Registry::key_exists(std::string_view key) {
  return find_key(*impl_, key).ok();
}

Status Registry::delete_key(std::string_view key) {
  Impl& m = *impl_;
  if (Status s = check_key(key); !s) return s;
  if (key.empty()) return invalid("the root key cannot be deleted");
  return write_op(m, true, [&]() -> Status {
    Result<KeyRow> k = find_key(m, key);
    if (!k) return k.status();
    // The subtree is every path that starts with this path and a backslash. Under NOCASE that
    // is the range [path + "\", path + "]"): '\' and ']' are adjacent and not letters, so a
    // sibling such as "al" next to "alice" or "al]" stays out.
    std::string lo = k->path + "\\";
    std::string hi = k->path + "]";
    {
      sql::Query q(m.db,
                   "DELETE FROM vals WHERE key IN"
                   " (SELECT id FROM keys WHERE id = ? OR (path >= ? AND path < ?))");
      q.bind(k->id).bind_text(lo).bind_text(hi);
      if (Status s = q.run(); !s) return s;
    }
    sql::Query q(m.db, "DELETE FROM keys WHERE id = ? OR (path >= ? AND path < ?)");
    q.bind(k->id).bind_text(lo).bind_text(hi);
    return q.run();
  });
}

Result<std::vector<std::string>> Registry::subkeys(std::string_view key) {
  Impl& m = *impl_;
  ReadScope snapshot(m);
  Result<KeyRow> k = find_key(m, key);
  if (!k) return k.status();
  sql::Query q(m.db, "SELECT name FROM keys WHERE parent = ? ORDER BY name COLLATE NOCASE");
  q.bind(k->id);
  std::vector<std::string> names;
  while (q.step()) names.emplace_back(q.text(0));
  if (!q.status()) return q.status();
  return names;
}

Result<std::string> Registry::stored_path(std::string_view key) {
  Impl& m = *impl_;
  ReadScope snapshot(m);
  Result<KeyRow> k = find_key(m, key);
  if (!k) return k.status();
  return std::move(k->path);
}

Result<RegValue> Registry::query(std::string_view key, std::string_view name) {
  Impl& m = *impl_;
  if (Status s = check_value_name(name); !s) return s;
  ReadScope snapshot(m);
  Result<KeyRow> k = find_key(m, key);
  if (!k) return k.status();
  sql::Query q(m.db, "SELECT name, type, data FROM vals WHERE key = ? AND name = ?");
  q.bind(k->id).bind_text(name);
  if (!q.step()) {
    if (!q.status()) return q.status();
    return not_found("no value \"" + std::string(name) + "\" in " + shown(key));
  }
  return value_from(q, 0);
}

Status Registry::set_sz(std::string_view key, std::string_view name, std::string_view text) {
  return set_value(*impl_, key, name, RegType::Sz, text, 0);
}

Status Registry::set_dword(std::string_view key, std::string_view name, uint32_t v) {
  return set_value(*impl_, key, name, RegType::Dword, {}, v);
}

Status Registry::delete_value(std::string_view key, std::string_view name) {
  Impl& m = *impl_;
  if (Status s = check_value_name(name); !s) return s;
  return write_op(m, false, [&]() -> Status {
    Result<KeyRow> k = find_key(m, key);
    if (!k) return k.status();
    sql::Query q(m.db, "DELETE FROM vals WHERE key = ? AND name = ?");
    q.bind(k->id).bind_text(name);
    if (Status s = q.run(); !s) return s;
    if (m.db.changes() == 0) {
      return not_found("no value \"" + std::string(name) + "\" in " + shown(key));
    }
    return {};
  });
}

Result<std::vector<RegValue>> Registry::values(std::string_view key) {
  Impl& m = *impl_;
  ReadScope snapshot(m);
  Result<KeyRow> k = find_key(m, key);
  if (!k) return k.status();
  sql::Query q(m.db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name");
  q.bind(k->id);
  std::vector<RegValue> out;
  while (q.step()) out.push_back(value_from(q, 0));
  if (!q.status()) return q.status();
  return out;
}

Result<uint32_t> Registry::count_values(std::string_view key) {
  Impl& m = *impl_;
  ReadScope snapshot(m);
  Result<KeyRow> k = find_key(m, key);
  if (!k) return k.status();
  sql::Query q(m.db, "SELECT count(*) FROM vals WHERE key = ?");
  q.bind(k->id);
  if (!q.step()) return q.status();
  return static_cast<uint32_t>(q.int64(0));
}

Result<std::unique_ptr<Registry::Transaction>> Registry::begin() {
  Impl& m = *impl_;
  if (m.mode == Mode::ReadOnly)
    return Status::error(EROFS, m.path + ": the store is open read-only");
  if (m.depth > 0 && !m.db.in_transaction()) return rolled_back(m);
  Status s = m.depth == 0 ? begin_immediate(m)
                          : m.db.exec(("SAVEPOINT t" + std::to_string(m.depth)).c_str());
  if (!s) return s;
  ++m.depth;
  return std::unique_ptr<Transaction>(new Transaction(this));
}

Registry::Transaction::Transaction(Transaction&& o) noexcept
    : reg_(std::exchange(o.reg_, nullptr)) {}

Registry::Transaction::~Transaction() {
  if (!reg_) return;
  Impl& m = *reg_->impl_;
  int level = --m.depth;
  if (!m.db.in_transaction()) return;  // already rolled back by SQLite after a failure
  if (level == 0) {
    m.db.exec("ROLLBACK");
  } else {
    std::string name = "t" + std::to_string(level);
    m.db.exec(("ROLLBACK TO " + name).c_str());
    m.db.exec(("RELEASE " + name).c_str());
  }
}

Status Registry::Transaction::commit() {
  if (!reg_) return invalid("the transaction has already ended");
  Impl& m = *std::exchange(reg_, nullptr)->impl_;
  int level = --m.depth;
  if (!m.db.in_transaction()) return rolled_back(m);
  if (level > 0) return m.db.exec(("RELEASE t" + std::to_string(level)).c_str());
  Status s = m.db.exec("COMMIT");
  if (!s) m.db.exec("ROLLBACK");
  return s;
}

}  // namespace qorda::platform
