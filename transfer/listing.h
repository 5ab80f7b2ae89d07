// Directory listings: the text that LIST and NLST send over the data connection and that STAT
// with a path sends on the control connection. A listing is built completely before the first
// byte leaves, as lines in the long style of the UNIX directory-listing tool (fixed owner, group
// and permission columns) or as bare names, then held in a queue of 1460-byte chunks that the
// data connection's write loop drains one send at a time (transfer/dsock.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "transfer/defs.h"
#include "vfs/fs_state.h"

namespace qorda::transfer {

// SECURITY: the longest line text a listing holds (CR LF and the terminator must still fit the
// line buffer, kListLineBuf). A longer link line is shortened, any other longer line left out, so
// that a huge name or link target can neither overflow the buffer nor be cut by the reply code
// mid-name.
inline constexpr size_t kListLineMax = kListLineBuf - 3;
// Link names longer than this are not enumerated.
inline constexpr size_t kMaxLinkName = 1024;

// Month abbreviations, index 0 for January.
extern const std::array<const char*, 12> kMonthNames;

// The text that opens an unlistable directory's listing.
inline constexpr const char* kUnreadable = ". unreadable";

// The argument of LIST and NLST: an option word ("-" and letters) is taken off the front; an "l"
// in it, in either case, makes the listing long whatever the command; other letters are ignored.
struct ListArgs {
  bool long_list = false;
  std::string path;  // empty: the current directory
};
ListArgs parse_list_args(std::string_view arg, bool long_flag);

// Link names are matched against the listing's pattern with "*" and "?", ASCII case ignored.
// Time is bounded by name length times pattern length.
bool link_name_match(std::string_view pattern, std::string_view name);

// Receives one listing line (without CR LF); returning false ends the listing there (no more
// directory entries are read, no more lines made).
using LineSink = std::function<bool(std::string_view line)>;

// The lines of a listing of the virtual directory `dir` ("/c:/pub/"): without the "l"
// permission on it the single line ". unreadable"; otherwise one line per file that matches
// `pattern` (empty means "*"), in the order the file system returns them, then one per link
// stored for the directory whose name matches. `now` (seconds since the epoch) is the listing
// time: it decides the year rule and dates the link lines. A directory that vanished since it
// was resolved gives no file lines; one that is there but cannot be read (no descriptor left,
// say) is an error, returned before any line reached the sink.
platform::Status list_directory(const vfs::FsState& st, const std::string& dir,
                                std::string_view pattern, bool long_list, std::time_t now,
                                const LineSink& sink);

// One long line of a file entry: "%crwx------   1 ftp      users %10llu Mon dd hh:mm name", with
// the year instead of the time when the entry's local year differs from `now_utc_year`.
// Empty when the line would exceed kListLineMax.
std::string long_file_line(std::string_view name, bool is_dir, uint64_t size, int64_t mtime,
                           long mtime_nsec, int now_utc_year);

// One long line of a link: "lrwx------   1 ftp      users %10lu Mon dd hh:mm name -> target"
// dated `now` (UTC). The target text is shortened (ending in "...") when the line would be too
// long; empty when even the name does not fit.
std::string long_link_line(std::string_view name, std::string_view target, std::time_t now);

// A name as a listing shows it. SECURITY: control characters (CR and LF among them) would let a
// file name forge listing lines, or reply lines when STAT lists on the control connection; each
// is shown as "?".
std::string listed_name(std::string_view name);

}  // namespace qorda::transfer
