#include "store/limits.h"

#include <climits>
#include <cstdio>

#include "platform/ascii.h"
#include "store/lines.h"

namespace qorda::store {
namespace {

constexpr int kLastMinute = 23 * 60 + 59;

bool is_digit(char ch) {
  return ch >= '0' && ch <= '9';
}

// Minutes since midnight of "HH:MM" (00:00 to 23:59), nullopt for anything else.
std::optional<int> parse_time(std::string_view t) {
  if (t.size() != 5 || t[2] != ':') return std::nullopt;
  if (!is_digit(t[0]) || !is_digit(t[1]) || !is_digit(t[3]) || !is_digit(t[4])) {
    return std::nullopt;
  }
  int h = (t[0] - '0') * 10 + (t[1] - '0');
  int m = (t[3] - '0') * 10 + (t[4] - '0');
  if (h > 23 || m > 59) return std::nullopt;
  return h * 60 + m;
}

std::string format_time(int minutes) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d:%02d", minutes / 60 % 100, minutes % 60);
  return buf;
}

// Reads a signed decimal number as "%d" would (leading blanks, optional sign, digits) but
// refuses values outside int instead of overflowing. Advances `pos`.
std::optional<int> read_int(std::string_view s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  bool neg = false;
  if (pos < s.size() && (s[pos] == '-' || s[pos] == '+')) neg = s[pos++] == '-';
  if (pos >= s.size() || !is_digit(s[pos])) return std::nullopt;
  long long v = 0;
  while (pos < s.size() && is_digit(s[pos])) {
    v = v * 10 + (s[pos++] - '0');
    if (v > INT_MAX) return std::nullopt;
  }
  return static_cast<int>(neg ? -v : v);
}

int minutes_of(const std::string& t) {
  return parse_time(t).value_or(0);
}

}  // namespace

std::optional<LimitRange> parse_limit_line(std::string_view line) {
  if (line.size() < 12 || line[5] != ',' || line[11] != ',') return std::nullopt;
  if (!parse_time(line.substr(0, 5)) || !parse_time(line.substr(6, 5))) return std::nullopt;
  LimitRange r;
  r.start = std::string(line.substr(0, 5));
  r.end = std::string(line.substr(6, 5));
  size_t pos = 12;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= line.size() || line[pos] != ',') return std::nullopt;
      ++pos;
    }
    auto v = read_int(line, pos);
    // Below -1 a limit has no meaning (-1 is "none of its own"); such a line is malformed.
    if (!v || *v < -1) return std::nullopt;
    r.limits[i] = *v;
  }
  return r;
}

std::string format_limit_line(const LimitRange& r) {
  return r.start + "," + r.end + "," + std::to_string(r.limits[0]) + "," +
         std::to_string(r.limits[1]) + "," + std::to_string(r.limits[2]) + "," +
         std::to_string(r.limits[3]);
}

std::array<int, 5> client_limits_at(std::optional<std::string_view> szcl, uint32_t imaxc,
                                    const platform::LocalTime& now, int* line) {
  // Index 0..4 are the kinds 1..5.
  std::array<int, 5> limit{-1, -1, -1, -1, -1};
  if (line) *line = -1;
  if (szcl) {
    int at = now.hour * 60 + now.minute;
    int index = 0;
    for (std::string_view text : split_lines(*szcl)) {
      auto r = parse_limit_line(text);
      // A malformed line never applies. Ranges do not wrap past midnight: a start later than
      // the end never applies.
      if (r && minutes_of(r->start) <= at && at <= minutes_of(r->end)) {
        for (int i = 0; i < 4; ++i) limit[i] = r->limits[i];
        if (line) *line = index;
      }
      ++index;
    }
  }
  const int server_max = imaxc > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(imaxc);
  for (int& l : limit) {
    if (l == -1) l = server_max;
  }
  return limit;
}

LimitDecision evaluate_client_limits(std::optional<std::string_view> szcl, uint32_t imaxc,
                                     const platform::LocalTime& now, const LimitSession& candidate,
                                     const std::vector<LimitSession>& others) {
  const std::array<int, 5> limit = client_limits_at(szcl, imaxc, now);
  std::array<long long, 5> count{1, 1, 1, 1, 1};

  for (const LimitSession& o : others) {
    bool same_user = platform::ascii_iequal(o.user, candidate.user);
    bool same_addr = o.addr == candidate.addr;
    count[4] += 1;
    if (szcl && o.has_template && platform::ascii_iequal(o.sztemp, candidate.sztemp)) count[0] += 1;
    if (same_user) count[1] += 1;
    if (same_addr) count[2] += 1;
    if (same_user && same_addr) count[3] += 1;
  }

  int lowest = static_cast<int>(szcl ? LimitKind::TemplateTotal : LimitKind::ServerTotal);
  for (int kind = static_cast<int>(LimitKind::ServerTotal); kind >= lowest; --kind) {
    if (limit[kind - 1] < count[kind - 1]) {
      return {false, static_cast<LimitKind>(kind), limit[kind - 1]};
    }
  }
  return {};
}

