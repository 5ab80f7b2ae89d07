// The home directory and the store inside it.
#include "app/commands.h"
#include "platform/fileio.h"

namespace qorda::app {

// Beside open_store (not in main.cpp) so that every user of the app library links.
std::string store_path(const Context& ctx) { return ctx.home + "/qorda.db"; }

platform::Result<std::unique_ptr<platform::Registry>> open_store(const Context& ctx,
                                                                 platform::Registry::Mode mode) {
  if (mode == platform::Registry::Mode::ReadWrite) {
    // SECURITY: the home holds the accounts' password encodings; only its owner may look in.
    if (platform::Status s = platform::make_directories(ctx.home, 0700); !s) {
      return platform::Status::error(s.err, "cannot create the home directory: " + s.msg);
    }
  }
  return platform::Registry::open(store_path(ctx), mode);
}

}  // namespace qorda::app
