// SIZE and MDTM: the size and the last-write time of one file, on the control connection.
#include <optional>

#include "platform/clock.h"
#include "platform/volume.h"
#include "session/cmd_listing.h"
#include "session/session.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

// The file an argument names, or nullopt after the 550 reply. Wildcards are not allowed, and a
// directory is not a file.
std::optional<platform::DirEntry> one_file(Session& s, const std::string& arg) {
  std::string dir, name;
  vfs::ResolveResult r = vfs::resolve_path(
      s.fs, s.fs.current_dir.path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  if (r != vfs::ResolveResult::Ok || name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    return std::nullopt;
  }
  vfs::PermissionRecord perm;
  if (!s.fs.permission(dir, &perm) || !perm.l) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    return std::nullopt;
  }
  platform::Result<platform::DirEntry> e = platform::stat_entry((dir + name).substr(1));
  if (!e || e->is_dir) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    return std::nullopt;
  }
  return std::move(e.value);
}

}  // namespace

void cmd_size(Session& s, std::string& arg) {
  std::optional<platform::DirEntry> e = one_file(s, arg);
  if (!e) return;
  // The size in full: a file above 2 GiB is never shown as a negative number, nor one above
  // 4 GiB as its remainder.
  s.reply(213, "%llu", static_cast<unsigned long long>(e->size));
}

void cmd_mdtm(Session& s, std::string& arg) {
  std::optional<platform::DirEntry> e = one_file(s, arg);
  if (!e) return;
  // In UTC, as every client reads it (curl -R, lftp and rclone set a downloaded file's time from
  // it, and mirroring compares it with the local copy): a server in another zone would shift
  // every file by its offset. Listings stay in local time, as `ls -l` shows them.
  const platform::LocalTime t = platform::to_utc(e->mtime, e->mtime_nsec);
  s.reply(213, "%04d%02d%02d%02d%02d%02d.%03d", t.year, t.month, t.day, t.hour, t.minute, t.second,
          t.msec);
}

}  // namespace qorda::session
