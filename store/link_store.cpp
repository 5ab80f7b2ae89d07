// The links in the registry: read, write, delete and enumerate.
#include "platform/registry.h"
#include "store/keys.h"
#include "store/links.h"

namespace qorda::store {

namespace {

// A directory path that could be a key name of its own: not empty, no backslash (the key
// separator).
bool usable_dir(std::string_view dir) {
  return !dir.empty() && dir.find('\\') == std::string_view::npos;
}

// The directory a links subkey is named by, in the case it was created with; "" when the
// subkey has gone meanwhile.
std::string stored_dir_of(platform::Registry& reg, std::string_view dir) {
  platform::Result<std::string> path = reg.stored_path(links_key_for(dir));
  if (!path) return std::string();
  return path->substr(path->rfind('\\') + 1);
}

}  // namespace

bool read_link(platform::Registry& reg, LinkRecord& rec, std::string* stored_dir) {
  std::string dir, name;
  if (!split_location(rec.location, &dir, &name) || !usable_dir(dir)) return false;
  platform::Result<platform::RegValue> v = reg.query(links_key_for(dir), name);
  if (!v || v->type != platform::RegType::Sz || v->sz.empty()) return false;
  rec.name = name;
  rec.target = v->sz;
  if (stored_dir != nullptr) *stored_dir = stored_dir_of(reg, dir);
  return true;
}

platform::Status write_link(platform::Registry& reg, LinkRecord& rec) {
  std::string dir, name;
  if (!split_location(rec.location, &dir, &name) || !usable_dir(dir)) {
    return platform::Status::error(EINVAL, "link location cannot be split");
  }
  rec.name = name;
  std::string key = links_key_for(dir);
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (platform::Status s = reg.create_key(key); !s) return s;
  if (platform::Status s = reg.set_sz(key, name, rec.target); !s) return s;
  return (*tx)->commit();
}

platform::Status delete_link(platform::Registry& reg, const LinkRecord& rec) {
  std::string dir, name;
  if (!split_location(rec.location, &dir, &name) || !usable_dir(dir)) {
    return platform::Status::error(ENOENT);
  }
  std::string key = links_key_for(dir);
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (platform::Status s = reg.delete_value(key, name); !s) return s;
  platform::Result<uint32_t> n = reg.count_values(key);
  if (n && *n == 0) {
    if (platform::Status s = reg.delete_key(key); !s) return s;
  }
  return (*tx)->commit();
}

std::vector<LinkRecord> list_links(platform::Registry& reg, std::string_view dir,
                                   std::string* stored_dir) {
  std::vector<LinkRecord> out;
  if (!usable_dir(dir)) return out;
  platform::Result<std::vector<platform::RegValue>> vals = reg.values(links_key_for(dir));
  if (!vals) return out;
  if (stored_dir != nullptr && !vals->empty()) *stored_dir = stored_dir_of(reg, dir);
  for (platform::RegValue& v : *vals) {
    if (v.type != platform::RegType::Sz) continue;
    LinkRecord r;
    r.location = std::string(dir) + v.name;
    r.name = std::move(v.name);
    r.target = std::move(v.sz);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<LinkRecord> list_all_links(platform::Registry& reg) {
  std::vector<LinkRecord> out;
  platform::Result<std::vector<std::string>> dirs = reg.subkeys(kLinksKey);
  if (!dirs) return out;
  for (const std::string& d : *dirs) {
    for (LinkRecord& r : list_links(reg, d)) out.push_back(std::move(r));
  }
  return out;
}

}  // namespace qorda::store
