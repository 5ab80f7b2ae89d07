// The control protocol. A client sends one request line of plain words:
//
//   status | who | kick ID [disable] [ban] | log LINES [follow] | stop [when-idle] | switch on|off
//
// (ID in hexadecimal, as the log shows it between brackets), and reads answer lines, each one
// JSON object. A one-shot answer is a single line with "ok" (true, with the figures; false, with
// "error" and "message"), after which the server closes the connection. `log` first sends one
// {"line":...} per logged line and then {"ok":true,...}; with `follow` every later line comes
// the same way. Followers, and the client of `stop`, get {"event":"exit",...} when the server
// ends.
//
// This header holds the parts both ends share: the request words, a small JSON writer and
// reader, and the plain texts `qorda` prints for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/session.h"

namespace qorda::control {

// ---- requests ----

enum class Verb { Status, Who, Kick, Log, Stop, Switch };

struct Request {
  Verb verb = Verb::Status;
  uint32_t id = 0;         // kick
  bool disable = false;    // kick
  bool ban = false;        // kick
  size_t lines = 0;        // log: the last lines to send first (at most the screen log's size)
  bool follow = false;     // log
  bool when_idle = false;  // stop
  bool on = false;         // switch
};

struct ParsedRequest {
  std::optional<Request> request;
  std::string error;  // why the line was refused (when `request` is empty)
};

// Parses one request line (without its line feed; a trailing CR is allowed). Refuses anything
// but the words above, single-space separated printable ASCII of at most kMaxRequestBytes.
ParsedRequest parse_request(std::string_view line);
// The line a client sends for a request, with its line feed.
std::string request_line(const Request& r);
// Parses a connection id as the log shows it: "0005", "[0005]", "5" (hexadecimal).
std::optional<uint32_t> parse_connection_id(std::string_view text);

// ---- JSON ----

// `text` as a JSON string literal. Control characters, quotes and backslashes are escaped;
// bytes that are not well-formed UTF-8 are written as the code point of the same number, so
// the answer stays valid UTF-8 whatever a client's name holds.
std::string json_quote(std::string_view text);
// A number with `decimals` digits after the point, whatever the process's locale.
std::string json_number(double value, int decimals);

// Builds one JSON object, member by member, in order.
class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view text);
  JsonObject& add(std::string_view key, const char* text) {
    return add(key, std::string_view(text));
  }
  JsonObject& add(std::string_view key, bool value);
  JsonObject& add(std::string_view key, int64_t value);
  JsonObject& add(std::string_view key, uint64_t value) {
    return add(key, static_cast<int64_t>(value));
  }
  JsonObject& add(std::string_view key, uint32_t value) { return add(key, int64_t{value}); }
  JsonObject& add(std::string_view key, int value) { return add(key, int64_t{value}); }
  JsonObject& add_real(std::string_view key, double value, int decimals);
  JsonObject& add_null(std::string_view key);
  // `json` is already JSON text (an object or an array).
  JsonObject& add_raw(std::string_view key, std::string_view json);
  std::string str() const { return body_ + "}"; }

 private:
  void key(std::string_view k);
  std::string body_ = "{";
};

// A parsed JSON value.
struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;  // Array
  // Object: the member names and their values, in order (two lists, as a pair would need the
  // value type complete here).
  std::vector<std::string> names;
  std::vector<JsonValue> values;

  // The member `key` of an object; null when absent (or not an object).
  const JsonValue* get(std::string_view key) const;
  // Conveniences with a fallback for a missing or mistyped member.
  std::string str(std::string_view key, std::string_view fallback = {}) const;
  double num(std::string_view key, double fallback = 0) const;
  bool flag(std::string_view key, bool fallback = false) const;
};

// Parses one JSON text (a whole line); nothing when it is not well-formed JSON.
std::optional<JsonValue> parse_json(std::string_view text);

// ---- answers (the server's side) ----

// {"ok":false,"error":CODE,"message":TEXT}
std::string error_answer(std::string_view code, std::string_view message);
// One connection of `who` as a JSON object.
std::string connection_json(const session::ConnectionView& v);

// ---- plain texts (the client's side) ----

// "[0005]": a connection id as the log shows it.
std::string id_text(uint32_t id);
// "hh:mm:ss" (hours not wrapped).
std::string duration_text(uint64_t ms);
// `retrieving "name" 1234 of 5678 bytes, 12.34 kb/s`, `storing ...`, or "none".
std::string transfer_text(std::string_view direction, std::string_view file, uint64_t position,
                          uint64_t total, double rate_kbps);
// The answer of `status` as lines "name:  value".
std::string status_table(const JsonValue& answer);
// The answer of `who` as a table with a heading, or a line saying nobody is connected.
std::string who_table(const JsonValue& answer);
// What `kick` did, in one line.
std::string kick_text(const JsonValue& answer);

}  // namespace qorda::control
