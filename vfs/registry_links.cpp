#include "vfs/fs_state.h"

namespace qorda::vfs {

bool RegistryLinks::read(store::LinkRecord& rec) const {
  return store::read_link(reg_, rec);
}

}  // namespace qorda::vfs
