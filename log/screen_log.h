// Destinations of screen lines: the activity list kept in memory (the GUI's model and the
// tests') and the console of `qorda serve`.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "log/log.h"

namespace qorda::log {

// The activity log: at most kScreenLogMaxLines lines; when full, the oldest line is removed
// before the new one is appended.
class ScreenLog final : public ScreenSink {
 public:
  // Called after every append with the new line; `dropped_oldest` tells a view that the first
  // line went away first.
  using ChangeCallback = std::function<void(const std::string& added, bool dropped_oldest)>;

  void screen_line(std::string_view line) override;
  const std::deque<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }
  void set_on_change(ChangeCallback cb) { on_change_ = std::move(cb); }

 private:
  std::deque<std::string> lines_;
  ChangeCallback on_change_;
};

// Writes each screen line to a stream (standard output by default), one line each, flushed per
// line so that a pipe or a journal sees it at once. The stream is not owned.
class ConsoleSink final : public ScreenSink {
 public:
  explicit ConsoleSink(std::FILE* out = stdout) : out_(out) {}
  void screen_line(std::string_view line) override;

 private:
  std::FILE* out_;
};

}  // namespace qorda::log
