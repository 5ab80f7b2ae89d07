// Virtual paths: the gate between what a client types and the local disk, and the way back to
// what the client is shown.
//
// A virtual directory path names the drive first and ends with a slash (/c:/ftp/pub/); its local
// directory is the drive's directory followed by the same components (platform/volume.h). The
// walk keeps its own cursor (a virtual directory and its local path) instead of the process's
// current directory; every step is tested against the file system and carries the names as the
// file system stores them.
#pragma once

#include <string>
#include <string_view>

#include "vfs/fs_state.h"

namespace qorda::vfs {

enum class ResolveResult : int {
  Ok = 0,        // resolved; out_name empty (a directory), a file name, or a pattern
  Denied = 1,    // no permission on a directory, or ".." tried to leave the view
  NotFound = 2,  // bad syntax or a missing component (out_name = a missing last one)
  BadLink = 3,   // links nested too deep (a chain or a loop)
};

// Links nest at most this deep.
inline constexpr int kMaxLinkDepth = 26;
// SECURITY: a bound on every virtual path the walk builds, so that link chains cannot make it
// grow without limit; longer paths are "not found".
inline constexpr size_t kMaxVirtualPath = 4096;

// Takes one permission entry line into the session's view: an entry on "/" sets all_drives; an
// entry on an existing directory adds (or shortens) the root of its drive and, with "h", becomes
// the home. Call for every template line first, then every user line.
void add_permission_root(FsState& st, std::string_view entry);

// Every "szfp" line of both texts through add_permission_root (template first).
void add_permission_roots(FsState& st);

// How resolve_path walks. Callers name every field.
struct ResolveOptions {
  bool allow_wildcards;    // the last component may hold "*" and "?" (listings)
  bool follow_links;       // a link is walked to its target; otherwise it is ResolveResult::BadLink
  bool check_permissions;  // each directory reached must be inside the user's permissions
};

// Walks `arg` from the virtual directory `cwd`. out_dir receives a virtual directory path, and
// out_name the last component as described by ResolveResult. Protocol commands pass
// follow_links and check_permissions true and depth 0; only listings allow wildcards.
ResolveResult resolve_path(const FsState& st, std::string_view cwd, std::string_view arg,
                           std::string* out_dir, std::string* out_name, ResolveOptions options,
                           int depth = 0);

// A virtual path as the client sees it: unchanged for an all-drives user or a "~" path; under a
// restricted user's root with the root shown as "/" (one root) or "/x:/" (several); "no:access"
// outside every root.
std::string display_path(const FsState& st, std::string_view p);
inline constexpr const char* kNoAccess = "no:access";

// After the roots are in: discards them for an all-drives user, picks the home (home_path when
// it can be entered, else "/x:/" with x = startup_drive for an all-drives user, else the root on
// startup_drive or the root with the lowest letter), and sets home_dir and current_dir from the
// permission lookup. False when the user has neither all drives nor any root (no login).
bool choose_home(FsState& st, char startup_drive);

// Is `p` a well-formed virtual directory path ("/x:/..." ending in "/") whose directory exists?
bool directory_exists(std::string_view p);

}  // namespace qorda::vfs
