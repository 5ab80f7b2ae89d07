#include "control/protocol.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "control/limits.h"
#include "log/limits.h"
#include "log/log.h"
#include "log/utf8.h"

namespace qorda::control {

namespace {

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i <= line.size()) {
    const size_t sp = line.find(' ', i);
    const size_t end = sp == std::string_view::npos ? line.size() : sp;
    words.push_back(line.substr(i, end - i));
    if (sp == std::string_view::npos) break;
    i = sp + 1;
  }
  return words;
}

std::optional<uint64_t> parse_decimal(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A recursive-descent reader over one line of JSON.
class JsonReader {
 public:
  explicit JsonReader(std::string_view t) : t_(t) {}

  std::optional<JsonValue> document() {
    std::optional<JsonValue> v = value(0);
    skip_space();
    if (!v || i_ != t_.size()) return std::nullopt;
    return v;
  }

 private:
  // Nesting deeper than this is refused (the answers nest three levels).
  static constexpr int kMaxDepth = 16;

  void skip_space() {
    while (i_ < t_.size() &&
           (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\r' || t_[i_] == '\n')) {
      ++i_;
    }
  }
  bool take(char c) {
    skip_space();
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (t_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  std::optional<JsonValue> value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    skip_space();
    if (i_ >= t_.size()) return std::nullopt;
    JsonValue v;
    const char c = t_[i_];
    if (c == '{') {
      ++i_;
      v.type = JsonValue::Type::Object;
      if (take('}')) return v;
      do {
        skip_space();
        std::optional<std::string> k = string();
        if (!k || !take(':')) return std::nullopt;
        std::optional<JsonValue> m = value(depth + 1);
        if (!m) return std::nullopt;
        v.names.push_back(std::move(*k));
        v.values.push_back(std::move(*m));
      } while (take(','));
      if (!take('}')) return std::nullopt;
    } else if (c == '[') {
      ++i_;
      v.type = JsonValue::Type::Array;
      if (take(']')) return v;
      do {
        std::optional<JsonValue> m = value(depth + 1);
        if (!m) return std::nullopt;
        v.items.push_back(std::move(*m));
      } while (take(','));
      if (!take(']')) return std::nullopt;
    } else if (c == '"') {
      std::optional<std::string> s = string();
      if (!s) return std::nullopt;
      v.type = JsonValue::Type::String;
      v.text = std::move(*s);
    } else if (word("true")) {
      v.type = JsonValue::Type::Bool;
      v.boolean = true;
    } else if (word("false")) {
      v.type = JsonValue::Type::Bool;
    } else if (word("null")) {
      v.type = JsonValue::Type::Null;
    } else {
      const char* begin = t_.data() + i_;
      const char* end = t_.data() + t_.size();
      double d = 0;
      auto [p, ec] = std::from_chars(begin, end, d);
      if (ec != std::errc() || p == begin) return std::nullopt;
      i_ += static_cast<size_t>(p - begin);
      v.type = JsonValue::Type::Number;
      v.number = d;
    }
    return v;
  }

  std::optional<uint32_t> hex4() {
    if (i_ + 4 > t_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = t_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= static_cast<uint32_t>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= static_cast<uint32_t>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= static_cast<uint32_t>(h - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return v;
  }

  std::optional<std::string> string() {
    if (i_ >= t_.size() || t_[i_] != '"') return std::nullopt;
    ++i_;
    std::string out;
    while (i_ < t_.size()) {
      const char c = t_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= t_.size()) return std::nullopt;
      const char e = t_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<uint32_t> cp = hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp <= 0xDBFF && word("\\u")) {
            std::optional<uint32_t> low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*cp >= 0xD800 && *cp <= 0xDFFF) {
            return std::nullopt;
          }
          append_utf8(out, *cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view t_;
  size_t i_ = 0;
};

std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// Client text as a terminal may show it.
std::string shown(std::string_view text) {
  return log::escape_for_log(text);
}

}  // namespace

// ---- requests ----

ParsedRequest parse_request(std::string_view line) {
  ParsedRequest out;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > kMaxRequestBytes) {
    out.error = "the request is longer than " + std::to_string(kMaxRequestBytes) + " bytes";
    return out;
  }
  for (char c : line) {
    if (c < 0x21 && c != ' ') {
      out.error = "the request holds a control character";
      return out;
    }
    if (static_cast<unsigned char>(c) > 0x7e) {
      out.error = "the request holds a byte that is not printable ASCII";
      return out;
    }
  }
  const std::vector<std::string_view> w = split_words(line);
  const std::string_view verb = w[0];
  Request r;
  auto refuse = [&out](std::string text) {
    out.error = std::move(text);
    return out;
  };
  if (verb == "status" || verb == "who") {
    if (w.size() != 1) return refuse(std::string(verb) + " takes no arguments");
    r.verb = verb == "status" ? Verb::Status : Verb::Who;
  } else if (verb == "kick") {
    r.verb = Verb::Kick;
    if (w.size() < 2) return refuse("kick needs a connection id");
    std::optional<uint32_t> id = parse_connection_id(w[1]);
    if (!id) return refuse("'" + std::string(w[1]) + "' is not a connection id");
    r.id = *id;
    for (size_t i = 2; i < w.size(); ++i) {
      if (w[i] == "disable" && !r.disable) {
        r.disable = true;
      } else if (w[i] == "ban" && !r.ban) {
        r.ban = true;
      } else {
        return refuse("kick takes 'disable' and 'ban' once each, not '" + std::string(w[i]) + "'");
      }
    }
  } else if (verb == "log") {
    r.verb = Verb::Log;
    if (w.size() < 2 || w.size() > 3) return refuse("log needs a line count (and 'follow')");
    std::optional<uint64_t> n = parse_decimal(w[1], log::kScreenLogMaxLines);
    if (!n) {
      return refuse("the line count must be a number from 0 to " +
                    std::to_string(log::kScreenLogMaxLines));
    }
    r.lines = static_cast<size_t>(*n);
    if (w.size() == 3) {
      if (w[2] != "follow") return refuse("log takes 'follow', not '" + std::string(w[2]) + "'");
      r.follow = true;
    }
  } else if (verb == "stop") {
    r.verb = Verb::Stop;
    if (w.size() > 2 || (w.size() == 2 && w[1] != "when-idle")) {
      return refuse("stop takes only 'when-idle'");
    }
    r.when_idle = w.size() == 2;
  } else if (verb == "switch") {
    r.verb = Verb::Switch;
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off"))
      return refuse("switch takes 'on' or 'off'");
    r.on = w[1] == "on";
  } else if (verb.empty()) {
    return refuse("empty request");
  } else {
    return refuse("unknown request '" + std::string(verb) + "'");
  }
  out.request = r;
  return out;
}

std::string request_line(const Request& r) {
  switch (r.verb) {
    case Verb::Status:
      return "status\n";
    case Verb::Who:
      return "who\n";
    case Verb::Kick:
      return printf_text("kick %x%s%s\n", r.id, r.disable ? " disable" : "", r.ban ? " ban" : "");
    case Verb::Log:
      return "log " + std::to_string(r.lines) + (r.follow ? " follow\n" : "\n");
    case Verb::Stop:
      return r.when_idle ? "stop when-idle\n" : "stop\n";
    case Verb::Switch:
      return r.on ? "switch on\n" : "switch off\n";
  }
  return "\n";
}

std::optional<uint32_t> parse_connection_id(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    v = v << 4 | d;
  }
  // Socket handles are non-negative ints.
  if (v > 0x7fffffffu) return std::nullopt;
  return v;
}

// ---- JSON ----

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      out += printf_text("\\u%04x", u);
    } else if (u >= 0x80) {
      const size_t len = log::utf8_sequence(text, i);
      if (len == 0) {
        append_utf8(out, u);
        ++i;
      } else {
        out.append(text.substr(i, len));
        i += len;
      }
      continue;
    } else {
      out += c;
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string json_number(double value, int decimals) {
  if (!std::isfinite(value)) return "0";
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "0";
  return std::string(buf, p);
}

void JsonObject::key(std::string_view k) {
  if (body_.size() > 1) body_ += ',';
  body_ += json_quote(k);
  body_ += ':';
}

JsonObject& JsonObject::add(std::string_view k, std::string_view text) {
  key(k);
  body_ += json_quote(text);
  return *this;
}

JsonObject& JsonObject::add(std::string_view k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::add(std::string_view k, int64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add_real(std::string_view k, double value, int decimals) {
  key(k);
  body_ += json_number(value, decimals);
  return *this;
}

JsonObject& JsonObject::add_null(std::string_view k) {
  key(k);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::add_raw(std::string_view k, std::string_view json) {
  key(k);
  body_ += json;
  return *this;
}

const JsonValue* JsonValue::get(std::string_view k) const {
  if (type != Type::Object) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == k) return &values[i];
  }
  return nullptr;
}

std::string JsonValue::str(std::string_view k, std::string_view fallback) const {
  const JsonValue* v = get(k);
  return v != nullptr && v->type == Type::String ? v->text : std::string(fallback);
}

double JsonValue::num(std::string_view k, double fallback) const {
  const JsonValue* v = get(k);
  return v != nullptr && v->type == Type::Number ? v->number : fallback;
}

bool JsonValue::flag(std::string_view k, bool fallback) const {
  const JsonValue* v = get(k);
  return v != nullptr && v->type == Type::Bool ? v->boolean : fallback;
}

std::optional<JsonValue> parse_json(std::string_view text) {
  return JsonReader(text).document();
}

// ---- answers ----

std::string error_answer(std::string_view code, std::string_view message) {
  return JsonObject().add("ok", false).add("error", code).add("message", message).str();
}

std::string connection_json(const session::ConnectionView& v) {
  JsonObject o;
  char address[16];
  std::snprintf(address, sizeof address, "%u.%u.%u.%u", v.address[0], v.address[1], v.address[2],
                v.address[3]);
  o.add("id", v.id)
      .add("user", v.user)
      .add("host", v.host)
      .add("address", std::string_view(address))
      .add("logged_in", v.logged_in)
      .add("closing", v.closing)
      .add("online_ms", v.online_ms)
      .add("idle_ms", v.idle_ms);
  if (v.direction == transfer::Direction::None) {
    o.add_null("transfer");
  } else {
    o.add_raw("transfer",
              JsonObject()
                  .add("direction",
                       v.direction == transfer::Direction::Receive ? "storing" : "retrieving")
                  .add("file", v.file_name)
                  .add("position", v.position)
                  .add("total", v.total_bytes)
                  .add_real("rate_kbps", v.rate_kbps, 2)
                  .str());
  }
  return o.str();
}

// ---- plain texts ----

std::string id_text(uint32_t id) {
  return printf_text("[%04x]", id);
}

std::string duration_text(uint64_t ms) {
  const uint64_t s = ms / 1000;
  return printf_text("%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60, s % 60);
}

std::string transfer_text(std::string_view direction, std::string_view file, uint64_t position,
                          uint64_t total, double rate_kbps) {
  if (direction.empty() || direction == "none") return "none";
  return std::string(direction) + " \"" + shown(file) + "\" " +
         printf_text("%" PRIu64 " of %" PRIu64 " bytes, ", position, total) +
         json_number(rate_kbps, 2) + " kb/s";
}

std::string status_table(const JsonValue& a) {
  const bool on = a.flag("on");
  const auto port = static_cast<long long>(a.num("port"));
  std::string server;
  if (!on) {
    server = "off";
  } else if (a.flag("stop_pending")) {
    server = "on, stopping once the last client has left (no new clients)";
  } else if (a.flag("listening")) {
    server = "on, port " + std::to_string(port);
  } else {
    server = "on, not listening";
  }
  const auto clients = static_cast<long long>(a.num("clients"));
  const auto maximum = static_cast<long long>(a.num("max_clients"));
  const JsonValue* cpu = a.get("cpu_percent");
  std::string usage = "unknown";
  if (cpu != nullptr && cpu->type == JsonValue::Type::Number) {
    usage = std::to_string(static_cast<long long>(cpu->number)) + "%";
  }
  std::string out;
  out += "server:     " + server + "\n";
  out += "clients:    " + std::to_string(clients) +
         " (maximum: " + (maximum == 0 ? std::string("no limit") : std::to_string(maximum)) + ")\n";
  out += "transfers:  " + json_number(a.num("rate_kbps"), 2) + " kb/s\n";
  out += "cpu usage:  " + usage + "\n";
  out += "uptime:     " + duration_text(static_cast<uint64_t>(a.num("uptime_ms"))) + "\n";
  return out;
}

std::string who_table(const JsonValue& a) {
  const JsonValue* list = a.get("connections");
  if (list == nullptr || list->items.empty()) return "no clients are connected\n";
  // Columns padded to their width; a longer value pushes the rest along, nothing is cut.
  auto row = [](std::initializer_list<std::pair<std::string, size_t>> cells,
                const std::string& last) {
    std::string line;
    for (const auto& [text, width] : cells) {
      line += text;
      line.append(text.size() < width ? width - text.size() : 0, ' ');
      line += ' ';
    }
    return line + last + "\n";
  };
  std::string out =
      row({{"ID", 8}, {"USER", 16}, {"HOST", 20}, {"ONLINE", 9}, {"IDLE", 9}}, "TRANSFER");
  for (const JsonValue& c : list->items) {
    std::string transfer = "none";
    if (const JsonValue* t = c.get("transfer");
        t != nullptr && t->type == JsonValue::Type::Object) {
      transfer = transfer_text(t->str("direction"), t->str("file"),
                               static_cast<uint64_t>(t->num("position")),
                               static_cast<uint64_t>(t->num("total")), t->num("rate_kbps"));
    }
    if (c.flag("closing")) transfer += " (closing)";
    out += row({{id_text(static_cast<uint32_t>(c.num("id"))), 8},
                {shown(c.str("user")), 16},
                {shown(c.str("host")), 20},
                {duration_text(static_cast<uint64_t>(c.num("online_ms"))), 9},
                {duration_text(static_cast<uint64_t>(c.num("idle_ms"))), 9}},
               transfer);
  }
  return out;
}

std::string kick_text(const JsonValue& a) {
  const std::string id = id_text(static_cast<uint32_t>(a.num("id")));
  const std::string address = a.str("address");
  if (a.str("outcome") == "at-once") {
    std::string out = id + " disconnected";
    if (a.flag("disable_requested") || a.flag("ban_requested")) {
      out += " (not logged in to an account: nothing was disabled or banned)";
    }
    return out + "\n";
  }
  std::string out = id + " " + shown(a.str("user")) + "@" + address + " disconnected";
  if (a.flag("disabled")) out += "; account disabled";
  const std::string ban = a.str("ban");
  if (ban == "banned") {
    out += "; " + address + " banned (a deny line was added)";
  } else if (ban == "already-denied") {
    out += "; " + address + " is already denied by its best ip entry (nothing added)";
  } else if (ban == "no-matching-entry") {
    out += "; no ip entry matches " + address +
           ", the server default let it in (nothing added: change the default or add a line)";
  } else if (ban == "unknown-user") {
    out += "; the account no longer exists (nothing written)";
  }
  return out + "\n";
}

}  // namespace qorda::control
