#include "app/reload.h"

#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/volume.h"
#include "store/drives.h"

namespace qorda::app {

bool reload_drive_table(platform::Registry& reg, const std::string& home) {
  // Read into a table of its own first: a store that cannot be read leaves the drives in use
  // untouched rather than half-filled.
  platform::DriveTable fresh;
  if (platform::Status st = store::load_drive_table(reg, home, fresh); !st) {
    const std::string why = st.msg.empty() ? std::strerror(st.err) : st.msg;
    log::logger().log(log::Level::Engine, 0,
                      "error: can't read the drive table (%s); the drives stay as they are.",
                      why.c_str());
    return false;
  }
  // The table is copied into place: nothing keeps a reference into it between messages, and
  // its slots stay where they are, so no session is left pointing at freed memory.
  platform::drive_table() = fresh;
  if (char d = fresh.startup_drive(); d != 0) store::startup().startup_drive = d;
  return true;
}

platform::Result<store::ServerSettings> read_settings_snapshot(
    platform::Registry& reg, std::optional<uint32_t> port_override) {
  // A transaction gives one consistent view of the Setup key (a `qorda set` running meanwhile
  // is seen wholly or not at all) and fails when the store is busy or unreadable, where a
  // plain load would silently take every default, port 21 included. Nothing is written; the
  // transaction is rolled back when it goes out of scope.
  auto tx = reg.begin();
  if (!tx) return tx.status();
  store::ServerSettings s;
  s.load(reg);
  if (port_override) s.iport = *port_override;
  return s;
}

engine::ApplyOutcome reload_settings(platform::Registry& reg, std::optional<uint32_t> port_override,
                                     std::unique_ptr<engine::NetModule>& net,
                                     const engine::EngineEnv& env) {
  auto fresh = read_settings_snapshot(reg, port_override);
  if (!fresh) {
    const std::string why = fresh.msg.empty() ? std::strerror(fresh.err) : fresh.msg;
    log::logger().log(log::Level::Engine, 0,
                      "error: can't read the settings (%s); nothing changed.", why.c_str());
    return engine::apply_settings(store::settings(), net, env, true);
  }
  engine::ApplyOutcome out = engine::apply_settings(std::move(*fresh), net, env, true);
  if (out.server_on) log::logger().log(log::Level::Engine, 0, "settings reloaded.");
  return out;
}

}  // namespace qorda::app
