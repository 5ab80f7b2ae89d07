#include "platform/volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "platform/ascii.h"
#include "platform/fd.h"

namespace qorda::platform {

namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::string join(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// Follows a symbolic link; falls back to the link itself when it dangles.
bool stat_follow(const std::string& path, struct stat* st) {
  if (::stat(path.c_str(), st) == 0) return true;
  return ::lstat(path.c_str(), st) == 0;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The real location of a local path (every symbolic link resolved), or "" when there is none
// (a dangling link, a loop).
std::string real_location(const std::string& path) {
  std::unique_ptr<char, FreeDeleter> real(::realpath(path.c_str(), nullptr));
  return real ? std::string(real.get()) : std::string();
}

// The real directories of the mapped drives, worked out when the first symbolic link asks for
// them: a drive's directory may itself be (or lie below) a link, and the administrator may have
// moved what it leads to since the table was read.
class DriveRealRoots {
 public:
  bool holds(const std::string& real) {
    if (real.empty()) return false;
    if (!known_) {
      for (const Drive& d : drive_table().list()) {
        std::string r = real_location(d.root);
        if (!r.empty()) roots_.push_back(std::move(r));
      }
      known_ = true;
    }
    for (const std::string& r : roots_) {
      if (r == "/" || real == r ||
          (real.size() > r.size() && real.compare(0, r.size(), r) == 0 && real[r.size()] == '/')) {
        return true;
      }
    }
    return false;
  }

 private:
  bool known_ = false;
  std::vector<std::string> roots_;
};

// SECURITY: a symbolic link inside a drive may lead anywhere on the machine (the server's store,
// other users' files). A link is usable only while what it leads to lies within some drive's
// directory; a dangling one leads nowhere a client could be allowed to create.
bool link_stays_inside(const std::string& path, DriveRealRoots& roots) {
  return roots.holds(real_location(path));
}
bool link_stays_inside(const std::string& path) {
  DriveRealRoots roots;
  return link_stays_inside(path, roots);
}

Status outside_drives() {
  return Status::error(EXDEV, "leads outside every drive");
}

// A found entry described from its lstat: a symbolic link counts as what it leads to, and only
// when that lies within a drive.
Result<Lookup> described(const std::string& path, std::string name, const struct stat& st) {
  if (!S_ISLNK(st.st_mode)) return Lookup{std::move(name), S_ISDIR(st.st_mode), false};
  if (!link_stays_inside(path)) return outside_drives();
  struct stat target {};
  bool is_dir = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  return Lookup{std::move(name), is_dir, true};
}

DirEntry entry_from_stat(std::string name, const struct stat& st) {
  DirEntry e;
  e.name = std::move(name);
  e.is_dir = S_ISDIR(st.st_mode);
  e.read_only = (st.st_mode & S_IWUSR) == 0;
  e.size = e.is_dir ? 0 : static_cast<uint64_t>(st.st_size);
  e.mtime = st.st_mtim.tv_sec;
  e.mtime_nsec = st.st_mtim.tv_nsec;
  return e;
}

// Calls f(name) for every entry of a local directory but "." and "..". Reads the entries
// straight from the open directory: opendir would add an fstat to every scan, and a scan runs
// whenever a name is not found with the case it was given.
template <class F>
Status for_each_name(const std::string& dir, F&& f) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return Status::from_errno();
  alignas(8) char buf[16384];
  for (;;) {
    ssize_t n = ::getdents64(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::from_errno();
    }
    if (n == 0) return {};
    for (ssize_t off = 0; off < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(buf + off);
      off += e->d_reclen;
      std::string_view name(e->d_name);
      if (name != "." && name != "..") f(name);
    }
  }
}

// A drive path split and mapped: the local directory holding the last component, and the
// component's name as the file system stores it (or as given when it does not exist).
struct Mapped {
  char letter = 0;
  std::string dir;    // local directory of the last component (the drive root when none)
  std::string name;   // empty when the path names the drive root
  std::string typed;  // the last component as given
  std::string vpath;  // "/x:/" and the names found, without a trailing slash after the last
  bool exists = false;
  bool is_dir = false;
  bool is_link = false;  // the last component is a symbolic link (that stays within the drives)
  std::string local() const { return name.empty() ? dir : join(dir, name); }
};

Result<Mapped> map_path(std::string_view path) {
  Result<DrivePath> dp = split_drive_path(path);
  if (!dp) return dp.status();
  const std::string* root = drive_table().root(dp->letter);
  if (!root) return Status::error(ENOENT, "drive not mapped");
  Mapped m;
  m.letter = dp->letter;
  m.dir = *root;
  // The drive's directory must exist. A first component found in it proves that already, so
  // the directory itself is examined only for the drive root or when that look-up fails.
  auto root_missing = [&] {
    struct stat st {};
    return !stat_follow(*root, &st) || !S_ISDIR(st.st_mode);
  };
  if (dp->parts.empty() && root_missing()) return Status::error(ENOENT, "drive directory missing");
  m.exists = m.is_dir = true;
  m.vpath = std::string("/") + dp->letter + ":/";
  for (size_t i = 0; i < dp->parts.size(); ++i) {
    bool last = i + 1 == dp->parts.size();
    if (last) m.typed = dp->parts[i];
    if (!m.name.empty()) {
      if (!m.is_dir) return Status::error(ENOTDIR);
      m.dir = join(m.dir, m.name);
    }
    if (i > 0) m.vpath += '/';
    Result<Lookup> l = lookup(m.dir, dp->parts[i]);
    if (!l && i == 0 && root_missing()) return Status::error(ENOENT, "drive directory missing");
    if (!l) {
      if (l.err != ENOENT || !last) return l.status();
      m.name = dp->parts[i];
      m.exists = false;
      m.is_dir = false;
      m.is_link = false;
      m.vpath += m.name;
      return m;
    }
    m.vpath += l->name;
    m.name = l->name;
    m.is_dir = l->is_dir;
    m.is_link = l->is_link;
  }
  return m;
}

}  // namespace

// ---- DriveTable ----

Status DriveTable::set(char letter, std::string_view root) {
  if (!is_letter(letter)) return Status::error(EINVAL, "drive letter must be a..z");
  if (root.empty() || root[0] != '/' || root.find('\0') != std::string_view::npos) {
    return Status::error(EINVAL, "drive directory must be an absolute path");
  }
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  roots_[ascii_lower(letter) - 'a'] = std::move(r);
  return {};
}

void DriveTable::remove(char letter) {
  if (is_letter(letter)) roots_[ascii_lower(letter) - 'a'].clear();
}

void DriveTable::clear() {
  for (auto& r : roots_) r.clear();
}

const std::string* DriveTable::root(char letter) const {
  if (!is_letter(letter)) return nullptr;
  const std::string& r = roots_[ascii_lower(letter) - 'a'];
  return r.empty() ? nullptr : &r;
}

bool DriveTable::empty() const {
  for (const auto& r : roots_) {
    if (!r.empty()) return false;
  }
  return true;
}

std::vector<Drive> DriveTable::list() const {
  std::vector<Drive> out;
  for (int i = 0; i < 26; ++i) {
    if (!roots_[i].empty()) out.push_back({static_cast<char>('a' + i), roots_[i]});
  }
  return out;
}

char DriveTable::startup_drive() const {
  if (has('c')) return 'c';
  for (int i = 0; i < 26; ++i) {
    if (!roots_[i].empty()) return static_cast<char>('a' + i);
  }
  return 0;
}

DriveTable& drive_table() {
  static DriveTable table;
  return table;
}

// ---- Names and paths ----

bool valid_component(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  // SECURITY: a "/" would let one component name a path of its own; a NUL would cut the name
  // short at the system call.
  return name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

Result<Lookup> lookup(const std::string& dir, std::string_view name) {
  if (!valid_component(name)) return Status::error(EINVAL, "invalid name");
  struct stat st {};
  std::string exact = join(dir, name);
  // Only a symbolic link needs a second look to learn what it leads to.
  if (::lstat(exact.c_str(), &st) == 0) return described(exact, std::string(name), st);
  std::string best;
  bool found = false;
  Status scanned = for_each_name(dir, [&](std::string_view n) {
    if (ascii_iequal(n, name) && (!found || n < best)) {
      best = std::string(n);
      found = true;
    }
  });
  if (!scanned) return scanned;
  if (!found) return Status::error(ENOENT);
  std::string path = join(dir, best);
  if (::lstat(path.c_str(), &st) != 0) return Status::error(ENOENT);  // gone meanwhile
  return described(path, std::move(best), st);
}

Result<std::vector<std::string>> lookup_names(std::string_view dir,
                                              const std::vector<std::string_view>& names) {
  Result<Mapped> m = map_path(dir);
  if (!m) return m.status();
  if (!m->exists || !m->is_dir) return Status::error(ENOENT);
  const std::string local = m->local();
  std::vector<std::string> found(names.size());
  bool missing = false;
  struct stat st {};
  for (size_t i = 0; i < names.size(); ++i) {
    if (!valid_component(names[i])) continue;
    if (::lstat(join(local, names[i]).c_str(), &st) == 0) {
      found[i] = std::string(names[i]);
    } else {
      missing = true;
    }
  }
  if (!missing) return found;
  std::vector<bool> exact(names.size());
  for (size_t i = 0; i < names.size(); ++i) exact[i] = !found[i].empty();
  Status scanned = for_each_name(local, [&](std::string_view n) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (exact[i] || !ascii_iequal(n, names[i])) continue;
      if (found[i].empty() || n < found[i]) found[i] = std::string(n);
    }
  });
  if (!scanned) return scanned;
  return found;
}

