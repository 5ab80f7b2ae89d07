#include "store/drives.h"

#include <cerrno>
#include <filesystem>

#include "platform/registry.h"
#include "store/keys.h"

namespace qorda::store {

platform::Status load_drive_table(platform::Registry& reg, const std::string& home,
                                  platform::DriveTable& table) {
  table.clear();
  platform::Result<std::vector<platform::RegValue>> vals = reg.values(kDrivesKey);
  bool any = false;
  if (vals) {
    for (const platform::RegValue& v : *vals) {
      any = true;
      if (v.type != platform::RegType::Sz || v.name.size() != 1) continue;
      (void)table.set(v.name[0], v.sz);  // an unusable entry is skipped
    }
  } else if (vals.err != ENOENT) {
    return vals.status();
  }
  if (any) return {};
  std::string c = home + "/c";
  std::error_code ec;
  std::filesystem::create_directory(c, ec);
  if (ec) return platform::Status::error(ec.value(), "cannot create drive c: " + c);
  return table.set('c', c);
}

}  // namespace qorda::store
