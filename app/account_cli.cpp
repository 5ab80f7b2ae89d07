#include "app/account_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/ascii.h"
#include "platform/fileio.h"
#include "store/keys.h"
#include "store/lines.h"
#include "vfs/ipmask.h"
#include "vfs/permission.h"

namespace qorda::app::acct {

std::optional<std::string> parse_args(const Args& args, const std::vector<OptionDef>& defs,
                                      ParsedArgs& out) {
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.size() < 2 || a[0] != '-') {
      out.positional.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      out.help = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) return "unknown option '" + a + "'";
    std::string name = a.substr(2);
    std::optional<std::string> inline_value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionDef* def = nullptr;
    for (const OptionDef& s : defs) {
      if (name == s.name) def = &s;
    }
    if (!def) return "unknown option '--" + name + "'";
    if (def->takes_value) {
      if (inline_value) {
        out.options.push_back({name, *inline_value});
      } else if (i + 1 < args.size()) {
        out.options.push_back({name, args[++i]});
      } else {
        return "option '--" + name + "' needs a value";
      }
    } else {
      if (inline_value) return "option '--" + name + "' takes no value";
      out.options.push_back({name, ""});
    }
  }
  return std::nullopt;
}

namespace {

// Strips an optional "[o] " prefix; false when it is there with another origin.
bool strip_origin(std::string_view& text, char origin, std::string& error) {
  if (text.empty() || text[0] != '[') return true;
  if (text.size() < 4 || text[2] != ']' || text[3] != ' ') {
    error = "malformed line '" + std::string(text) + "'";
    return false;
  }
  if (text[1] != origin) {
    error = std::string("this list holds only [") + origin + "] lines: '" + std::string(text) + "'";
    return false;
  }
  text.remove_prefix(4);
  return true;
}

}  // namespace

std::optional<std::string> permission_arg(std::string_view text, char origin, std::string& error) {
  if (!strip_origin(text, origin, error)) return std::nullopt;
  static constexpr char kLetters[] = "rwdlcxhms";
  if (text.size() < 10 || text[9] != ' ') {
    error = "invalid permission line '" + std::string(text) +
            "': give nine flags rwdlcxhms ('-' for a flag not granted), a blank and the path";
    return std::nullopt;
  }
  for (size_t i = 0; i < 9; ++i) {
    if (text[i] != kLetters[i] && text[i] != '-') {
      error = "invalid permission flags '" + std::string(text.substr(0, 9)) +
              "': each column is its letter of rwdlcxhms or '-'";
      return std::nullopt;
    }
  }
  auto path = vfs::validate_permission_path(text.substr(10));
  if (!path) {
    error = "invalid path '" + std::string(text.substr(10)) +
            "': give a drive path such as /c:/pub/ or c:\\pub (no ! \" * < > ? or control "
            "characters)";
    return std::nullopt;
  }
  vfs::PermissionRecord rec;
  rec.origin = origin;
  rec.r = text[0] == 'r';
  rec.w = text[1] == 'w';
  rec.d = text[2] == 'd';
  rec.l = text[3] == 'l';
  rec.c = text[4] == 'c';
  rec.x = text[5] == 'x';
  rec.h = text[6] == 'h';
  rec.m = text[7] == 'm';
  rec.s = text[8] == 's';
  rec.path = *path;
  return vfs::format_permission(rec);
}

std::optional<std::string> ip_arg(std::string_view text, char origin, std::string& error) {
  if (!strip_origin(text, origin, error)) return std::nullopt;
  if (text.size() < 2 || (text[0] != 'a' && text[0] != 'd') || text[1] != ' ') {
    error = "invalid ip line '" + std::string(text) + "': give 'a MASK' (allow) or 'd MASK' (deny)";
    return std::nullopt;
  }
  std::string_view mask = text.substr(2);
  if (!vfs::validate_ip_mask(mask)) {
    error = "invalid ip mask '" + std::string(mask) +
            "': give four parts joined by dots, each a number up to 255, a range such as 34-78, "
            "or *";
    return std::nullopt;
  }
  return vfs::format_ip_entry(vfs::IpRecord{origin, text[0] == 'a', std::string(mask)});
}

bool AccessLines::take(const Option& o, std::string& error) {
  error.clear();
  const bool perm = o.name == "perm" || o.name == "no-perms";
  if (!perm && o.name != "ip" && o.name != "no-ips") return false;
  std::vector<std::string>& lines = perm ? perms_ : ips_;
  (perm ? perms_given_ : ips_given_) = true;
  if (o.name == "no-perms" || o.name == "no-ips") {
    lines.clear();
    return true;
  }
  auto line = perm ? permission_arg(o.value, origin_, error) : ip_arg(o.value, origin_, error);
  if (line) lines.push_back(*line);
  return true;
}

