// Moving around and changing the tree: CWD, CDUP, PWD, MKD, RMD, DELE, RNFR and RNTO. Every
// argument goes through resolve_path from the current directory (links followed, permissions
// tested); the permission of the directory concerned decides; replies never show a local path,
// and log lines show the virtual paths as resolved.
#include <string>

#include "log/log.h"
#include "platform/volume.h"
#include "session/banner.h"
#include "session/cmd_login.h"
#include "session/session.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

struct Resolved {
  vfs::ResolveResult result = vfs::ResolveResult::NotFound;
  std::string dir;
  std::string name;
};

Resolved resolve(const Session& s, const std::string& from, std::string_view arg) {
  Resolved r;
  r.result = vfs::resolve_path(
      s.fs, from, arg, &r.dir, &r.name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true}, 0);
  return r;
}

Resolved resolve(const Session& s, std::string_view arg) {
  return resolve(s, s.fs.current_dir.path, arg);
}

// The permission that applies to a directory; an empty record (no flags) when none does.
bool permission(const Session& s, const std::string& dir, vfs::PermissionRecord* out) {
  if (s.fs.permission(dir, out)) return true;
  *out = vfs::PermissionRecord{};
  out->path = dir;
  return false;
}

std::string esc(std::string_view text) {
  return log::escape_for_log(text);
}

void change_directory(Session& s, std::string_view arg) {
  std::string dir;
  if (arg.empty()) {
    dir = s.fs.home_path;
  } else {
    Resolved r = resolve(s, arg);
    const char* why = nullptr;
    if (r.result == vfs::ResolveResult::Denied) {
      s.reply(550, "%s: Permission denied.", std::string(arg).c_str());
      why = "access denied";
    } else if (r.result == vfs::ResolveResult::NotFound || !r.name.empty()) {
      s.reply(550, "%s: No such file or directory.", std::string(arg).c_str());
      why = "not found";
    } else if (r.result == vfs::ResolveResult::BadLink) {
      s.reply(550, "%s: Permission denied.", std::string(arg).c_str());
      why = "bad link";
    }
    if (why != nullptr) {
      s.log(log::Level::Actions, "Can't change directory to \"%s\". (%s)", esc(arg).c_str(), why);
      return;
    }
    dir = r.dir;
  }
  permission(s, dir, &s.fs.current_dir);
  if (s.fs.current_dir.m) send_message_file(s, dir, kMessageFile, 250);
  s.reply(250, "%s command successful.", "CWD");
  s.log(log::Level::Actions, "Changed directory to \"%s\".", esc(dir).c_str());
}

}  // namespace

void clear_rename(Session& s) {
  s.rename_pending = false;
  s.rename_dir.clear();
  s.rename_name.clear();
}

void cmd_cwd(Session& s, std::string& arg) {
  change_directory(s, arg);
}

void cmd_cdup(Session& s, std::string&) {
  change_directory(s, "..");
}

void cmd_pwd(Session& s, std::string&) {
  s.reply(257, "\"%s\" is current directory.",
          vfs::display_path(s.fs, s.fs.current_dir.path).c_str());
}

void cmd_mkd(Session& s, std::string& arg) {
  Resolved r = resolve(s, arg);
  if (r.result == vfs::ResolveResult::BadLink || r.name.empty()) {
    // The argument names an existing directory, is malformed, or leads through a bad link.
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't create directory \"%s\" (%s).", esc(arg).c_str(), "bad path");
    return;
  }
  vfs::PermissionRecord perm;
  permission(s, r.dir, &perm);
  if (r.result != vfs::ResolveResult::NotFound || !perm.c) {
    // The name exists (as a file), the directory is out of reach, or creating is not granted.
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't create directory \"%s\" (%s).", esc(r.dir).c_str(),
          "access denied");
    return;
  }
  const std::string path = r.dir + r.name;
  if (!platform::make_directory(path)) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't create directory \"%s\" (%s).", esc(path).c_str(),
          "file error");
    return;
  }
  s.reply(257, "\"%s\" directory created.", vfs::display_path(s.fs, path).c_str());
  s.log(log::Level::Writes, "Created directory \"%s\".", esc(path).c_str());
}

