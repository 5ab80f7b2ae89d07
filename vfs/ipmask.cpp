#include "vfs/ipmask.h"

#include "store/lines.h"

namespace qorda::vfs {
namespace {

struct MaskPart {
  enum class Kind { Wildcard, Exact, Range } kind = Kind::Wildcard;
  int lo = 0, hi = 0;
};

bool is_digit(char ch) {
  return ch >= '0' && ch <= '9';
}

// A number of one to three digits not above 255.
std::optional<int> parse_byte(std::string_view s) {
  if (s.empty() || s.size() > 3) return std::nullopt;
  int v = 0;
  for (char ch : s) {
    if (!is_digit(ch)) return std::nullopt;
    v = v * 10 + (ch - '0');
  }
  if (v > 255) return std::nullopt;
  return v;
}

std::optional<MaskPart> parse_part(std::string_view s) {
  MaskPart part;
  if (s == "*") return part;
  size_t dash = s.find('-');
  if (dash == std::string_view::npos) {
    auto v = parse_byte(s);
    if (!v) return std::nullopt;
    part.kind = MaskPart::Kind::Exact;
    part.lo = part.hi = *v;
    return part;
  }
  auto lo = parse_byte(s.substr(0, dash));
  auto hi = parse_byte(s.substr(dash + 1));  // a second dash makes this fail
  if (!lo || !hi) return std::nullopt;
  part.kind = MaskPart::Kind::Range;
  part.lo = *lo;
  part.hi = *hi;
  return part;
}

// Splits a mask into exactly four well-formed parts; bounded work on any input.
std::optional<std::array<MaskPart, 4>> parse_mask(std::string_view mask) {
  std::array<MaskPart, 4> parts;
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = mask.find('.', start);
    bool last = i == 3;
    if (last != (dot == std::string_view::npos)) return std::nullopt;  // not exactly four parts
    std::string_view text = last ? mask.substr(start) : mask.substr(start, dot - start);
    auto p = parse_part(text);
    if (!p) return std::nullopt;
    parts[i] = *p;
    start = last ? mask.size() : dot + 1;
  }
  return parts;
}

}  // namespace

IpRecord parse_ip_entry(std::string_view line) {
  IpRecord rec;
  rec.origin = line.size() > 1 ? line[1] : ' ';
  rec.allow = line.size() > 4 && line[4] == 'a';
  rec.mask = line.size() > 6 ? std::string(line.substr(6)) : std::string();
  return rec;
}

std::string format_ip_entry(const IpRecord& rec) {
  std::string out = "[";
  out += rec.origin;
  out += "] ";
  out += rec.allow ? 'a' : 'd';
  out += ' ';
  out += rec.mask;
  return out;
}

int score_ip_mask(const IpBytes& addr, std::string_view mask) {
  auto parts = parse_mask(mask);
  if (!parts) return 0;
  int score = 0;
  for (int i = 0; i < 4; ++i) {
    const MaskPart& p = (*parts)[i];
    int b = addr[i];
    switch (p.kind) {
      case MaskPart::Kind::Wildcard:
        score += 1;
        break;
      case MaskPart::Kind::Range:
        if (b < p.lo || b > p.hi) return 0;
        score += 2;
        break;
      case MaskPart::Kind::Exact:
        if (b != p.lo) return 0;
        score += 3;
        break;
    }
  }
  return score;
}

IpMatch find_best_ip_entry(std::string_view user_szip,
                           std::optional<std::string_view> template_szip, const IpBytes& addr) {
  IpMatch best;
  auto scan = [&](std::string_view text, IpMatch::Source source) {
    std::vector<std::string_view> lines = store::split_lines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
      IpRecord rec = parse_ip_entry(lines[i]);
      int score = score_ip_mask(addr, rec.mask);
      if (score > best.score) {  // equal scores keep the earlier line
        best.source = source;
        best.line = i;
        best.score = score;
        best.allow = rec.allow;
      }
    }
  };
  scan(user_szip, IpMatch::Source::User);
  if (best.score == 0 && template_szip) scan(*template_szip, IpMatch::Source::Template);
  return best;
}

bool select_ip_decision(std::string_view user_szip, std::optional<std::string_view> template_szip,
                        bool default_allow, const IpBytes& addr) {
  IpMatch best = find_best_ip_entry(user_szip, template_szip, addr);
  return best.source == IpMatch::Source::None ? default_allow : best.allow;
}

bool validate_ip_mask(std::string_view mask) {
  // One pass over the characters, keeping the state of the current part.
  int dots = 0;
  int digits = 0;  // digits of the current number
  int first = 0;   // value of the first number of the part
  int second = 0;  // value of the second number of a range
  bool wildcard = false;
  bool range = false;
  bool any = false;  // the part holds at least one character
  auto complete = [&] {
    if (wildcard) return true;
    if (range) return digits > 0 && second >= first;
    return digits > 0;
  };
  for (char ch : mask) {
    if (ch == '*') {
      if (any) return false;  // only as the first character of a part
      wildcard = true;
      any = true;
    } else if (ch == '-') {
      if (wildcard || range || digits == 0) return false;
      range = true;
      digits = 0;
    } else if (is_digit(ch)) {
      if (wildcard || digits >= 3) return false;
      int& num = range ? second : first;
      int v = (digits == 0 ? 0 : num) * 10 + (ch - '0');
      if (v > 255) return false;
      num = v;
      ++digits;
      any = true;
    } else if (ch == '.') {
      if (!complete() || dots >= 3) return false;
      ++dots;
      digits = first = second = 0;
      wildcard = range = any = false;
    } else {
      return false;
    }
  }
  return dots == 3 && complete();
}

std::optional<IpBytes> parse_ip_address(std::string_view text) {
  IpBytes out{};
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = text.find('.', start);
    bool last = i == 3;
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    auto v = parse_byte(last ? text.substr(start) : text.substr(start, dot - start));
    if (!v) return std::nullopt;
    out[i] = static_cast<uint8_t>(*v);
    start = last ? text.size() : dot + 1;
  }
  return out;
}

std::string format_ip_address(const IpBytes& addr) {
  return std::to_string(addr[0]) + "." + std::to_string(addr[1]) + "." + std::to_string(addr[2]) +
         "." + std::to_string(addr[3]);
}

}  // namespace qorda::vfs
