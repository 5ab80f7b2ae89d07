// Helpers for log text: escaping what clients send, the level names.
#include <string>
#include <string_view>

#include "log/log.h"
#include "log/utf8.h"

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

namespace {

void append_hex(std::string& out, unsigned char u) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[u >> 4];
  out += kHex[u & 15];
}

}  // namespace

std::string escape_for_log(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    // SECURITY: a client's CR or LF would otherwise start a forged line in the screen log and
    // the log file; other control characters could drive the administrator's terminal. The C1
    // controls (0x80-0x9F) do that too, on terminals that take them as single bytes and on
    // those that take them UTF-8 encoded (U+0080-U+009F), so both forms are escaped as well.
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u <= 0x9f)) {
      append_hex(out, u);
    } else if (u >= 0x80) {
      const size_t len = utf8_sequence(text, i);
      if (len == 2 && u == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
        append_hex(out, u);
        append_hex(out, static_cast<unsigned char>(text[i + 1]));
      } else if (len > 0) {
        out.append(text.substr(i, len));
      } else {
        out += c;  // a stray byte above 0x9F: a printable character in the single-byte sets
      }
      i += len > 0 ? len : 1;
      continue;
    } else {
      out += c;
    }
    ++i;
  }
  return out;
}

const char* level_name(int level) {
  return level >= 0 && level <= 6 ? kLevelNames[level] : "";
}

}  // namespace qorda::log