Result<DrivePath> split_drive_path(std::string_view path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  size_t i = (!p.empty() && p[0] == '/') ? 1 : 0;
  if (p.size() < i + 2 || !is_letter(p[i]) || p[i + 1] != ':') {
    return Status::error(EINVAL, "no drive in path");
  }
  DrivePath out;
  out.letter = ascii_lower(p[i]);
  i += 2;
  if (i < p.size() && p[i] != '/') return Status::error(EINVAL, "no slash after the drive");
  while (i < p.size()) {
    ++i;  // the slash
    size_t end = p.find('/', i);
    if (end == std::string::npos) end = p.size();
    std::string_view part(p.data() + i, end - i);
    if (part.empty() && end == p.size()) break;  // one trailing slash
    if (!valid_component(part)) return Status::error(EINVAL, "invalid path component");
    out.parts.emplace_back(part);
    i = end;
  }
  return out;
}

Result<std::string> map_drive_path(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  return m->local();
}

Result<std::string> map_existing_path(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  return m->local();
}

Result<DirLocation> locate_directory(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  if (!m->is_dir) return Status::error(ENOTDIR);
  DirLocation d{m->vpath, m->local()};
  if (d.vpath.back() != '/') d.vpath += '/';
  return d;
}

Result<std::string> disk_spelling(std::string_view vpath) {
  Result<DrivePath> dp = split_drive_path(vpath);
  if (!dp) return dp.status();
  std::string out = std::string("/") + dp->letter + ":/";
  const std::string* root = drive_table().root(dp->letter);
  std::string dir = root != nullptr ? *root : std::string();
  bool found = root != nullptr;
  for (size_t i = 0; i < dp->parts.size(); ++i) {
    if (i > 0) out += '/';
    const std::string& part = dp->parts[i];
    if (found) {
      Result<Lookup> l = lookup(dir, part);
      found = l && l->is_dir;
      if (found) {
        out += l->name;
        dir = join(dir, l->name);
        continue;
      }
    }
    for (char c : part) out += ascii_lower(c);
  }
  const char end = vpath.empty() ? '\0' : vpath.back();
  if (!dp->parts.empty() && (end == '/' || end == '\\')) out += '/';
  return out;
}

