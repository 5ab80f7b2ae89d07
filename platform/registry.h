// The hierarchical key/value store that holds the configuration and the accounts ("the
// registry"): one SQLite file, keys in a tree under HKEY_LOCAL_MACHINE, typed values.
//
// Key paths are given relative to HKEY_LOCAL_MACHINE with backslashes between components
// ("Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup"); "" is the root itself. Key and
// value names compare without regard to ASCII case and keep the case they were created with.
// Every set or delete is atomic; several writes can be grouped in one Transaction. Values are
// always read from the file, so a change made by another process is seen at the next read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qorda::platform {

enum class RegType : uint32_t { Sz = 1, Dword = 4 };

struct RegValue {
  std::string name;  // as created
  RegType type = RegType::Sz;
  std::string sz;    // REG_SZ text (may hold line feeds; no NUL)
  uint32_t dword = 0;

  // The value's bytes as the system stores them: text plus its terminating zero byte, or the
  // four little-endian bytes of a DWORD. Readers that "query into a 4-byte buffer" use this.
  std::string raw() const;
};

class Registry {
 public:
  // ReplaceEmpty is ReadWrite that also puts a new store in place of an empty file (the
  // recovery of a store that was truncated); the other modes refuse such a file.
  enum class Mode { ReadWrite, ReadOnly, ReplaceEmpty };

  // Opens the store file; ReadWrite and ReplaceEmpty create it when absent. A new store appears
  // at `path` whole (it is built beside it and moved into place), so an empty file there is
  // never one being created: it is a store that lost its contents. A file that is not a usable
  // store gives an error with a clear message and is never overwritten or truncated:
  //   ENOENT   no file (ReadOnly)
  //   ENODATA  an empty file: no settings, no accounts (replaced only in ReplaceEmpty mode)
  //   EINVAL   not a store of ours (text, another program's SQLite database)
  //   EBADMSG  a store of ours that is corrupt
  //   ENOTSUP  a store written by a newer qorda
  // and the system's code when the file cannot be opened at all (EACCES, EBUSY, ...).
  static Result<std::unique_ptr<Registry>> open(const std::string& path, Mode mode = Mode::ReadWrite);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const std::string& path() const;

  // Keys. create_key creates missing parents too. ENOENT when a key does not exist.
  Status create_key(std::string_view key);
  bool key_exists(std::string_view key);
  Status delete_key(std::string_view key);  // with every subkey and value
  // Names of the direct subkeys (as created), in case-insensitive name order.
  Result<std::vector<std::string>> subkeys(std::string_view key);
  // The key's path as stored: each component in the case it was created with.
  Result<std::string> stored_path(std::string_view key);

  // Values. query gives ENOENT when the key or the value does not exist; set_sz and set_dword
  // give ENOENT when the key does not exist (create it first). A value name may be empty; text
  // and names hold no NUL byte (EINVAL).
  Result<RegValue> query(std::string_view key, std::string_view name);
  Status set_sz(std::string_view key, std::string_view name, std::string_view text);
  Status set_dword(std::string_view key, std::string_view name, uint32_t v);
  Status delete_value(std::string_view key, std::string_view name);  // ENOENT when absent
  // All values of the key, in case-insensitive name order.
  Result<std::vector<RegValue>> values(std::string_view key);
  Result<uint32_t> count_values(std::string_view key);

  // Groups writes into one atomic unit (BEGIN IMMEDIATE ... COMMIT). Writes made while a
  // Transaction is open join it; destroying it without commit() rolls everything back. A
  // Transaction begun while another is open nests inside it (a savepoint); nested ones end
  // before their outer one, and none may outlive the Registry. Reads inside see its writes.
  class Transaction {
   public:
    Transaction(Transaction&&) noexcept;
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction();
    Status commit();

   private:
    friend class Registry;
    explicit Transaction(Registry* r) : reg_(r) {}
    Registry* reg_ = nullptr;
  };
  Result<std::unique_ptr<Transaction>> begin();

  struct Impl;

 private:
  friend Result<std::string> export_text(Registry& reg);
  explicit Registry(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The REGEDIT4 text form: export writes the whole store, keys in tree order; import merges a
// text into the store in one transaction, applying nothing when any line is malformed (the
// error message names the line number and the reason).
// Key paths in the text carry the root name: [HKEY_LOCAL_MACHINE\Software\...].
Result<std::string> export_text(Registry& reg);
Status import_text(Registry& reg, std::string_view text);  // EINVAL for malformed text

// One value as a line of the text form, without the line end: "name"="text" or
// "name"=dword:0000abcd.
std::string value_line(const RegValue& v);

}  // namespace qorda::platform
