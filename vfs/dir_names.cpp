#include "vfs/dir_names.h"

#include "platform/ascii.h"
#include "platform/volume.h"

namespace qorda::vfs {

namespace {

// Equal but for the case of the drive letter ("/C:/pub/" and "/c:/pub/").
bool spelled_alike(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (a.size() != b.size() || a.size() < 3 || a[2] != ':' || b[2] != ':') return false;
  return a[0] == b[0] && platform::ascii_lower(a[1]) == platform::ascii_lower(b[1]) &&
         a.substr(2) == b.substr(2);
}

}  // namespace

bool DirectoryNames::same(std::string_view written, std::string_view dir) const {
  if (!platform::ascii_iequal(written, dir)) return false;
  if (spelled_alike(written, dir)) return true;
  std::string key(written);
  auto it = settled_.find(key);
  if (it != settled_.end() && it->second == dir) return true;
  platform::Result<std::string> named = platform::disk_spelling(written);
  if (!named) return false;
  if (settled_.size() >= kMaxSettledNames) settled_.clear();
  settled_[key] = *named;
  if (*named == dir) return true;
  // `dir` should be spelled as on disk already; a caller's other spelling is settled the same way.
  platform::Result<std::string> asked = platform::disk_spelling(dir);
  return asked && *asked == *named;
}

}  // namespace qorda::vfs
