#include "log/screen_log.h"

#include "log/limits.h"

namespace qorda::log {

void ScreenLog::screen_line(std::string_view line) {
  bool dropped = false;
  if (lines_.size() >= kScreenLogMaxLines) {
    lines_.pop_front();
    dropped = true;
  }
  lines_.emplace_back(line);
  if (on_change_) on_change_(lines_.back(), dropped);
}

void ConsoleSink::screen_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace qorda::log
