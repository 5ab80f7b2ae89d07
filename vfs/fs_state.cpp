#include "vfs/fs_state.h"

namespace qorda::vfs {

namespace {
char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

const DriveRoot* FsState::root_for(char letter) const {
  for (const DriveRoot& r : drive_roots) {
    if (r.letter == upper(letter)) return &r;
  }
  return nullptr;
}

bool FsState::permission(const std::string& dir, PermissionRecord* out) const {
  std::optional<std::string_view> t;
  if (template_szfp) t = *template_szfp;
  return find_permission(user_szfp, t, dir, out, &names);
}

void FsState::reset() {
  const LinkSource* keep = links;
  *this = FsState{};
  links = keep;
}

}  // namespace qorda::vfs