void AccessLines::apply(std::string& szfp, std::string& szip) const {
  if (perms_given_) szfp = store::join_lines(perms_);
  if (ips_given_) szip = store::join_lines(ips_);
}

std::optional<store::LimitRange> limit_arg(std::string_view text, std::string& error) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    fields.push_back(
        text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (fields.size() != 6) {
    error = "invalid client limit '" + std::string(text) +
            "': give START,END,TOTAL,PERUSER,PERIP,BOTH (-1 for no limit of its own)";
    return std::nullopt;
  }
  for (int i = 0; i < 2; ++i) {
    if (auto fault = store::limit_time_fault(fields[i])) {
      error = std::string("invalid ") + (i == 0 ? "start" : "end") + " time '" +
              std::string(fields[i]) + "': " +
              (*fault == store::TimeFault::Format ? "give HH:MM, such as 08:00"
                                                  : "give a time from 00:00 to 23:59");
      return std::nullopt;
    }
  }
  store::LimitRange r;
  r.start = std::string(fields[0]);
  r.end = std::string(fields[1]);
  for (int i = 0; i < 4; ++i) {
    std::string_view f = fields[2 + i];
    std::optional<uint32_t> n;
    if (f == "-1") {
      r.limits[i] = -1;
      continue;
    }
    n = number_arg(f);
    if (!n || *n > 0x7fffffffu) {
      error = "invalid client limit '" + std::string(f) +
              "': a limit is a number of clients, or -1 for no limit of its own";
      return std::nullopt;
    }
    r.limits[i] = static_cast<int>(*n);
  }
  return r;
}

std::optional<uint32_t> number_arg(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(ch - '0');
  }
  if (v > 0xffffffffu) return std::nullopt;
  return static_cast<uint32_t>(v);
}

uint32_t setup_dword(platform::Registry& reg, const char* name, uint32_t def) {
  auto v = reg.query(store::kSetupKey, name);
  if (!v || v->type != platform::RegType::Dword) return def;
  return v->dword;
}

int fail(const std::string& cmd, const std::string& message, int status) {
  std::fprintf(stderr, "qorda %s: %s\n", cmd.c_str(), message.c_str());
  return status;
}

std::unique_ptr<platform::Registry> open_or_report(const Context& ctx, const std::string& cmd) {
  auto reg = open_store(ctx, platform::Registry::Mode::ReadWrite);
  if (!reg) {
    fail(cmd, store_open_message(ctx, cmd, reg.status()), kExitFailure);
    return nullptr;
  }
  return std::move(reg.value);
}

std::optional<std::string> stored_name(const std::vector<std::string>& names,
                                       std::string_view name) {
  for (const std::string& n : names) {
    if (platform::ascii_iequal(n, name)) return n;
  }
  return std::nullopt;
}

void print_lines(std::string_view text) {
  for (std::string_view line : store::split_lines(text)) {
    if (!line.empty()) std::printf("  %.*s\n", static_cast<int>(line.size()), line.data());
  }
}

std::string name_fault_message(store::NameFault fault, std::string_view kind, std::string_view name,
                               const std::vector<std::string>& names) {
  const std::string k(kind), n(name);
  switch (fault) {
    case store::NameFault::Blank:
      return "the " + k + " name must not be empty";
    case store::NameFault::TooLong:
      return k + " name '" + n + "' is longer than " + std::to_string(store::kMaxRecordName) +
             " characters";
    case store::NameFault::Backslash:
      return k + " name '" + n + "' must not contain a backslash";
    case store::NameFault::ControlChar:
      return "the " + k + " name must not contain control characters";
    case store::NameFault::FtpAlias:
      return "'ftp' is another name for the account 'anonymous': give 'anonymous' the access "
             "meant for anonymous FTP";
    case store::NameFault::Taken:
      for (const std::string& stored : names) {
        if (stored != n && platform::ascii_iequal(stored, n)) {
          return k + " '" + stored + "' already exists (names ignore letter case)";
        }
      }
      return k + " '" + n + "' already exists";
  }
  return {};
}

int check_new_name(platform::Registry& reg, const std::string& cmd, RecordKind kind,
                   const std::string& name, const std::string& old_name) {
  const bool user = kind == RecordKind::User;
  auto fault = user ? store::new_user_name_fault(reg, name, old_name)
                    : store::new_template_name_fault(reg, name, old_name);
  if (!fault) return 0;
  auto names = user ? store::list_users(reg) : store::list_templates(reg);
  return fail(cmd, name_fault_message(*fault, user ? "user" : "template", name, names.value),
              kExitUsage);
}

