#include "vfs/permission.h"

#include "platform/ascii.h"
#include "store/lines.h"

namespace qorda::vfs {
namespace {

// Column of each flag in the text form, and the column that decides the line form.
constexpr size_t kColR = 4, kColW = 5, kColD = 6, kColL = 7, kColC = 8, kColX = 9, kColH = 10,
                 kColM = 11, kColS = 12;
constexpr size_t kPathEightFlag = 13, kPathNineFlag = 14;

char column(std::string_view line, size_t i) {
  return i < line.size() ? line[i] : '\0';
}

bool is_eight_flag(std::string_view line) {
  return column(line, kColS) == ' ';
}

// Does the entry path reach `path` as its prefix? Ignoring case, and with `names`, the entry's
// directory part must be the very directory that much of `path` is: a twin differing only in
// case is another directory. A partial last name ("/c:/pub" reaching "/c:/public/") names no one
// directory and stays a prefix of text.
bool reaches(std::string_view entry, std::string_view path, const DirectoryNames* names) {
  if (!platform::ascii_istarts_with(path, entry)) return false;
  if (names == nullptr) return true;
  size_t slash = entry.rfind('/');
  if (slash == std::string_view::npos) return true;
  return names->same(entry.substr(0, slash + 1), path.substr(0, slash + 1));
}

// Finds the best matching line of one list. Returns the line, or nullopt when none matched.
std::optional<std::string_view> best_line(std::string_view szfp, std::string_view path,
                                          const DirectoryNames* names) {
  std::optional<std::string_view> best;
  size_t best_len = 0;
  for (std::string_view line : store::split_lines(szfp)) {
    std::string_view entry = permission_line_path(line);
    size_t n = entry.size();
    // A later entry of equal length never replaces an earlier one (strictly greater).
    if (best_len < n && n <= path.size() && reaches(entry, path, names)) {
      best = line;
      best_len = n;
    }
  }
  return best;
}

}  // namespace

std::string_view permission_line_path(std::string_view line) {
  size_t from = is_eight_flag(line) ? kPathEightFlag : kPathNineFlag;
  return from < line.size() ? line.substr(from) : std::string_view();
}

PermissionRecord parse_permission(std::string_view line) {
  PermissionRecord rec;
  rec.origin = line.size() > 1 ? line[1] : ' ';
  rec.r = column(line, kColR) == 'r';
  rec.w = column(line, kColW) == 'w';
  rec.d = column(line, kColD) == 'd';
  rec.l = column(line, kColL) == 'l';
  rec.c = column(line, kColC) == 'c';
  rec.x = column(line, kColX) == 'x';
  rec.h = column(line, kColH) == 'h';
  rec.m = column(line, kColM) == 'm';
  rec.s = is_eight_flag(line) || column(line, kColS) == 's';
  rec.path = std::string(permission_line_path(line));
  return rec;
}

std::vector<PermissionRecord> parse_permission_lines(std::string_view szfp) {
  std::vector<PermissionRecord> out;
  for (std::string_view line : store::split_lines(szfp)) out.push_back(parse_permission(line));
  return out;
}

std::string format_permission(const PermissionRecord& rec) {
  std::string out = "[";
  out += rec.origin;
  out += "] ";
  out += rec.r ? 'r' : '-';
  out += rec.w ? 'w' : '-';
  out += rec.d ? 'd' : '-';
  out += rec.l ? 'l' : '-';
  out += rec.c ? 'c' : '-';
  out += rec.x ? 'x' : '-';
  out += rec.h ? 'h' : '-';
  out += rec.m ? 'm' : '-';
  out += rec.s ? 's' : '-';
  out += ' ';
  out += rec.path;
  return out;
}

PermissionMatch match_permission(std::string_view user_szfp,
                                 std::optional<std::string_view> template_szfp,
                                 std::string_view path, const DirectoryNames* names) {
  PermissionMatch m;
  std::optional<std::string_view> best = best_line(user_szfp, path, names);
  m.source = PermissionMatch::Source::User;
  // The template is consulted only when no user line matched at all, however much longer a
  // template entry would be.
  if (!best && template_szfp) {
    best = best_line(*template_szfp, path, names);
    m.source = PermissionMatch::Source::Template;
  }
  if (!best) return PermissionMatch{};
  m.line = *best;
  m.applies = true;
  if (!parse_permission(*best).s) {
    // Without inheritance the closest entry applies to exactly its own directory; it still
    // decides (no fall-back to a shorter inheriting entry). Being the best, it already names
    // that much of the path's directory on disk.
    size_t slash = path.rfind('/');
    m.applies = slash != std::string_view::npos &&
                platform::ascii_iequal(path.substr(0, slash + 1), permission_line_path(*best));
  }
  return m;
}

bool find_permission(std::string_view user_szfp, std::optional<std::string_view> template_szfp,
                     std::string_view path, PermissionRecord* out, const DirectoryNames* names) {
  const PermissionMatch m = match_permission(user_szfp, template_szfp, path, names);
  if (!m.applies) return false;
  if (out) {
    PermissionRecord rec = parse_permission(m.line);
    rec.path = std::string(path);
    *out = std::move(rec);
  }
  return true;
}

std::optional<std::string> validate_permission_path(std::string_view text) {
  std::string p(text);
  for (char& ch : p) {
    if (ch == '\\') ch = '/';
  }
  if (!p.empty()) {
    if (p.back() != '/') p += '/';
    if (p.front() != '/') p.insert(p.begin(), '/');
  }
  for (size_t i = 0; i < p.size(); ++i) {
    unsigned char ch = static_cast<unsigned char>(p[i]);
    if (ch == ':' && i != 2) return std::nullopt;
    if (ch == '!' || ch == '"' || ch == '*' || ch == '<' || ch == '>' || ch == '?') {
      return std::nullopt;
    }
    // SECURITY: a line feed or carriage return inside a path would end the stored line early and
    // let the rest of the text be read as a further, forged permission entry.
    if (ch < 0x20 || ch == 0x7f) return std::nullopt;
  }
  if (p.size() < 4) return std::nullopt;
  char letter = p[1];
  bool is_letter = (letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z');
  if (!is_letter || p[2] != ':' || p[3] != '/') return std::nullopt;
  return p;
}

}  // namespace qorda::vfs
