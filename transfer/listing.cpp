#include "transfer/listing.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log/descriptors.h"
#include "log/utf8.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "store/links.h"
#include "vfs/resolver.h"

namespace qorda::transfer {

const std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char* month_name(int month) {
  return (month >= 1 && month <= 12) ? kMonthNames[static_cast<size_t>(month - 1)] : "???";
}

// Formats into a line buffer; the text, or empty when it does not fit within kListLineMax.
__attribute__((format(printf, 1, 2))) std::string format_line(const char* fmt, ...) {
  std::array<char, kListLineBuf> buf{};
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf.data(), buf.size(), fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) > kListLineMax) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace

// ---- Arguments and matching ----

ListArgs parse_list_args(std::string_view arg, bool long_flag) {
  ListArgs out;
  out.long_list = long_flag;
  size_t i = 0;
  while (i < arg.size() && arg[i] == ' ') ++i;
  if (i < arg.size() && arg[i] == '-') {
    size_t end = arg.find(' ', i);
    if (end == std::string_view::npos) end = arg.size();
    for (size_t k = i + 1; k < end; ++k) {
      if (platform::ascii_lower(arg[k]) == 'l') out.long_list = true;
    }
    i = end;
    while (i < arg.size() && arg[i] == ' ') ++i;
  }
  out.path = std::string(arg.substr(i));
  return out;
}

bool link_name_match(std::string_view pattern, std::string_view name) {
  // A pattern whose fixed characters outnumber the name's cannot match; saying so at once keeps
  // long hopeless patterns cheap.
  size_t fixed = 0;
  for (char c : pattern) fixed += c != '*';
  if (fixed > name.size()) return false;

  // Character by character with one back-up point at the last "*": each "*" supersedes the
  // earlier one, so every name position is tried at most once per pattern position.
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, mark = 0;
  for (;;) {
    const bool p_end = p == pattern.size(), n_end = n == name.size();
    if (p_end && n_end) return true;
    if (!p_end && pattern[p] == '*') {
      star = ++p;
      mark = n;
      continue;
    }
    if (!p_end && !n_end &&
        (pattern[p] == '?' ||
         platform::ascii_lower(pattern[p]) == platform::ascii_lower(name[n]))) {
      ++p;
      ++n;
      continue;
    }
    if (star == std::string_view::npos || mark == name.size()) return false;
    p = star;
    n = ++mark;
  }
}

std::string listed_name(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

// ---- Lines ----

std::string long_file_line(std::string_view name, bool is_dir, uint64_t size, int64_t mtime,
                           long mtime_nsec, int now_utc_year) {
  const platform::LocalTime t = platform::to_local(static_cast<std::time_t>(mtime), mtime_nsec);
  const std::string shown = listed_name(name);
  const char type = is_dir ? 'd' : '-';
  // Sizes print in full: a file above 4 GiB shows its real size, the column simply grows.
  const auto sz = static_cast<unsigned long long>(size);
  if (t.year == now_utc_year) {
    return format_line("%crwx------   1 %-8s %-5s %10llu %s %2u %02u:%02u %s", type, "ftp", "users",
                       sz, month_name(t.month), static_cast<unsigned>(t.day),
                       static_cast<unsigned>(t.hour), static_cast<unsigned>(t.minute),
                       shown.c_str());
  }
  return format_line("%crwx------   1 %-8s %-5s %10llu %s %2u %5u %s", type, "ftp", "users", sz,
                     month_name(t.month), static_cast<unsigned>(t.day),
                     static_cast<unsigned>(t.year), shown.c_str());
}

std::string long_link_line(std::string_view name, std::string_view target, std::time_t now) {
  const platform::LocalTime t = platform::to_utc(now);
  const std::string shown = listed_name(name);
  std::string target_text = listed_name(target);
  const auto size = static_cast<unsigned long>(target.size() + 1);
  std::string head =
      format_line("lrwx------   1 %-8s %-5s %10lu %s %2u %02u:%02u %s -> ", "ftp", "users", size,
                  month_name(t.month), static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                  static_cast<unsigned>(t.minute), shown.c_str());
  if (head.empty()) return {};
  if (head.size() + target_text.size() > kListLineMax) {
    // The target is only shown to the reader; shorten it rather than drop the link.
    static constexpr std::string_view kEllipsis = "...";
    if (head.size() + kEllipsis.size() > kListLineMax) return {};
    size_t room = kListLineMax - head.size() - kEllipsis.size();
    target_text.resize(log::utf8_cut(target_text, room));
    target_text += kEllipsis;
  }
  return head + target_text;
}

// ---- Listings ----

platform::Status list_directory(const vfs::FsState& st, const std::string& dir,
                                std::string_view pattern, bool long_list, std::time_t now,
                                const LineSink& sink) {
  if (pattern.empty()) pattern = "*";
  vfs::PermissionRecord perm;
  if (!st.permission(dir, &perm) || !perm.l) {
    sink(kUnreadable);
    return {};
  }
  const int now_year = platform::to_utc(now).year;

  // Files, in the order the file system returns them. A directory that vanished since it was
  // resolved gives no file lines; its links are still listed. One that is there but cannot be
  // read must not pass for an empty one.
  const std::string_view local_dir =
      !dir.empty() && dir[0] == '/' ? std::string_view(dir).substr(1) : std::string_view(dir);
  bool stopped = false;
  const platform::Status walked =
      platform::visit_files(local_dir, pattern, [&](const platform::DirEntry& e) {
        std::string line;
        if (long_list) {
          line = long_file_line(e.name, e.is_dir, e.size, e.mtime, e.mtime_nsec, now_year);
        } else if (e.name != "." && e.name != "..") {
          line = listed_name(e.name);
          if (line.size() > kListLineMax) line.clear();
        }
        if (!line.empty() && !sink(line)) stopped = true;
        return !stopped;
      });
  if (!walked.ok() && walked.err != ENOENT && walked.err != ENOTDIR) {
    log::report_open_failure(walked.err, "directory read");
    return walked;
  }
  if (stopped) return {};

  // Links stored for this directory, in store order.
  if (st.links == nullptr) return {};
  for (const store::LinkRecord& l : st.links->list(dir)) {
    if (l.name.empty() || l.name.size() > kMaxLinkName) continue;
    if (!link_name_match(pattern, l.name)) continue;
    if (!long_list) {
      std::string line = listed_name(l.name);
      if (line.size() <= kListLineMax && !sink(line)) return {};
      continue;
    }
    store::LinkRecord rec;
    rec.location = dir + l.name;
    if (!st.links->read(rec) || rec.target.empty()) continue;
    std::string tdir, tname;
    vfs::ResolveResult r = vfs::resolve_path(
        st, dir, rec.target, &tdir, &tname,
        {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
    std::string target = (r == vfs::ResolveResult::Denied || r == vfs::ResolveResult::BadLink)
                             ? std::string("?")
                             : vfs::display_path(st, rec.target);
    std::string line = long_link_line(l.name, target, now);
    if (!line.empty() && !sink(line)) return {};
  }
  return {};
}

}  // namespace qorda::transfer
