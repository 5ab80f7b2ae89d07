// Opening the store of a home.
#include <filesystem>
#include <system_error>

#include "app/commands.h"

namespace qorda::app {

std::string store_path(const Context& ctx) {
  return ctx.home + "/qorda.db";
}

platform::Result<std::unique_ptr<platform::Registry>> open_store(const Context& ctx,
                                                                 platform::Registry::Mode mode) {
  namespace fs = std::filesystem;
  if (mode == platform::Registry::Mode::ReadWrite) {
    std::error_code ec;
    if (!fs::exists(ctx.home, ec)) {
      if (!fs::create_directories(ctx.home, ec)) {
        return platform::Status::error(ec.value(),
                                       "can't create the home " + ctx.home + ": " + ec.message());
      }
      // The home holds the accounts: only its owner may look inside.
      fs::permissions(ctx.home, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
  }
  return platform::Registry::open(store_path(ctx), mode);
}

}  // namespace qorda::app