Result<UniqueFd> open_entry(std::string_view path, int flags, unsigned mode) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists && (flags & O_CREAT) == 0) return Status::error(ENOENT);
  // SECURITY: the walk above checked every component. A name that was not a link is opened
  // without following one, so a link put in its place since cannot lead the open elsewhere; a
  // link that was found leading inside is checked again where the open actually arrived. (The
  // drive's own directory is the administrator's and may be a link.)
  const bool follow = m->is_link || m->name.empty();
  UniqueFd fd(::open(m->local().c_str(), flags | (follow ? 0 : O_NOFOLLOW), mode));
  if (!fd) return errno == ELOOP && !follow ? outside_drives() : Status::from_errno();
  if (m->is_link) {
    // Where the descriptor arrived, as the kernel names it; without /proc the walk's check
    // stands.
    std::string arrived(PATH_MAX, '\0');
    std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
    ssize_t n = ::readlink(proc.c_str(), arrived.data(), arrived.size());
    DriveRealRoots roots;
    if (n > 0 && static_cast<size_t>(n) < arrived.size()) {
      arrived.resize(static_cast<size_t>(n));
      if (!roots.holds(arrived)) return outside_drives();
    }
  }
  return fd;
}

Result<std::string> map_setting_path(std::string_view path) {
  if (!path.empty() && path[0] == '/' && !(path.size() >= 3 && path[2] == ':')) {
    if (path.find('\0') != std::string_view::npos) return Status::error(EINVAL);
    return std::string(path);
  }
  return map_drive_path(path);
}

