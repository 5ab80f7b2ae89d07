// Drive letters on Linux: the table that maps each drive letter to a local directory, and the
// translation of drive paths ("c:/ftp/pub/a.zip") into local paths below those directories.
//
// Drives behave like the volumes the server was designed for: names are case-insensitive and
// case-preserving. A component is looked up by its exact name first, then by the first directory
// entry equal to it ignoring ASCII case, in byte order of the entries' names (so the choice is
// stable whatever order the directory is read in).
//
// SECURITY: every local path this layer builds is the drive's directory plus components that
// were each checked: never empty, ".", ".." (a climb is settled on the virtual path above this
// layer, so it can never leave the drive), nor holding "/" or NUL. The server never creates a
// symbolic link. One placed inside a drive is followed only while its real location (every link
// resolved) lies within the directory of some mapped drive (the drive's directories are compared
// by their real locations too); a link that leads elsewhere, or dangles, cannot be used by any
// operation (EXDEV), is left out of directory searches, and so looks missing to a client. A
// name that does not exist yet is checked through its directory. We use this careful
// normalisation rather than descriptor-relative calls (which could not allow links into other
// drives): the walk is the same, the paths stay printable for logs, and no client action can
// change the tree's links under it; the final open refuses to follow a link that appeared since.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::platform {

struct Drive {
  char letter = 'c';  // lower case
  std::string root;   // absolute local directory, no trailing slash ("/" stays "/")
};

class DriveTable {
 public:
  // Maps a letter (either case) to an absolute local directory; a relative directory or a
  // letter outside a..z is refused with EINVAL.
  Status set(char letter, std::string_view root);
  void remove(char letter);
  void clear();

  // The local directory of a drive, or nullptr when the letter is not mapped.
  const std::string* root(char letter) const;
  bool has(char letter) const { return root(letter) != nullptr; }
  bool empty() const;
  // Every mapped drive, in letter order.
  std::vector<Drive> list() const;
  // 'c' when drive c exists, otherwise the lowest mapped letter; 0 when the table is empty.
  char startup_drive() const;

 private:
  std::array<std::string, 26> roots_{};
};

// The process-wide table that every file operation below consults.
DriveTable& drive_table();

// Is `name` a usable path component? Refuses "", ".", "..", and names holding "/" or NUL.
bool valid_component(std::string_view name);

// A component found in a directory: its name as the file system stores it.
struct Lookup {
  std::string name;
  bool is_dir = false;   // a link counts as what it leads to
  bool is_link = false;  // a symbolic link (that stays within the drives)
};

// Looks `name` up in the local directory `dir`: exact name first, then the first entry equal to
// it ignoring ASCII case. ENOENT when nothing matches; EINVAL for an invalid component; EXDEV
// when the entry found is a symbolic link that leads outside every drive or nowhere.
Result<Lookup> lookup(const std::string& dir, std::string_view name);

// Several names of one existing directory (a drive path) looked up as `lookup` does: the name
// as the file system stores it for each one found, "" for each one not. One directory read
// serves every name its exact-case look-up misses. ENOENT when the directory does not exist.
Result<std::vector<std::string>> lookup_names(std::string_view dir,
                                              const std::vector<std::string_view>& names);

// Splits a drive path ("c:/a/b", "/c:/a/b/", backslashes allowed) into its lower-case letter and
// components. EINVAL when there is no drive or a component is invalid (see valid_component).
struct DrivePath {
  char letter = 0;
  std::vector<std::string> parts;
};
Result<DrivePath> split_drive_path(std::string_view path);

// The local path of a drive path: the drive's directory followed by each component, looked up
// case-insensitively; components that do not exist keep the case given (so a new name is
// created as typed, and an existing one in another case means that entry). ENOENT for an
// unmapped drive or when a component other than the last is missing or not a directory; EXDEV
// when a component is a link that leads outside the drives (as for every function below that
// takes a drive path).
Result<std::string> map_drive_path(std::string_view path);
// As map_drive_path, for an entry that must exist: ENOENT when the path names nothing (so a
// caller about to open it need not ask the system again).
Result<std::string> map_existing_path(std::string_view path);

// An existing directory of a drive path: its normalised virtual form ("/c:/ftp/Pub/": lower-case
// letter, the names as the file system stores them, a trailing slash) and its local path.
struct DirLocation {
  std::string vpath;
  std::string local;
};
Result<DirLocation> locate_directory(std::string_view path);

// How the file system spells the directory a drive path names: "/x:/" with a lower-case
// letter, each component as `lookup` finds it (the exact name first, else the case-insensitive
// pick) while they are found as directories, and from the first one that is not on, the rest in
// lower case; a trailing slash as given. Two paths name the same directory exactly when their
// spellings are equal, also where case alone tells two directories apart. EINVAL when the path
// is not a drive path.
Result<std::string> disk_spelling(std::string_view vpath);

// Opens what a drive path names with the open(2) `flags`; with O_CREAT a missing last component
// is created with `mode`. Never follows a last component that is not a checked link.
Result<UniqueFd> open_entry(std::string_view path, int flags, unsigned mode = 0);

// Local file names in settings: "c:\\qorda.log" maps through the drive table; an absolute
// Linux path is used as it stands.
Result<std::string> map_setting_path(std::string_view path);

// ---- Directory search ----

struct DirEntry {
  std::string name;
  bool is_dir = false;
  bool read_only = false;  // no write permission for the owner
  uint64_t size = 0;       // 0 for directories
  int64_t mtime = 0;       // last-write time, seconds since the epoch
  long mtime_nsec = 0;
};

// An entry's last-write time as local time (honours TZ), milliseconds included.
inline LocalTime local_mtime(const DirEntry& e) {
  return to_local(e.mtime, e.mtime_nsec);
}

// Wildcard match with the classic rules: "*" any run, "?" one character, ASCII case ignored,
// "*.*" every name. Time is bounded by name length times pattern length.
bool wildcard_match(std::string_view pattern, std::string_view name);
inline bool has_wildcards(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

// Entries of the directory `dir` (a drive path) whose names match `pattern`, in the order the
// file system returns them; "." and ".." come first for every directory but a drive root.
Result<std::vector<DirEntry>> find_files(std::string_view dir, std::string_view pattern);
// As find_files, handing each entry to `visit` as it is found; the walk stops as soon as `visit`
// returns false, so a caller that needs only the first entries does not read the rest. The
// directory is opened before any entry is handed on: an error comes before the first entry.
Status visit_files(std::string_view dir, std::string_view pattern,
                   const std::function<bool(const DirEntry&)>& visit);
// The entry a drive path names (no wildcards). ENOENT when missing.
Result<DirEntry> stat_entry(std::string_view path);

// ---- Changes ----

Status make_directory(std::string_view path);    // EEXIST when the name exists in any case
Status remove_directory(std::string_view path);  // never a drive root
Status delete_file(std::string_view path);       // files only
// Moves a file (never onto an existing name). Across file systems the file is copied under a
// temporary name next to the target, renamed into place and the source removed; a failed copy
// leaves neither a partial target nor a lost source.
Status move_file(std::string_view from, std::string_view to);
Status set_read_only(std::string_view path);     // removes every write permission
Status clear_attributes(std::string_view path);  // restores the owner's write permission

// Creates a new empty file named "FTP" + 1..4 hex digits + ".TMP" exclusively in the directory
// `dir` (a drive path) and returns its name. EEXIST when every name is taken.
Result<std::string> create_unique(std::string_view dir);

// Free bytes available on the drive's file system (statvfs of its directory).
Result<uint64_t> free_space(char letter);

}  // namespace qorda::platform