void cmd_dele(Session& s, std::string& arg) {
  Resolved r = resolve(s, arg);
  if ((r.result != vfs::ResolveResult::Ok && r.result != vfs::ResolveResult::Denied) ||
      r.name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete \"%s\" (%s).", esc(arg).c_str(), "not found");
    return;
  }
  vfs::PermissionRecord perm;
  permission(s, r.dir, &perm);
  if (r.result == vfs::ResolveResult::Denied || !perm.d) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete \"%s\" (%s).", esc(r.dir).c_str(), "access denied");
    return;
  }
  const std::string path = r.dir + r.name;
  // A read-only file is deleted too: its attribute is cleared first.
  if (!platform::clear_attributes(path) || !platform::delete_file(path)) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete \"%s\" (%s).", esc(path).c_str(), "file error");
    return;
  }
  s.reply(250, "%s command successful.", "DELE");
  s.log(log::Level::Writes, "Deleted \"%s\".", esc(path).c_str());
}

void cmd_rmd(Session& s, std::string& arg) {
  Resolved r = resolve(s, arg);
  if (r.result == vfs::ResolveResult::NotFound || r.result == vfs::ResolveResult::BadLink ||
      !r.name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete directory \"%s\" (%s).", esc(arg).c_str(),
          "not found");
    return;
  }
  if (r.result == vfs::ResolveResult::Denied) {
    s.reply(553, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete directory \"%s\" (%s).", esc(arg).c_str(),
          "access denied");
    return;
  }
  // The parent is what ".." leads to; at the user's visible root ".." stays put, so the root
  // itself can never be removed.
  Resolved parent = resolve(s, r.dir, "..");
  vfs::PermissionRecord perm;
  if (parent.result != vfs::ResolveResult::Ok || !parent.name.empty() || parent.dir == r.dir ||
      !permission(s, parent.dir, &perm) || !perm.x) {
    s.reply(553, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete directory \"%s\" (%s).", esc(r.dir).c_str(),
          "access denied");
    return;
  }
  std::string path = r.dir;
  path.pop_back();  // the directory itself, not its contents
  if (!platform::clear_attributes(path) || !platform::remove_directory(path)) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't delete directory \"%s\" (%s).", esc(path).c_str(),
          "file error");
    return;
  }
  s.reply(250, "%s command successful.", "RMD");
  s.log(log::Level::Writes, "Deleted directory \"%s\".", esc(path).c_str());
}

void cmd_rnfr(Session& s, std::string& arg) {
  Resolved r = resolve(s, arg);
  if (r.result != vfs::ResolveResult::Ok || r.name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    clear_rename(s);
    return;
  }
  vfs::PermissionRecord perm;
  permission(s, r.dir, &perm);
  if (!perm.d) {
    s.reply(553, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't rename \"%s\".", esc(r.dir).c_str());
    clear_rename(s);
    return;
  }
  s.rename_pending = true;
  s.rename_dir = r.dir;
  s.rename_name = r.name;
  s.reply(350, "File exists, ready for destination name.");
}

void cmd_rnto(Session& s, std::string& arg) {
  if (!s.rename_pending) {
    s.reply(503, "Bad sequence of commands.");
    return;
  }
  const std::string from = s.rename_dir + s.rename_name;
  clear_rename(s);
  Resolved r = resolve(s, arg);
  const std::string to = r.dir + r.name;
  vfs::PermissionRecord perm;
  // Only a name that does not exist yet, in a directory that grants d; the move never replaces
  // an existing file and leaves either the old name or the new one.
  if (r.result == vfs::ResolveResult::NotFound && !r.name.empty() && permission(s, r.dir, &perm) &&
      perm.d && platform::move_file(from, to)) {
    s.reply(250, "%s command successful.", "RNTO");
    s.log(log::Level::Writes, "Renamed \"%s\" to \"%s\".", esc(from).c_str(), esc(to).c_str());
    return;
  }
  s.reply(553, "%s: Permission denied.", arg.c_str());
  s.log(log::Level::Actions, "Can't rename \"%s\" to \"%s\".", esc(from).c_str(), esc(to).c_str());
}

}  // namespace qorda::session