// ---- Search ----

bool wildcard_match(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*" || pattern == "*") return true;
  // One pass with a single back-up point at the last "*": a later "*" supersedes the earlier
  // one, so each name position is tried at most once per pattern position.
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      mark = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || ascii_lower(pattern[p]) == ascii_lower(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Result<std::vector<DirEntry>> find_files(std::string_view dir, std::string_view pattern) {
  std::vector<DirEntry> out;
  Status st = visit_files(dir, pattern, [&out](const DirEntry& e) {
    out.push_back(e);
    return true;
  });
  if (!st.ok()) return st;
  return out;
}

Status visit_files(std::string_view dir, std::string_view pattern,
                   const std::function<bool(const DirEntry&)>& visit) {
  Result<Mapped> m = map_path(dir);
  if (!m) return m.status();
  if (!m->exists || !m->is_dir) return Status::error(ENOTDIR);
  std::string local = m->local();
  DirHandle d(::opendir(local.c_str()));
  if (!d) return Status::from_errno();
  struct stat st {};
  if (!m->name.empty()) {  // not a drive root
    if (wildcard_match(pattern, ".") && stat_follow(local, &st) &&
        !visit(entry_from_stat(".", st))) {
      return Status::success();
    }
    if (wildcard_match(pattern, "..") && stat_follow(m->dir, &st) &&
        !visit(entry_from_stat("..", st))) {
      return Status::success();
    }
  }
  DriveRealRoots roots;
  // Entries are examined relative to the open directory: no path to build and walk per entry.
  const int dfd = ::dirfd(d.get());
  while (dirent* e = ::readdir(d.get())) {
    std::string_view n(e->d_name);
    if (n == "." || n == ".." || !wildcard_match(pattern, n)) continue;
    bool link = e->d_type == DT_LNK;
    if (e->d_type == DT_UNKNOWN) {
      link = ::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    }
    // A link that leads outside the drives (or nowhere) is not listed: the name could not be
    // used, and its target's size and time are not the client's to see.
    if (link && !link_stays_inside(join(local, n), roots)) continue;
    if (::fstatat(dfd, e->d_name, &st, 0) != 0) continue;  // vanished meanwhile
    if (!visit(entry_from_stat(std::string(n), st))) break;
  }
  return Status::success();
}

Result<DirEntry> stat_entry(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  struct stat st {};
  if (!stat_follow(m->local(), &st)) return Status::from_errno();
  return entry_from_stat(m->name, st);
}

// ---- Changes ----

Status make_directory(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (m->exists) return Status::error(EEXIST);
  if (::mkdir(m->local().c_str(), 0755) != 0) return Status::from_errno();
  return {};
}

Status remove_directory(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (m->name.empty()) return Status::error(EBUSY, "a drive root cannot be removed");
  if (!m->exists) return Status::error(ENOENT);
  if (::rmdir(m->local().c_str()) != 0) return Status::from_errno();
  return {};
}

Status delete_file(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  if (m->is_dir) return Status::error(EISDIR);
  if (::unlink(m->local().c_str()) != 0) return Status::from_errno();
  return {};
}

namespace {

// Copies `from` to a fresh temporary name in the directory of `to`, then renames it to `to`.
// On any failure the temporary copy is removed.
Status copy_into_place(const std::string& from, const std::string& to_dir, const std::string& to) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return Status::from_errno();
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Status::from_errno();
  if (!S_ISREG(st.st_mode)) return Status::error(EISDIR, "only files move across drives");
  std::string tmp;
  UniqueFd out;
  std::mt19937 rng(std::random_device{}());
  for (int i = 0; i < 100 && !out; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, ".qorda-move-%08x", static_cast<unsigned>(rng()));
    tmp = join(to_dir, name);
    out.reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (!out && errno != EEXIST) return Status::from_errno();
  }
  if (!out) return Status::error(EEXIST);
  char buf[65536];
  Status s;
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      s = Status::from_errno();
      break;
    }
    if (n == 0) break;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = ::write(out.get(), buf + off, static_cast<size_t>(n - off));
      if (w < 0) {
        if (errno == EINTR) continue;
        s = Status::from_errno();
        break;
      }
      off += w;
    }
    if (!s) break;
  }
  if (s && ::fsync(out.get()) != 0) s = Status::from_errno();
  if (s && ::close(out.release()) != 0) s = Status::from_errno();
  if (s && ::access(to.c_str(), F_OK) == 0) s = Status::error(EEXIST);
  if (s && ::rename(tmp.c_str(), to.c_str()) != 0) s = Status::from_errno();
  if (!s) ::unlink(tmp.c_str());
  return s;
}

}  // namespace

