// Getting a home ready for a server run: what `qorda serve` and the administration window
// (qorda-gui) both do before the engine starts, with the same checks and the same messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/commands.h"
#include "engine/netmodule.h"
#include "platform/lockfile.h"
#include "platform/registry.h"
#include "platform/result.h"

namespace qorda::app {

// Parses a port number 0..65535 (0: no listener); false on anything else.
bool parse_port(const std::string& text, uint32_t* port);

// The step of prepare_server_home that refused a home.
enum class HomeStep { None, Store, Lock, KeyTree, DriveTable };

struct ServerHome {
  std::unique_ptr<platform::Registry> store;  // open for the whole run
  platform::InstanceLock lock;                // one server per home, held for the whole run
  // On failure: the step, its error code, and the text a program prints after "PROGRAM: ".
  HomeStep failed = HomeStep::None;
  platform::Status status;

  bool ok() const { return status.ok(); }
};

// Why the engine has no listener after opening on `port`, in words for the administrator (the
// port in use, no permission for a low port, port 0, ...).
std::string listener_failure(const engine::NetModule& net, uint32_t port);

// Opens the home's store (a missing one is refused, never created), takes the home's lock,
// makes sure the key tree exists, loads the settings (`port`, when given, in place of iport) and
// the drive table, and records the start time, start tick and start-up drive. Nothing is
// written before the lock is held.
ServerHome prepare_server_home(const Context& ctx, std::optional<uint32_t> port);

}  // namespace qorda::app