std::optional<TimeFault> limit_time_fault(std::string_view text) {
  bool format_ok = text.size() == 5 && text[2] == ':' && is_digit(text[0]) && is_digit(text[1]) &&
                   is_digit(text[3]) && is_digit(text[4]);
  if (!format_ok) return TimeFault::Format;
  // Beyond the text range 00:00..23:59, a minute above 59 is no time of day either.
  if (!parse_time(text)) return TimeFault::Range;
  return std::nullopt;
}

std::optional<std::string> check_limit_time(std::string_view text, bool is_start) {
  auto fault = limit_time_fault(text);
  if (!fault) return std::nullopt;
  if (*fault == TimeFault::Format) {
    return std::string(is_start ? "Invalid starting time format." : "Invalid ending time format.");
  }
  return std::string(is_start ? "Please enter a starting time between '00:00' and '23:59'."
                              : "Please enter an ending time between '00:00' and '23:59'.");
}

LimitRangeList LimitRangeList::from_szcl(std::string_view szcl) {
  LimitRangeList list;
  for (std::string_view line : split_lines(szcl)) {
    if (auto r = parse_limit_line(line)) list.ranges_.push_back(std::move(*r));
  }
  return list;
}

void LimitRangeList::insert(const LimitRange& r) {
  int s = minutes_of(r.start);
  int e = minutes_of(r.end);
  if (e < s) {
    LimitRange morning = r, evening = r;
    morning.start = "00:00";
    evening.end = format_time(kLastMinute);
    insert_one(morning);
    insert_one(evening);
  } else {
    insert_one(r);
  }
}

void LimitRangeList::insert_one(const LimitRange& r) {
  int s = minutes_of(r.start);
  int e = minutes_of(r.end);
  std::vector<LimitRange> kept;
  for (const LimitRange& old : ranges_) {
    int os = minutes_of(old.start);
    int oe = minutes_of(old.end);
    if (os >= s && oe <= e) continue;  // wholly inside the new range
    if (os <= e && oe >= s) {
      // Overlapping: keep only the parts outside the new range, with the old limits.
      if (os <= s - 1) {
        LimitRange before = old;
        before.end = format_time(s - 1);
        kept.push_back(before);
      }
      if (e + 1 <= oe) {
        LimitRange after = old;
        after.start = format_time(e + 1);
        kept.push_back(after);
      }
      continue;
    }
    kept.push_back(old);
  }
  size_t at = 0;
  while (at < kept.size() && minutes_of(kept[at].start) <= s) ++at;
  kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(at), r);
  ranges_ = std::move(kept);
}

void LimitRangeList::remove(size_t i) {
  if (i < ranges_.size()) ranges_.erase(ranges_.begin() + static_cast<std::ptrdiff_t>(i));
}

std::string LimitRangeList::to_szcl() const {
  std::string out;
  for (const LimitRange& r : ranges_) out += format_limit_line(r) + "\n";
  return out;
}

std::vector<std::string> LimitRangeList::display_lines(uint32_t imaxc) const {
  char sys[64];
  std::snprintf(sys, sizeof sys, "\t(%u)\t(%u)\t(%u)\t(%u)", imaxc, imaxc, imaxc, imaxc);
  auto gap = [&](int from, int to) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[s] %02d:%02d-%02d:%02d%s", from / 60, from % 60, to / 60,
                  to % 60, sys);
    return std::string(buf);
  };
  std::vector<std::string> out;
  int next = 0;  // first minute after the previous range
  for (const LimitRange& r : ranges_) {
    int s = minutes_of(r.start);
    if (next <= s - 1) out.push_back(gap(next, s - 1));
    std::string line = "[t] " + r.start + "-" + r.end;
    for (int l : r.limits) {
      line += '\t';
      line += l == -1 ? "(" + std::to_string(imaxc) + ")" : std::to_string(l);
    }
    out.push_back(std::move(line));
    next = minutes_of(r.end) + 1;
  }
  if (next <= kLastMinute) out.push_back(gap(next, kLastMinute));
  return out;
}

}  // namespace qorda::store
