// What the engine tells whatever shows the server (the console of `serve`, the GUI): the client
// count and tray tip, the connected-clients list, activity-log lines, the server switch, the
// examine window and the end of every tick. The engine calls these on its one thread; an
// observer never calls back into the engine from inside them, except from after_tick, which
// runs once the tick is over and may read the engine's views.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "log/log.h"
#include "log/screen_log.h"

namespace qorda::engine {

// Activity-log lines arrive through log::ScreenSink::screen_line (the Logger's screen
// destination). install_observer installs an observer for both.
class Observer : public log::ScreenSink {
 public:
  // The number of sessions changed (or the engine opened/closed); `tray_tip` is the text
  // "<product> <version> (<n> user[s])".
  virtual void client_count(int count, const std::string& tray_tip) = 0;
  // The connected-clients list: a session's line was added or replaced (`id` is its control
  // socket handle; a replaced line moves to the end of the list), or the session is gone. The
  // one channel of the list: log::ClientList keeps a copy of it for a view that wants one.
  virtual void client_line(uint32_t id, const std::string& line) = 0;
  virtual void client_line_removed(uint32_t id) = 0;
  // The server switch moved (on: the engine is open and working).
  virtual void switch_position(bool on) = 0;
  // A command or reply line of an examined session, and the examine window's caption.
  virtual void examine_line(uint32_t id, std::string_view line) = 0;
  virtual void examine_caption(uint32_t id, std::string_view caption) = 0;
  // A timer tick has finished (the refresh point of the live windows).
  virtual void after_tick() {}
};

// The one place an observer is installed: it becomes the activity log's screen destination and
// the view of every engine, until the returned installation is destroyed (which restores the
// one installed before). The observer must outlive its installation.
class ObserverInstallation {
 public:
  explicit ObserverInstallation(Observer& o);
  ~ObserverInstallation();
  ObserverInstallation(const ObserverInstallation&) = delete;
  ObserverInstallation& operator=(const ObserverInstallation&) = delete;

 private:
  Observer* previous_;
  log::ScreenSink* previous_screen_;
};

// The installed observer; one that shows nothing when none is installed.
Observer& installed_observer();

// The console of `qorda serve`: activity lines go to `out`, one per line, flushed at once (so a
// pipe or a log collector sees them as they happen). The other views have no console form.
class ConsoleObserver final : public Observer {
 public:
  explicit ConsoleObserver(std::FILE* out) : console_(out) {}
  void screen_line(std::string_view line) override { console_.screen_line(line); }
  void client_count(int, const std::string&) override {}
  void client_line(uint32_t, const std::string&) override {}
  void client_line_removed(uint32_t) override {}
  void switch_position(bool) override {}
  void examine_line(uint32_t, std::string_view) override {}
  void examine_caption(uint32_t, std::string_view) override {}

 private:
  log::ConsoleSink console_;
};

}  // namespace qorda::engine
