#include "engine/settings_apply.h"

#include <string>

#include "log/log.h"

namespace qorda::engine {

void apply_log_file_change(const store::ServerSettings& before, bool rotate) {
  const store::ServerSettings& after = store::settings();
  log::Logger& lg = log::logger();
  lg.set_levels(static_cast<int>(after.ilogls), static_cast<int>(after.iloglf));

  // Rotation closes a file that would stay open, so that the open below starts a new one at
  // the configured path (and says so).
  const bool path_changed = after.szlogf != before.szlogf;
  if (lg.file_open() && (after.iloglf == 0 || path_changed || rotate)) lg.close_file();

  bool wanted_but_closed = false;
  if (after.iloglf > 0 && !lg.file_open()) {
    wanted_but_closed = !open_log_file(after.szlogf);
  }
  if ((before.iloglf > 0 && after.iloglf == 0) || wanted_but_closed) {
    log::logger().log(log::Level::Engine, 0, "logging to screen only.");
  }
}

ApplyOutcome apply_settings(store::ServerSettings fresh, std::unique_ptr<NetModule>& net,
                            const EngineEnv& env, bool rotate_log) {
  ApplyOutcome out;
  store::ServerSettings& current = store::settings();
  const store::ServerSettings before = current;
  const bool running = net && net->is_open();

  // The in-memory fill-in made when the engine started is not in the store; keep it.
  if (running && fresh.szhostname.empty() && fresh.boverride == 0) {
    fresh.szhostname = net->local_name();
  }
  current = std::move(fresh);

  if (running && current.iport != before.iport) {
    // Opening applies the levels and opens the log file from the new settings itself.
    net->close();
    net = NetModule::open(env);
    out.restarted = true;
    if (!net->listening()) {
      net->close();
      out.server_on = false;
    }
    return out;
  }
  if (!running) {
    // The log file belongs to the engine: the next open opens it from these settings.
    log::logger().set_levels(static_cast<int>(current.ilogls), static_cast<int>(current.iloglf));
    out.server_on = false;
    return out;
  }
  apply_log_file_change(before, rotate_log);
  out.server_on = net->listening();
  return out;
}

}  // namespace qorda::engine
