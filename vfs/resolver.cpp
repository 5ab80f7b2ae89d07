#include "vfs/resolver.h"

#include <vector>

#include "log/descriptors.h"
#include "platform/ascii.h"
#include "platform/volume.h"
#include "store/links.h"

namespace qorda::vfs {

namespace {

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "/x:/..." with a letter, as every virtual directory starts.
bool has_drive_prefix(std::string_view p) {
  return p.size() >= 4 && p[0] == '/' && is_letter(p[1]) && p[2] == ':' && p[3] == '/';
}

// The walk's position: a virtual directory (as the file system names it) and its local path.
struct Cursor {
  std::string vdir;
  std::string local;
};

// Moves the cursor to an existing directory. SECURITY: the path is split into checked
// components and mapped below the drive's directory (platform/volume.h), so no text can lead
// the cursor outside a drive; the bound keeps link chains from growing a path without limit.
bool enter(Cursor& c, std::string_view vdir) {
  if (vdir.size() > kMaxVirtualPath || !has_drive_prefix(vdir)) return false;
  platform::Result<platform::DirLocation> loc = platform::locate_directory(vdir);
  if (!loc) {
    log::report_open_failure(loc.err, "directory read");
    return false;
  }
  c.vdir = std::move(loc->vpath);
  c.local = std::move(loc->local);
  return true;
}

bool enter_child(Cursor& c, const std::string& name) {
  if (c.vdir.size() + name.size() + 1 > kMaxVirtualPath) return false;
  c.vdir += name;
  c.vdir += '/';
  if (c.local.empty() || c.local.back() != '/') c.local += '/';
  c.local += name;
  return true;
}

// The parent of a virtual directory; a drive root is its own parent.
std::string parent_of(const std::string& vdir) {
  if (vdir.size() <= 4) return vdir;
  size_t slash = vdir.rfind('/', vdir.size() - 2);
  return vdir.substr(0, slash + 1);
}

std::string drive_root(char letter) {
  return std::string("/") + platform::ascii_lower(letter) + ":/";
}

bool is_root_of_view(const FsState& st, const std::string& dir) {
  for (const DriveRoot& r : st.drive_roots) {
    if (platform::ascii_iequal(r.root, dir)) return true;
  }
  return false;
}

ResolveResult walk(const FsState& st, std::string_view cwd, std::string_view arg,
                   std::string* out_dir, std::string* out_name, bool allow_wildcards,
                   bool follow_links, bool check, int depth, Cursor& cur) {
  if (depth >= kMaxLinkDepth) return ResolveResult::BadLink;
  std::string& dir = *out_dir;
  std::string& name = *out_name;
  dir = std::string(cwd);
  name.clear();

  // One scan over the whole argument.
  std::string a(arg);
  if (a.empty()) return ResolveResult::NotFound;
  bool wild = false;
  int colons = 0;
  for (char& ch : a) {
    if (ch == '\\') ch = '/';
    switch (ch) {
      case '"':
      case '<':
      case '>':
      case '^':
      case '|':
        return ResolveResult::NotFound;
      case ':':
        if (++colons > 1) return ResolveResult::NotFound;
        break;
      case '*':
      case '?':
        if (!allow_wildcards) return ResolveResult::NotFound;
        wild = true;
        break;
      case '/':
        // SECURITY: wildcards only in the last component, so a pattern never selects a
        // directory to walk through.
        if (wild) return ResolveResult::NotFound;
        break;
      default:
        break;
    }
  }

  if (!has_drive_prefix(cwd)) return ResolveResult::NotFound;
  size_t pos = 0;
  if (a[0] == '/') {
    if (!check || st.all_drives) {
      if (!enter(cur, drive_root(cwd[1]))) return ResolveResult::NotFound;
    } else {
      const DriveRoot* node = st.root_for(cwd[1]);
      if (!node) return ResolveResult::Denied;  // cwd lies outside the user's view
      if (!enter(cur, node->root)) return ResolveResult::NotFound;
    }
    dir = cur.vdir;
    if (check && !st.permission(dir)) return ResolveResult::Denied;
    pos = 1;
  } else if (!enter(cur, cwd)) {
    return ResolveResult::NotFound;
  }
  dir = cur.vdir;

  std::string_view rest(a);
  rest.remove_prefix(pos);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

  std::vector<std::string_view> comps;
  if (!rest.empty()) {
    size_t i = 0;
    for (;;) {
      size_t end = rest.find('/', i);
      if (end == std::string_view::npos) {
        comps.push_back(rest.substr(i));
        break;
      }
      comps.push_back(rest.substr(i, end - i));
      i = end + 1;
    }
  }

  for (size_t i = 0; i < comps.size(); ++i) {
    std::string_view comp = comps[i];
    const bool last = i + 1 == comps.size();

    if (comp == "." || comp == "..") {
      std::string remembered = cur.vdir;
      if (!enter(cur, comp == "." ? cur.vdir : parent_of(cur.vdir))) return ResolveResult::NotFound;
      dir = cur.vdir;
      if (check && !st.permission(dir)) {
        // ".." at a restricted user's root stays there; anywhere else it is refused.
        if (!is_root_of_view(st, remembered) || !enter(cur, remembered))
          return ResolveResult::Denied;
        dir = cur.vdir;
      }
      continue;
    }

    if (comp.size() >= 2 && comp[1] == ':') {
      if (!check || st.all_drives) {
        if (!is_letter(comp[0]) || !enter(cur, drive_root(comp[0]))) return ResolveResult::NotFound;
      } else if (const DriveRoot* node = st.root_for(comp[0])) {
        if (!enter(cur, node->root)) return ResolveResult::NotFound;
      }
      dir = cur.vdir;
      if (check && !st.permission(dir)) return ResolveResult::Denied;
      if (comp.size() == 2) continue;
      comp.remove_prefix(2);  // "c:pub" is drive c, then the component pub
      if (comp == "." || comp == "..") {
        comps[i] = comp;
        --i;
        continue;
      }
    }

    if (!platform::valid_component(comp)) {
      // Empty (two slashes in a row) or otherwise unusable as a name: never found.
      return ResolveResult::NotFound;
    }

    if (platform::has_wildcards(comp)) {  // necessarily the last component
      platform::Result<std::vector<platform::DirEntry>> hits = platform::find_files(cur.vdir, comp);
      name = std::string(comp);
      if (!hits) log::report_open_failure(hits.err, "directory read");
      if (!hits || hits->empty()) return ResolveResult::NotFound;
      continue;
    }

    platform::Result<platform::Lookup> found = platform::lookup(cur.local, comp);
    if (found) {
      if (found->is_dir) {
        if (!enter_child(cur, found->name)) return ResolveResult::NotFound;
        dir = cur.vdir;
        if (check && !st.permission(dir)) return ResolveResult::Denied;
        continue;
      }
      if (!last) {
        name.clear();
        return ResolveResult::NotFound;
      }
      name = std::string(comp);
      continue;
    }
    if (found.err != ENOENT) {
      log::report_open_failure(found.err, "directory read");
      return ResolveResult::NotFound;
    }

    if (comp == "~") {
      if (!enter(cur, st.home_path)) return ResolveResult::NotFound;
      dir = cur.vdir;
      if (check && !st.permission(dir)) return ResolveResult::Denied;
      continue;
    }

    store::LinkRecord link;
    link.location = dir + std::string(comp);
    if (st.links == nullptr || link.location.size() > kMaxVirtualPath || !st.links->read(link)) {
      if (last) name = std::string(comp);
      return ResolveResult::NotFound;
    }
    if (!follow_links) {
      name = link.target;
      return ResolveResult::BadLink;
    }
    std::string link_dir, link_name;
    Cursor inner;
    ResolveResult r = walk(st, dir, link.target, &link_dir, &link_name, allow_wildcards, true,
                           false, depth + 1, inner);
    dir = link_dir;
    name = link_name;
    if (r != ResolveResult::Ok) return r;
    cur = std::move(inner);
    if (check && !st.permission(dir)) return ResolveResult::Denied;
    if (!name.empty() && !last) {
      // A link to a file cannot stand in the middle of a path.
      name.clear();
      return ResolveResult::NotFound;
    }
  }

  if (check && !st.permission(dir)) return ResolveResult::Denied;
  return ResolveResult::Ok;
}

}  // namespace

void add_permission_root(FsState& st, std::string_view entry) {
  while (!entry.empty() && (entry.back() == '\r' || entry.back() == '\n')) entry.remove_suffix(1);
  PermissionRecord rec = parse_permission(entry);
  if (rec.path == "/") {
    st.all_drives = true;
    return;
  }
  Cursor c;
  if (!enter(c, rec.path)) return;  // still grants permissions, adds no root
  if (rec.h) st.home_path = c.vdir;
  char letter = upper(c.vdir[1]);
  for (DriveRoot& r : st.drive_roots) {
    if (r.letter != letter) continue;
    size_t n = 0;
    while (n < r.root.size() && n < c.vdir.size() && r.root[n] == c.vdir[n]) ++n;
    size_t slash = r.root.rfind('/', n == 0 ? 0 : n - 1);
    r.root.resize(slash + 1);
    return;
  }
  st.drive_roots.insert(st.drive_roots.begin(), DriveRoot{letter, c.vdir});
}

void add_permission_roots(FsState& st) {
  auto each_line = [&st](std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      size_t end = text.find_first_of("\r\n", i);
      if (end == std::string_view::npos) end = text.size();
      if (end > i) add_permission_root(st, text.substr(i, end - i));
      i = end + 1;
    }
  };
  if (st.template_szfp) each_line(*st.template_szfp);
  each_line(st.user_szfp);
}