Status move_file(std::string_view from, std::string_view to) {
  Result<Mapped> src = map_path(from);
  if (!src) return src.status();
  if (!src->exists || src->name.empty()) return Status::error(ENOENT);
  Result<Mapped> dst = map_path(to);
  if (!dst) return dst.status();
  if (dst->name.empty()) return Status::error(EEXIST);
  std::string s = src->local(), d = dst->local();
  if (dst->exists) {
    // The same entry under another case is a rename of the name's spelling.
    if (s != d) return Status::error(EEXIST);
    d = join(dst->dir, dst->typed);
  }
  if (::rename(s.c_str(), d.c_str()) == 0) return {};
  if (errno != EXDEV) return Status::from_errno();
  if (src->is_dir) return Status::error(EXDEV, "directories do not move across drives");
  Status c = copy_into_place(s, dst->dir, d);
  if (!c) return c;
  if (::unlink(s.c_str()) != 0) return Status::from_errno();
  return {};
}

Status set_read_only(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  struct stat st {};
  std::string local = m->local();
  if (::stat(local.c_str(), &st) != 0) return Status::from_errno();
  if (::chmod(local.c_str(), st.st_mode & 07777 & ~mode_t{0222}) != 0) return Status::from_errno();
  return {};
}

Status clear_attributes(std::string_view path) {
  Result<Mapped> m = map_path(path);
  if (!m) return m.status();
  if (!m->exists) return Status::error(ENOENT);
  struct stat st {};
  std::string local = m->local();
  if (::stat(local.c_str(), &st) != 0) return Status::from_errno();
  if ((st.st_mode & S_IWUSR) != 0) return {};
  if (::chmod(local.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) return Status::from_errno();
  return {};
}

Result<std::string> create_unique(std::string_view dir) {
  Result<Mapped> m = map_path(dir);
  if (!m) return m.status();
  if (!m->exists || !m->is_dir) return Status::error(ENOTDIR);
  std::string local = m->local();
  // Start at a random number so that a directory full of earlier names costs few attempts.
  std::mt19937 rng(std::random_device{}());
  unsigned start = rng() & 0xFFFFu;
  for (unsigned i = 0; i <= 0xFFFFu; ++i) {
    unsigned v = (start + i) & 0xFFFFu;
    if (v == 0) continue;
    char name[16];
    std::snprintf(name, sizeof name, "FTP%X.TMP", v);
    if (lookup(local, name)) continue;  // taken in some case
    UniqueFd fd(::open(join(local, name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd) return std::string(name);
    if (errno != EEXIST) return Status::from_errno();
  }
  return Status::error(EEXIST, "no unique name left");
}

Result<uint64_t> free_space(char letter) {
  const std::string* root = drive_table().root(letter);
  if (!root) return Status::error(ENOENT, "drive not mapped");
  struct statvfs sv {};
  if (::statvfs(root->c_str(), &sv) != 0) return Status::from_errno();
  return static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
}

}  // namespace qorda::platform
