// The one log call. A line goes to the screen log when its level is at most the screen level and
// to the log file when it is at most the file level; level 0 lines (engine messages) go to the
// screen only, without a time stamp.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::log {

// Levels of a line (and, as settings, the highest level shown).
enum class Level : int {
  Engine = 0,    // engine messages; as a setting "no logging"
  Security = 1,  // connections, logins, refused logins, password changes
  Writes = 2,    // file and directory writes
  Reads = 3,     // file and directory reads
  Actions = 4,   // all user actions
  Commands = 5,  // commands and replies
  Debug = 6,     // server internals
};

// Where screen lines go: the console in `serve`, the activity list in the GUI.
class ScreenSink {
 public:
  virtual ~ScreenSink() = default;
  virtual void screen_line(std::string_view line) = 0;
};

class Logger {
 public:
  // Levels as the settings hold them, the highest Level shown; read at every line, so a change
  // takes effect at the next one.
  void set_levels(int screen, int file);
  int screen_level() const { return screen_level_; }
  // Whether a line of this level reaches any destination, so a caller can skip preparing it.
  bool wants(Level level) const {
    if (level <= Level::Engine) return screen_ != nullptr;
    return (shown_at(level, screen_level_) && screen_ != nullptr) || shown_at(level, file_level_);
  }
  int file_level() const { return file_level_; }

  // Not owned; null drops screen lines.
  void set_screen(ScreenSink* s) { screen_ = s; }
  ScreenSink* screen() const { return screen_; }

  // Opens `local_path` for appending (created when absent). The Logger owns the descriptor.
  platform::Status open_file(const std::string& local_path);
  void close_file();
  // Closes and opens again the file last opened (log rotation). ENOENT when none was opened.
  platform::Status reopen_file();
  bool file_open() const;
  int file_fd() const;                   // -1 when no file is open
  const std::string& file_path() const;  // local path last given to open_file

  // `id` is the control connection's socket handle, 0 for engine lines. Long lines are cut.
  void log(Level level, uint32_t id, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
  void vlog(Level level, uint32_t id, const char* fmt, va_list ap)
      __attribute__((format(printf, 4, 0)));

  ~Logger();

 private:
  // Whether a line of `level` passes the level setting `setting`.
  static bool shown_at(Level level, int setting) { return static_cast<int>(level) <= setting; }

  int screen_level_ = 4;
  int file_level_ = 0;
  ScreenSink* screen_ = nullptr;
  platform::UniqueFd fd_;  // the open log file
  std::string path_;
};

// The process-wide logger.
Logger& logger();

// Text that came from a client, made safe to log: CR, LF, the other control characters below
// 0x20, DEL and the C1 controls (bytes 0x80-0x9F outside a UTF-8 sequence, and U+0080-U+009F
// encoded) are written as \r, \n or \xNN per byte, so a client can neither forge or split log
// lines nor drive the terminal that shows them. Other UTF-8 text passes as it is.
std::string escape_for_log(std::string_view text);

// Level name as the settings offer it ("4. log all user actions"); "" outside 0..6.
const char* level_name(int level);

}  // namespace qorda::log
