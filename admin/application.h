// The administration program (qorda-gui) once its QApplication exists: one window per home, the
// home prepared as `qorda serve` prepares it, the engine on the GUI's thread, the windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "admin/single_instance.h"
#include "app/server_home.h"

namespace qorda::admin {

struct GuiOptions {
  std::string home;              // absolute (app::resolve_home)
  std::optional<uint32_t> port;  // in place of iport for this run
};

// What start-up decided for this process.
struct Startup {
  enum class Outcome {
    Run,       // the home is ours: `home` holds its store and lock, `instance` answers later starts
    Restored,  // a window already runs on the home and was asked to come forward
    Refused,   // `message` says why (what follows "qorda-gui: ")
  };
  Outcome outcome = Outcome::Refused;
  app::ServerHome home;
  std::string message;
};

// The steps before any window. A window already running on the home is asked to come forward
// first, so a second start touches nothing of the home. Otherwise the home is prepared (store,
// lock, settings, drive table) and `instance` starts answering; a home whose lock is held with
// no window answering belongs to a server without one (`qorda serve`).
Startup start_up(SingleInstance& instance, const GuiOptions& options);

// The whole program: start-up, the engine switched on, the windows, the event loop until the
// last window closes (or SIGTERM or SIGINT), the engine switched off. Returns the exit status.
int run_gui(const GuiOptions& options);

}  // namespace qorda::admin
