#include "vfs/fs_state.h"

namespace qorda::vfs {

bool RegistryLinks::read(store::LinkRecord& rec) const {
  std::string stored, dir;
  if (!store::read_link(reg_, rec, &stored)) return false;
  if (store::split_location(rec.location, &dir, nullptr) && names_.same(stored, dir)) return true;
  rec.target.clear();
  return false;
}

std::vector<store::LinkRecord> RegistryLinks::list(const std::string& dir) const {
  std::string stored;
  std::vector<store::LinkRecord> out = store::list_links(reg_, dir, &stored);
  if (!out.empty() && !names_.same(stored, dir)) out.clear();
  return out;
}

}  // namespace qorda::vfs
