// The per-session view of the drives: which directories a user may reach, where the user's
// visible root lies, the home and the current directory. Built at login, discarded at logout.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/links.h"
#include "vfs/dir_names.h"
#include "vfs/permission.h"

namespace qorda::platform {
class Registry;
}

namespace qorda::vfs {

// Where the walk finds links: the links store for the server; tests and the fuzzer may give
// their own.
class LinkSource {
 public:
  virtual ~LinkSource() = default;
  // Fills rec.target (and rec.name) for rec.location; false when there is no such link.
  virtual bool read(store::LinkRecord& rec) const = 0;
  // The links stored for one virtual directory ("/c:/pub/"), in store order, with name and
  // target set. None by default.
  virtual std::vector<store::LinkRecord> list(const std::string& dir) const {
    (void)dir;
    return {};
  }
};

// Links read from the store at every lookup, so a change made elsewhere applies at once.
class RegistryLinks final : public LinkSource {
 public:
  explicit RegistryLinks(platform::Registry& reg) : reg_(reg) {}
  // A link belongs to the one directory on disk its stored directory names: the links of
  // /c:/pub/ are not those of a twin /c:/PUB/ (vfs/dir_names.h).
  bool read(store::LinkRecord& rec) const override;
  std::vector<store::LinkRecord> list(const std::string& dir) const override;

 private:
  platform::Registry& reg_;  // not owned
  DirectoryNames names_;
};

// One visible root: the deepest directory that holds every existing permission directory of a
// drive. A restricted user sees it as "/" (one root) or as "/x:/" (several).
struct DriveRoot {
  char letter = 'C';  // upper case
  std::string root;   // virtual directory path, ending in "/"
};

struct FsState {
  // Permission texts the lookups go by: the user's "szfp" and, when the session has a
  // template, the template's.
  std::string user_szfp;
  std::optional<std::string> template_szfp;

  bool all_drives = false;             // an entry with the path "/" exists
  std::vector<DriveRoot> drive_roots;  // newest first, at most one per drive
  std::string home_path;
  PermissionRecord home_dir;
  PermissionRecord current_dir;

  // Where links are looked up; null means no links. Not owned.
  const LinkSource* links = nullptr;
  // Which directory each permission entry names on disk (remembered for the session).
  DirectoryNames names;

  // The root for a drive letter (either case), or nullptr.
  const DriveRoot* root_for(char letter) const;
  // find_permission over this session's texts, an entry reaching only the directory it names.
  bool permission(const std::string& dir, PermissionRecord* out = nullptr) const;
  // Clears everything but the store pointer.
  void reset();
};

}  // namespace qorda::vfs
