// Which directory on disk a path written by the administrator names: a permission entry's
// directory, or the directory a link is stored under.
//
// On a case-sensitive disk "/c:/pub/" and "/c:/PUB/" can both exist. A written path names one of
// them, as a client's path would: the one spelled exactly as written when it exists, else the one
// the case-insensitive look-up picks (platform/volume.h). Rights and links belong to that
// directory alone; where there is no such twin, every spelling still names the one directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qorda::vfs {

// SECURITY: a bound on the written paths remembered per holder, so that a store full of link
// directories cannot grow a session without limit; past it the memory starts afresh.
inline constexpr size_t kMaxSettledNames = 256;

class DirectoryNames {
 public:
  // Does `written` name the directory `dir` (a virtual directory path as the file system spells
  // it, as the resolver gives it)? Never when they differ beyond letter case; always when they are
  // spelled alike (the drive letter in either case); otherwise as the disk decides.
  bool same(std::string_view written, std::string_view dir) const;

 private:
  // What each written path was found to name when the disk was last asked. It keeps naming that
  // directory without another look; a query for any other spelling asks the disk again, so a
  // directory renamed to another case is found under its new name.
  mutable std::unordered_map<std::string, std::string> settled_;
};

}  // namespace qorda::vfs
