#include "vfs/fs_state.h"

namespace qorda::vfs {

bool RegistryLinks::read(store::LinkRecord& rec) const {
  return store::read_link(reg_, rec);
}

std::vector<store::LinkRecord> RegistryLinks::list(const std::string& dir) const {
  return store::list_links(reg_, dir);
}

}  // namespace qorda::vfs
