// What the engine tells whatever shows the server (the console of `serve`, the GUI): the client
// count and tray tip, the connected-clients list, activity-log lines, the server switch and the
// examine window. The engine calls these on its one thread; an observer never calls back into
// the engine from inside them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "log/log.h"
#include "log/screen_log.h"

namespace qorda::engine {

// Activity-log lines arrive through log::ScreenSink::screen_line (the Logger's screen
// destination); install the observer with log::logger().set_screen().
class Observer : public log::ScreenSink {
 public:
  // The number of sessions changed (or the engine opened/closed); `tray_tip` is the text
  // "<product> <version> (<n> user[s])".
  virtual void client_count(int count, const std::string& tray_tip) = 0;
  // A session's client-list line was added or replaced (`id` is its control socket handle).
  virtual void client_line(uint32_t id, const std::string& line) = 0;
  virtual void client_line_removed(uint32_t id) = 0;
  // The server switch moved (on: the engine is open and working).
  virtual void switch_position(bool on) = 0;
  // A command or reply line of an examined session, and the examine window's caption.
  virtual void examine_line(uint32_t id, std::string_view line) = 0;
  virtual void examine_caption(uint32_t id, std::string_view caption) = 0;
};

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
