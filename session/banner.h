// Administrator text shown to clients: the welcome and goodbye banners and the message files
// "welcome.msg" and ".message". Every line passes through one token expansion that inserts live
// values (time, host names, client counts, the user's directory and free space).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace qorda::session {

class Session;

// Day and month names as the server writes dates: weekday 0 is Sunday, month 1 is January.
inline constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The message files a directory may hold.
inline constexpr const char* kWelcomeFile = "welcome.msg";
inline constexpr const char* kMessageFile = ".message";

// A message file is read in blocks of this many bytes; a longer line arrives in pieces.
inline constexpr size_t kMessageBlock = 505;
// SECURITY: a message file is the administrator's (or, in a writable directory, a client's)
// file; a huge one must not flood the control connection or hold the server. At most this many
// bytes of a file are shown.
inline constexpr uint64_t kMaxMessageBytes = 32 * 1024;

// What the tokens are filled from. The session-only values are used only when logged_in.
struct TokenValues {
  platform::LocalTime now;
  std::string remote_host;  // %R
  std::string host_name;    // %L
  int connections = 0;      // %N
  int max_clients = 0;      // %M
  bool logged_in = false;
  std::string current_dir;  // %C, as the user sees it
  std::string user;         // %U
  // %F: free bytes of the volume of the current directory; nullopt when it cannot be queried.
  // Asked only when the line holds %F.
  std::function<std::optional<uint64_t>()> free_bytes;
};

// Expands the tokens of one line: the text up to its end or its first CR, LF or NUL; "%%" is
// "%", %T %R %L %N %M %C %F %U (any case) their values, any other "%X" stays as written, and a
// "%" at the very end gives nothing.
std::string expand_tokens(const TokenValues& v, std::string_view line);

// The token values of a session at this moment.
TokenValues session_tokens(Session& s);

// Splits the text of a message file into the lines that are shown. `read` fills up to n bytes
// and returns how many (0 at the end or on error). The text is taken in blocks of kMessageBlock
// bytes; a line ends at its first line feed (a CR right before it is dropped) and the rest of the
// block starts the next one; a block without line feed is one line. Calls `line` for each.
void message_lines(const std::function<size_t(char*, size_t)>& read,
                   const std::function<void(std::string_view)>& line);

// Sends every line of the file `name` in the virtual directory `dir` with the continuation form
// of `code`, through the token expansion. Nothing when the file cannot be opened as a regular
// file.
void send_message_file(Session& s, const std::string& dir, const char* name, int code);
// As send_message_file for several names of one directory, in the order given; the names are
// looked up together, with at most one read of the directory for those not found as typed.
void send_message_files(Session& s, const std::string& dir,
                        const std::vector<std::string_view>& names, int code);

}  // namespace qorda::session
