// What the window tests share: a ServerControl on a temporary home (a fresh store, drive c:,
// test settings, a manual clock) and pumping that lets Qt and the engine run until a condition
// holds, with a deadline instead of a sleep.
#pragma once

#include <QCoreApplication>
#include <functional>
#include <memory>

#include "admin/server_control.h"
#include "platform/clock.h"
#include "store/settings.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

class GuiServer {
 public:
  // Settings are test defaults (no DNS, no banners, screen level 6, no log file, a free port)
  // before `configure` runs. The server is not switched on.
  explicit GuiServer(const std::function<void(store::ServerSettings&)>& configure = {});
  ~GuiServer();

  admin::ServerControl& control() { return *control_; }
  uint16_t port() const { return port_; }
  const std::string& home() const { return home_.path(); }
  // Advances the manual clock and runs one engine tick (with its after-tick signal).
  void tick(uint32_t ms = 250);
  // Processes Qt events (the loop's notifier among them) once.
  void pump();
  // Pumps until `done` holds; false after about 4000 rounds without it.
  bool pump_until(const std::function<bool()>& done);

  platform::ManualClock clock;

 private:
  TempDir home_;
  std::unique_ptr<admin::ServerControl> control_;
  uint16_t port_ = 0;
};

// An FTP client whose waits pump the window's event processing.
std::unique_ptr<FtpClient> gui_client(GuiServer& srv);

}  // namespace qorda::test
