// Helpers for log text: escaping what clients send, the level names.
#include <string>
#include <string_view>

#include "log/log.h"

namespace qorda::log {

namespace {

constexpr const char* kLevelNames[7] = {
    "0. no logging",
    "1. log security messages",
    "2. log file/directory writes",
    "3. log file/directory reads",
    "4. log all user actions",
    "5. log commands and replies",
    "6. DEBUG server internals",
};

}  // namespace

std::string escape_for_log(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    // SECURITY: a client's CR or LF would otherwise start a forged line in the screen log and
    // the log file; other control characters could drive the administrator's terminal.
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

const char* level_name(int level) {
  return level >= 0 && level <= 6 ? kLevelNames[level] : "";
}

}  // namespace qorda::log