namespace {

// A word as the shell reads it: quoted unless it holds only characters that need no quoting.
std::string shell_word(const std::string& w) {
  bool plain = !w.empty();
  for (char c : w) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              std::strchr("/._-+:@%,=", c) != nullptr;
    plain = plain && ok;
  }
  if (plain) return w;
  std::string q = "'";
  for (char c : w) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string who(uint32_t uid) {
  std::string name = platform::user_name(uid);
  return "uid " + std::to_string(uid) + (name.empty() ? "" : " (" + name + ")");
}

// The sudo prefix that runs a command as `uid`; a user without a name is given as #UID.
std::string sudo_as(uint32_t uid) {
  if (uid == 0) return "sudo";
  std::string name = platform::user_name(uid);
  return "sudo -u " + (name.empty() ? "'#" + std::to_string(uid) + "'" : shell_word(name));
}

// The first of the paths the store needs (the home, or the nearest existing directory above a
// home yet to be made; the store; its journal files) that another user owns, with the owner.
struct Foreign {
  std::string what;
  uint32_t owner = 0;
};

std::optional<Foreign> foreign_part(const Context& ctx, uint32_t me) {
  std::vector<std::pair<std::string, std::string>> parts;  // path, how to name it
  std::string dir = ctx.home;
  std::string what = "the home " + ctx.home;
  while (!platform::owner_of(dir) && dir.size() > 1) {
    size_t slash = dir.rfind('/');
    dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
    what = "the directory " + dir + ", which holds the home " + ctx.home + ",";
  }
  parts.emplace_back(dir, what);
  const std::string db = store_path(ctx);
  parts.emplace_back(db, "the store " + db);
  parts.emplace_back(db + "-wal", db + "-wal");
  parts.emplace_back(db + "-shm", db + "-shm");
  for (const auto& [path, name] : parts) {
    auto owner = platform::owner_of(path);
    if (owner && *owner != me) return Foreign{name, *owner};
  }
  return std::nullopt;
}

}  // namespace

std::string store_failure(const Context& ctx, const std::string& cmd, const std::string& doing,
                          const platform::Status& st) {
  const std::string db = store_path(ctx);
  std::string reason = st.msg.empty() ? std::string(std::strerror(st.err)) : st.msg;
  if (reason.find(db) == std::string::npos) reason = db + ": " + reason;
  if (st.err != EACCES && st.err != EPERM && st.err != EROFS) return doing + ": " + reason;
  const uint32_t me = platform::effective_uid();
  if (me == 0) {
    return doing + ": " + reason +
           "; the home or its file system is read-only even for root: choose another home with "
           "--home DIR";
  }
  if (auto f = foreign_part(ctx, me)) {
    return doing + ": " + f->what + " belongs to " + who(f->owner) + " and this command runs as " +
           who(me) + "; run it as that user (" + sudo_as(f->owner) + " qorda --home " +
           shell_word(ctx.home) + " " + cmd + " ...) or choose a home of your own with --home DIR";
  }
  return doing + ": the home " + ctx.home +
         " or its store is not writable, though both belong to " + who(me) +
         ", this command's user (or the file system is read-only): make them writable " +
         "(chmod u+w " + shell_word(ctx.home) + " " + shell_word(db) +
         ") or choose another home with --home DIR";
}

int store_result(const Context& ctx, const std::string& cmd, const std::string& doing,
                 const platform::Status& st) {
  if (st) return kExitOk;
  return fail(cmd, store_failure(ctx, cmd, doing, st), kExitFailure);
}

int dispatch_subcommand(const Context& ctx, const Args& args, const char* family, const char* usage,
                        const std::vector<Subcommand>& subs,
                        const std::vector<OptionDef>& edit_defs) {
  if (args.empty()) {
    std::fputs(usage, stderr);
    return kExitUsage;
  }
  const std::string& sub = args[0];
  if (sub == "--help" || sub == "-h" || sub == "help") {
    std::fputs(usage, stdout);
    return kExitOk;
  }
  static const std::vector<OptionDef> kNone;
  for (const Subcommand& s : subs) {
    if (sub != s.name) continue;
    ParsedArgs p;
    Args rest(args.begin() + 1, args.end());
    if (auto err = parse_args(rest, s.edit_options ? edit_defs : kNone, p)) {
      return fail(std::string(family) + " " + s.name, *err, kExitUsage);
    }
    if (p.help) {
      std::fputs(usage, stdout);
      return kExitOk;
    }
    return s.run(ctx, p);
  }
  std::fprintf(stderr, "qorda %s: unknown subcommand '%s'\n", family, sub.c_str());
  std::fputs(usage, stderr);
  return kExitUsage;
}

}  // namespace qorda::app::acct
