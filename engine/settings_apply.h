// What a change of the server settings needs beyond the new values themselves. Readers use the
// process-wide record directly, so most changes take effect at their next use; the port and the
// log file need the engine's help: a new port closes and reopens the engine (dropping every
// client), a new file level or path closes or opens the log file.
#pragma once

#include <memory>

#include "engine/netmodule.h"
#include "store/settings.h"

namespace qorda::engine {

// Closes, opens or keeps the log file as the change from `before` to the current settings asks,
// logging "logging to file ...", "error: can't open log file ..." and "logging to screen only."
// as the settings pages do. `rotate`: a file that would stay open is closed and opened again
// (log rotation), which logs as any open does. Applies the screen and file levels too.
void apply_log_file_change(const store::ServerSettings& before, bool rotate);

struct ApplyOutcome {
  bool restarted = false;  // the engine was closed and opened again for a new port
  bool server_on = true;   // an engine with a listener runs afterwards
};

// Makes `fresh` the process-wide settings and reacts to what changed. With the engine open: a
// new port closes it and opens it again on that port; if no listener can be made there, the
// engine is closed again and the server stays off (`net` then holds the closed engine, whose
// listen_error() says why). Otherwise the screen and file levels are applied at once and the log
// file follows apply_log_file_change. With the engine closed only the levels are applied (the
// next open opens the log file). The host name filled in at engine start is kept while
// szhostname stays empty and boverride off.
ApplyOutcome apply_settings(store::ServerSettings fresh, std::unique_ptr<NetModule>& net,
                            const EngineEnv& env, bool rotate_log);

}  // namespace qorda::engine
