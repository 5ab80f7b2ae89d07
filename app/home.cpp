// The home directory and the store inside it.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "app/commands.h"
#include "platform/fileio.h"

namespace qorda::app {

// Beside open_store (not in main.cpp) so that every user of the app library links.
std::string store_path(const Context& ctx) { return ctx.home + "/qorda.db"; }

namespace {

std::string default_home() {
  if (const char* h = std::getenv("QORDA_HOME"); h && *h) return h;
  if (geteuid() == 0) return "/var/lib/qorda";
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/qorda";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/share/qorda";
  return "/var/lib/qorda";
}

std::string missing_store_text(const Context& ctx) {
  return ctx.home + " is not a qorda home: there is no store " + store_path(ctx) +
         ". Check --home, or create one with 'qorda --home " + ctx.home + " init'.";
}

// How to recover from a store that was refused with `err`; empty when the remedy is not a new
// store (a lock, a permission, a newer qorda).
std::string store_recovery_hint(const Context& ctx, int err) {
  const std::string home = "'qorda --home " + ctx.home;
  if (err == ENODATA) {
    return home + " init' makes a new store in its place; " + home +
           " reg import FILE' then restores an export.";
  }
  if (err == EINVAL || err == EBADMSG) {
    return "Move it aside (it is never overwritten); then " + home +
           " init' makes a new store and " + home + " reg import FILE' restores an export.";
  }
  return {};
}

}  // namespace

std::string resolve_home(const std::string& given) {
  std::string home = given.empty() ? default_home() : given;
  // Drive c: defaults to <home>/c and drive directories must be absolute, so a relative home
  // (--home demo-home) is taken from the working directory once, here.
  if (std::error_code ec; home.front() != '/') {
    std::filesystem::path abs = std::filesystem::absolute(home, ec).lexically_normal();
    if (!ec) home = abs.string();
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

platform::Result<std::unique_ptr<platform::Registry>> open_store(const Context& ctx,
                                                                 platform::Registry::Mode mode,
                                                                 MissingStore missing) {
  const std::string db = store_path(ctx);
  if (mode != platform::Registry::Mode::ReadOnly) {
    if (missing == MissingStore::Create) {
      // SECURITY: the home holds the accounts' password encodings; only its owner may look in.
      if (platform::Status s = platform::make_directories(ctx.home, 0700); !s) {
        return platform::Status::error(s.err, "cannot create the home directory: " + s.msg);
      }
    } else if (std::error_code ec;
               std::filesystem::status(db, ec).type() == std::filesystem::file_type::not_found) {
      // SECURITY: a mistyped --home must not become a new, empty site (a server on port 21
      // with no accounts, or settings written where nobody will look): only init creates one.
      return platform::Status::error(ENOENT, missing_store_text(ctx));
    }
  }
  auto reg = platform::Registry::open(db, mode);
  if (!reg && reg.err == ENOENT) reg.msg = missing_store_text(ctx);
  // SECURITY: an empty or damaged store is never taken for a new one (that would serve port 21
  // with no accounts and lose the configuration for good); every command says how to recover.
  if (!reg) {
    if (std::string hint = store_recovery_hint(ctx, reg.err); !hint.empty()) {
      reg.msg += ". " + hint;
    }
  }
  return reg;
}

}  // namespace qorda::app
