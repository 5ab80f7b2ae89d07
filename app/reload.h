// SIGHUP in `qorda serve`: the drive table and the settings are read again from the store; the
// settings are applied as the settings pages apply a save (a new port restarts the engine, log
// level and file changes reopen or close the log file, everything else takes effect at its next
// use), and the log file is reopened for rotation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

// Reads the drive table of the store again (with no drives set, c: is <home>/c) and puts it in
// place of the one in use: every path mapped from then on, by new sessions and by those logged
// in, goes through the new table. When the store cannot be read, the table stays as it is and
// the reason is logged; false then.
bool reload_drive_table(platform::Registry& reg, const std::string& home);

// Reloads and applies. When the store cannot be read, the settings stay as they are (the log
// file is still reopened) and the reason is logged. server_on is false when the engine ended up
// without a listener (a new port that cannot be bound): the run is then over.
engine::ApplyOutcome reload_settings(platform::Registry& reg, std::optional<uint32_t> port_override,
                                     std::unique_ptr<engine::NetModule>& net,
                                     const engine::EngineEnv& env);

}  // namespace qorda::app
