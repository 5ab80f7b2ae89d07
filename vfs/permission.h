// File permission entries: a set of actions granted on one virtual directory and, with the
// inheritance flag, on everything below it. Entries are lines of text stored in the user's and
// the template's "szfp" values and looked up by the closest-match rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/dir_names.h"

namespace qorda::vfs {

// One parsed entry. origin is 'u' (user), 't' (template) or 's' (system); path is a virtual
// directory path such as /c:/ftp/pub/, or "/" for every drive.
struct PermissionRecord {
  char origin = 'u';
  std::string path;
  bool c = false;  // create directory (MKD)
  bool d = false;  // delete, rename files
  bool h = false;  // marks the home directory
  bool l = false;  // list files
  bool r = false;  // read (retrieve) files
  bool w = false;  // write (store) files
  bool x = false;  // delete a subdirectory (tested on the parent)
  bool m = false;  // show the ".message" file and the login messages
  bool s = false;  // inheritance: the entry also applies below its path

  bool operator==(const PermissionRecord&) const = default;
};

// The text a new entry starts from in the user and in the template editor.
inline constexpr const char* kNewUserPermissionLine = "[u] --------- /x:/pathname/";
inline constexpr const char* kNewTemplatePermissionLine = "[t] --------- /x:/pathname/";

// Parses one line of the text form "[o] rwdlcxhms path". Each flag is set exactly when its column
// holds its own letter. When column 12 is a blank the line is the older eight-flag form: the path
// starts at column 13 and inheritance counts as granted; otherwise the path starts at column 14.
// Any text is accepted: columns beyond the end of a short line read as absent (flag clear, empty
// path), and an entry with an empty path never matches anything.
PermissionRecord parse_permission(std::string_view line);

// The path part of a stored line, as parse_permission finds it (a view into `line`).
std::string_view permission_line_path(std::string_view line);

// Every line of a "szfp" value, parsed, in order.
std::vector<PermissionRecord> parse_permission_lines(std::string_view szfp);

// The text form "[%c] %c%c%c%c%c%c%c%c%c %s": origin, then the flags in the order r w d l c x h m
// s (the letter when granted, "-" when not), then the path.
std::string format_permission(const PermissionRecord& rec);

// The closest-match lookup for a virtual path (normally a directory path ending in "/"):
// the user's lines first; the template's lines (nullopt when the user has no template) only when
// no user line matched. An entry matches when its path is a prefix of `path` ignoring case; the
// longest wins, and of equal lengths the earlier line. When the winning entry lacks inheritance it
// applies only to exactly its own directory: there is no fall-back to a shorter entry. Returns
// true when an entry applies; `out` (may be null) then receives its origin and flags with the
// path set to `path`.
//
// With `names`, `path` is spelled as on disk and an entry matches only when its directory part
// (up to its last "/") names the same directory on disk as that much of `path`: an entry on
// /c:/pub/ does not reach a twin /c:/PUB/ (see vfs/dir_names.h). Without, case never matters.
bool find_permission(std::string_view user_szfp, std::optional<std::string_view> template_szfp,
                     std::string_view path, PermissionRecord* out,
                     const DirectoryNames* names = nullptr);

// The line find_permission goes by for `path`, and the list it comes from: the closest line
// (as above), which applies when it inherits or names exactly the directory of `path`.
struct PermissionMatch {
  enum class Source { None, User, Template };
  Source source = Source::None;
  std::string_view line;  // a view into the text it comes from
  bool applies = false;
};
PermissionMatch match_permission(std::string_view user_szfp,
                                 std::optional<std::string_view> template_szfp,
                                 std::string_view path, const DirectoryNames* names = nullptr);

// Normalises and checks a directory path typed into an editor: "\" becomes "/", a trailing and a
// leading "/" are added when missing; the result must read "/x:/..." (x a letter), with a colon
// only at index 2 and none of ! " * < > ? or control characters. nullopt on refusal.
std::optional<std::string> validate_permission_path(std::string_view text);

// The message an editor shows when validate_permission_path refuses a path.
inline constexpr const char* kInvalidPathMessage = "Invalid pathname, please try again.";

}  // namespace qorda::vfs
