// Feeds arbitrary bytes to the REGEDIT4 import. It must never crash; a refused text must leave
// the store exactly as it was and name a line; an accepted one must leave a store whose export
// imports into an empty store and exports again unchanged.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace {

using qorda::platform::export_text;
using qorda::platform::import_text;
using qorda::platform::Registry;

constexpr size_t kMaxInput = 64 * 1024;

constexpr std::string_view kSeed =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup]\n"
    "\"iport\"=dword:00000815\n"
    "\"szmsg1\"=\"Welcome to %L.\\nYou are %R.\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Users\\al]\n\"szpass\"=\"x\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Users\\alice]\n\n"
    "[HKEY_LOCAL_MACHINE\\Links\\/c:/ftp/]\n\"pub\"=\"/d:/\"\n";

// Two stores in a temporary directory, removed at exit.
struct Stores {
  std::string dir;
  std::unique_ptr<Registry> main, copy;
  ~Stores() {
    main.reset();
    copy.reset();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

void check(bool ok) {
  if (!ok) std::abort();
}

std::unique_ptr<Registry> open_store(const std::string& path) {
  auto r = Registry::open(path);
  check(r.ok());
  return std::move(r.value);
}

Stores& stores() {
  static Stores s;
  if (s.dir.empty()) {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qorda-fuzz-XXXXXX";
    check(::mkdtemp(tmpl.data()) != nullptr);
    s.dir = tmpl;
    s.main = open_store(s.dir + "/main.db");
    s.copy = open_store(s.dir + "/copy.db");
  }
  return s;
}

// Empties the store: every top-level key and every value of the root.
void clear(Registry& r) {
  auto tx = r.begin();
  check(tx.ok());
  auto subs = r.subkeys("");
  check(subs.ok());
  for (const std::string& k : *subs) check(r.delete_key(k).ok());
  auto vals = r.values("");
  check(vals.ok());
  for (const auto& v : *vals) check(r.delete_value("", v.name).ok());
  check((*tx)->commit().ok());
}

std::string exported(Registry& r) {
  auto t = export_text(r);
  check(t.ok());
  return t.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  Stores& s = stores();
  clear(*s.main);
  check(import_text(*s.main, kSeed).ok());
  const std::string before = exported(*s.main);

  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto st = import_text(*s.main, text);
  const std::string after = exported(*s.main);
  if (!st.ok()) {
    check(st.err == EINVAL);
    check(st.msg.rfind("line ", 0) == 0);
    check(after == before);
    return 0;
  }
  clear(*s.copy);
  check(import_text(*s.copy, after).ok());
  check(exported(*s.copy) == after);
  return 0;
}
