#include "log/log.h"

#include <cstdio>

#include "log/limits.h"
#include "log/utf8.h"
#include "platform/clock.h"
#include "platform/logfile.h"

namespace qorda::log {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr const char* kCantWrite = "error: can't write to log file.";

}  // namespace

void Logger::set_levels(int screen, int file) {
  screen_level_ = screen;
  file_level_ = file;
}

platform::Status Logger::open_file(const std::string& local_path) {
  fd_.reset();
  path_ = local_path;
  auto r = platform::open_append(local_path);
  if (!r) return r.status();
  fd_ = std::move(r.value);
  return {};
}

void Logger::close_file() {
  fd_.reset();
}

platform::Status Logger::reopen_file() {
  if (path_.empty()) return platform::Status::error(ENOENT, "no log file was opened");
  std::string path = path_;
  return open_file(path);
}

bool Logger::file_open() const {
  return fd_.valid();
}

int Logger::file_fd() const {
  return fd_.get();
}

const std::string& Logger::file_path() const {
  return path_;
}

Logger::~Logger() = default;

void Logger::log(Level level, uint32_t id, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(level, id, fmt, ap);
  va_end(ap);
}

void Logger::vlog(Level level, uint32_t id, const char* fmt, va_list ap) {
  // A line no destination takes is not even formatted.
  if (level > Level::Engine && !wants(level)) return;
  char buf[kLogBufferSize];
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  size_t len = 0;
  if (n > 0) {
    // A text longer than the buffer is cut, never in the middle of a character.
    len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n)
                                              : utf8_whole({buf, sizeof buf - 1});
  }
  std::string_view text(buf, len);

  if (level <= Level::Engine) {
    // Engine messages: always on screen, as they are, never in the file.
    if (screen_) screen_->screen_line(text);
    return;
  }

  bool to_screen = shown_at(level, screen_level_) && screen_;
  bool to_file = shown_at(level, file_level_);
  if (!to_screen && !to_file) return;

  platform::LocalTime t = platform::clock().local_now();
  if (to_screen) {
    char prefix[64];
    int p = std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d [%04x] ", t.hour, t.minute,
                          t.second, id);
    std::string line(prefix, static_cast<size_t>(p));
    line.append(text);
    screen_->screen_line(line);
  }
  if (to_file) {
    char prefix[96];
    const char* month = t.month >= 1 && t.month <= 12 ? kMonths[t.month - 1] : "???";
    int p = std::snprintf(prefix, sizeof prefix, "%02d %s %4d %02d:%02d:%02d [%04x] ", t.day, month,
                          t.year, t.hour, t.minute, t.second, id);
    std::string line(prefix, static_cast<size_t>(p));
    line.append(text);
    line.append("\r\n");
    bool written = false;
    if (fd_.valid()) {
      // One write per line, so that lines of concurrent writers never interleave.
      platform::IoResult w = platform::write_once(fd_.get(), line);
      written = w.ok() && w.n == line.size();
    }
    if (!written && screen_) screen_->screen_line(kCantWrite);
  }
}

Logger& logger() {
  static Logger l;
  return l;
}

}  // namespace qorda::log