ResolveResult resolve_path(const FsState& st, std::string_view cwd, std::string_view arg,
                           std::string* out_dir, std::string* out_name, ResolveOptions options,
                           int depth) {
  std::string dir_buf, name_buf;
  if (!out_dir) out_dir = &dir_buf;
  if (!out_name) out_name = &name_buf;
  Cursor cur;
  return walk(st, cwd, arg, out_dir, out_name, options.allow_wildcards, options.follow_links,
              options.check_permissions, depth, cur);
}

std::string display_path(const FsState& st, std::string_view p) {
  if ((!p.empty() && p[0] == '~') || st.all_drives) return std::string(p);
  if (p.size() < 2) return kNoAccess;
  const DriveRoot* node = st.root_for(p[1]);
  if (!node) return kNoAccess;
  const std::string& root = node->root;
  if (root.empty() || !platform::ascii_istarts_with(p, root)) return kNoAccess;
  std::string out;
  if (st.drive_roots.size() > 1) out = std::string(p.substr(0, 3));
  out += p.substr(root.size() - 1);
  return out;
}

bool choose_home(FsState& st, char startup_drive) {
  if (st.all_drives) st.drive_roots.clear();
  if (!st.all_drives && st.drive_roots.empty()) return false;
  Cursor c;
  if (!st.home_path.empty() && enter(c, st.home_path)) {
    st.home_path = c.vdir;
  } else if (st.all_drives) {
    st.home_path = drive_root(startup_drive);
  } else {
    const DriveRoot* node = st.root_for(startup_drive);
    if (!node) {
      for (const DriveRoot& r : st.drive_roots) {
        if (!node || r.letter < node->letter) node = &r;
      }
    }
    st.home_path = node->root;
  }
  if (!st.permission(st.home_path, &st.home_dir)) {
    st.home_dir = PermissionRecord{};
    st.home_dir.path = st.home_path;
  }
  st.current_dir = st.home_dir;
  return true;
}

bool directory_exists(std::string_view p) {
  Cursor c;
  return enter(c, p);
}

}  // namespace qorda::vfs
