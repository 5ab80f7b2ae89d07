// SIGHUP in `qorda serve`: the settings are read again from the store and applied as the
// settings pages apply a save (a new port restarts the engine, log level and file changes reopen
// or close the log file, everything else takes effect at its next use), and the log file is
// reopened for rotation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/netmodule.h"
#include "engine/settings_apply.h"
#include "platform/registry.h"
#include "platform/result.h"
#include "store/settings.h"

namespace qorda::app {

// The settings as the store holds them now, read in one snapshot, with the run's --port
// override in place of iport. An error (nothing read) when the store cannot be read at the
// moment, for example while another process holds it for longer than the busy timeout.
platform::Result<store::ServerSettings> read_settings_snapshot(
    platform::Registry& reg, std::optional<uint32_t> port_override);

// Reloads and applies. When the store cannot be read, the settings stay as they are (the log
// file is still reopened) and the reason is logged. server_on is false when the engine ended up
// without a listener (a new port that cannot be bound): the run is then over.
engine::ApplyOutcome reload_settings(platform::Registry& reg, std::optional<uint32_t> port_override,
                                     std::unique_ptr<engine::NetModule>& net,
                                     const engine::EngineEnv& env);

}  // namespace qorda::app
