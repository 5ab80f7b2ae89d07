// qorda check USER [--ip A.B.C.D] [--at HH:MM] [PATH...]: what the server would make of a login
// and of the paths the user would type, explained line by line. Every decision is taken by the
// server's own code (the IP decision, the client limits, the login view and home, the path walk
// and the permission lookup), in the order PASS takes them; only the password is not tested.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "session/cmd_login.h"
#include "session/tls_setup.h"
#include "store/drives.h"
#include "store/limits.h"
#include "store/lines.h"
#include "store/records.h"
#include "store/settings.h"
#include "vfs/fs_state.h"
#include "vfs/ipmask.h"
#include "vfs/permission.h"
#include "vfs/resolver.h"

namespace qorda::app {
namespace {

const char kCmd[] = "check";

const char kUsage[] =
    "usage: qorda check USER [--ip A.B.C.D] [--at HH:MM] [PATH...]\n"
    "\n"
    "Explains what the server would do when USER logs in from the address A.B.C.D\n"
    "(default 127.0.0.1) at the time of day HH:MM (default: now), with the server's own\n"
    "login code: the IP line that allows or denies the address, the disabled and guest\n"
    "flags, the client limits in force (counted as if no other client were logged in),\n"
    "what the client's / shows and the home. Then, for each PATH typed as a client types\n"
    "it after logging in (/pub, ../incoming, docs/readme.txt), the virtual path, the local\n"
    "directory it maps to and the permission line that decides, or why it cannot be\n"
    "reached. The password is not tested.\n"
    "\n"
    "How file permissions work:\n"
    "  A line \"[u] rwdlcxhms /c:/path/\" grants on one directory r read, w write, d delete\n"
    "  and rename files, l list, c create directories, x remove directories, h home,\n"
    "  m show .message files, and with s the same on every directory below (\"-\": not\n"
    "  granted). [u] lines are the user's own, [t] lines the template's, [s] lines the\n"
    "  server's defaults (ballowip for IP lines, imaxc for limits).\n"
    "  For each directory the closest line decides: of the user's lines the one with the\n"
    "  longest path leading to it, and the template's lines only when no user line does.\n"
    "  A closest line without s means no access below its own directory.\n"
    "  The client's / is the deepest directory holding all of a drive's lines: lines on\n"
    "  /c:/home/alice/ and /c:/pub/ make / the drive root /c:/. Every directory the client\n"
    "  walks through, / included, needs a line that applies to it (\"[u] --------- /c:/\"\n"
    "  grants nothing there but passage).\n"
    "\n"
    "Exit status: 0 when the login would succeed, 1 when it would be refused (or the store\n"
    "cannot be read), 2 for bad arguments.\n";

const std::vector<acct::OptionDef> kOptions = {{"ip", true}, {"at", true}};

// Where a permission or IP line comes from, as the administrator reads it.
const char* source_name(vfs::PermissionMatch::Source s) {
  return s == vfs::PermissionMatch::Source::Template ? "the template's" : "the user's";
}

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// "read, list, show .message; applies to /c:/pub/ and below" for a parsed permission line.
std::string rights_of(const vfs::PermissionRecord& r) {
  std::vector<const char*> words;
  if (r.r) words.push_back("read");
  if (r.w) words.push_back("write");
  if (r.d) words.push_back("delete and rename");
  if (r.l) words.push_back("list");
  if (r.c) words.push_back("create directories");
  if (r.x) words.push_back("remove directories");
  if (r.h) words.push_back("home");
  if (r.m) words.push_back("show .message");
  std::string out;
  for (const char* w : words) out += (out.empty() ? "" : ", ") + std::string(w);
  if (!r.r && !r.w && !r.d && !r.l && !r.c && !r.x) {
    out = out.empty() ? "passage only" : "passage only, " + out;
  }
  return out + (r.s ? "; applies to " + r.path + " and below" : "; applies to " + r.path + " only");
}

// The "rights:" line for a virtual directory: the line that decides, or why none does.
std::string rights_line(const vfs::FsState& st, const std::string& dir) {
  std::optional<std::string_view> t;
  if (st.template_szfp) t = *st.template_szfp;
  const vfs::PermissionMatch m = vfs::match_permission(st.user_szfp, t, dir, &st.names);
  using Source = vfs::PermissionMatch::Source;
  if (m.source == Source::None) {
    return "none: no line of the user's" +
           std::string(t ? " or of the template's" : " (and there is no template)") + " leads to " +
           dir;
  }
  const vfs::PermissionRecord rec = vfs::parse_permission(m.line);
  if (m.applies) {
    return std::string(source_name(m.source)) + " line " + quoted(m.line) + ": " + rights_of(rec);
  }
  std::string out = "none: the closest line, " + std::string(source_name(m.source)) + " " +
                    quoted(m.line) + ", has no s, so it reaches " + rec.path + " only";
  if (m.source == Source::User && t &&
      vfs::match_permission("", t, dir, &st.names).source != Source::None) {
    out += " (the template's lines count only where no user line leads)";
  }
  return out;
}

std::string local_of(const std::string& vdir) {
  platform::Result<platform::DirLocation> loc = platform::locate_directory(vdir);
  return loc ? loc->local : "(not found)";
}

// "LABEL VDIR (the client sees SHOWN)", its local directory and the rights there.
void print_place(const vfs::FsState& st, const char* label, const std::string& vdir) {
  std::printf("%-9s %s (the client sees %s)\n", label, vdir.c_str(),
              vfs::display_path(st, vdir).c_str());
  std::printf("  local:     %s\n", local_of(vdir).c_str());
  std::printf("  rights:    %s\n", rights_line(st, vdir).c_str());
}

// Lines naming directories that do not exist: they grant rights but add no root and no home.
void print_missing(std::string_view szfp, const char* whose) {
  for (std::string_view line : store::split_lines(szfp)) {
    const vfs::PermissionRecord rec = vfs::parse_permission(line);
    if (line.empty() || rec.path == "/" || vfs::directory_exists(rec.path)) continue;
    std::printf("note:     %s line %s names no existing directory: it adds no root%s\n", whose,
                quoted(line).c_str(), rec.h ? " and is not the home" : "");
  }
}

void print_view(const vfs::FsState& st, session::LoginView view) {
  if (st.all_drives) {
    std::printf(
        "root:     every drive (a line on \"/\"): / is the current drive's root and paths "
        "show as /c:/...\n");
  } else {
    std::vector<vfs::DriveRoot> roots = st.drive_roots;
    std::sort(roots.begin(), roots.end(),
              [](const vfs::DriveRoot& a, const vfs::DriveRoot& b) { return a.letter < b.letter; });
    if (roots.size() > 1) {
      std::printf("root:     several drives: / is the current drive's root, each shown as /x:/\n");
    }
    for (const vfs::DriveRoot& r : roots) {
      print_place(st, "root:", r.root);
      if (!st.permission(r.root)) {
        std::printf(
            "  hint:      no line applies to %s, so the client cannot list it or pass "
            "through it: give it a line (\"[u] --------- %s\" grants passage only)\n",
            r.root.c_str(), r.root.c_str());
      }
    }
  }
  print_place(st, "home:", st.home_path);
  if (view == session::LoginView::NoHome) {
    std::printf(
        "  note:      no line with h names an existing directory: the client is told \"No home "
        "directory.\" and starts here\n");
  }
}

void print_path(const vfs::FsState& st, const std::string& arg) {
  std::printf("path %s\n", arg.c_str());
  std::string dir, name;
  const vfs::ResolveResult r = vfs::resolve_path(
      st, st.home_path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  if (r == vfs::ResolveResult::Ok) {
    std::string local = local_of(dir);
    if (!name.empty()) {
      platform::Result<platform::Lookup> found = platform::lookup(local, name);
      local += (local.empty() || local.back() != '/' ? "/" : "") + (found ? found->name : name);
    }
    std::printf("  %-10s %s%s (the client sees %s%s)\n",
                name.empty() ? "directory:" : "file:", dir.c_str(), name.c_str(),
                vfs::display_path(st, dir).c_str(), name.c_str());
    std::printf("  local:     %s\n", local.c_str());
    std::printf("  rights:    %s%s\n", rights_line(st, dir).c_str(),
                name.empty() ? "" : " (a file has its directory's rights)");
  } else if (r == vfs::ResolveResult::Denied) {
    std::printf("  denied:    %s (the client sees %s)\n", dir.c_str(),
                vfs::display_path(st, dir).c_str());
    std::printf("  rights:    %s\n", rights_line(st, dir).c_str());
  } else if (r == vfs::ResolveResult::NotFound && !name.empty()) {
    std::printf("  not found: no %s in %s (the client sees %s)\n", name.c_str(), dir.c_str(),
                vfs::display_path(st, dir).c_str());
  } else if (r == vfs::ResolveResult::NotFound) {
    std::printf(
        "  not found: a directory on the way is missing, or the path is malformed "
        "(reached %s)\n",
        dir.c_str());
  } else {
    std::printf("  not found: links nested more than %d deep (a chain or a loop)\n",
                vfs::kMaxLinkDepth);
  }
}

// The limits in force at `at` and, when they refuse even a first client, the reason the server
// logs.
std::optional<std::string> print_limits(const std::string& typed, const store::UserRecord& account,
                                        const std::optional<store::TemplateRecord>& tmpl,
                                        const vfs::IpBytes& ip, const platform::LocalTime& at) {
  if (account.bignore) {
    std::printf("limits:   not applied (priority logins: --ignore-limits)\n");
    return std::nullopt;
  }
  const uint32_t imaxc = store::settings().imaxc;
  std::optional<std::string_view> szcl;
  if (tmpl) szcl = tmpl->szcl;
  int line = -1;
  const std::array<int, 5> limit = store::client_limits_at(szcl, imaxc, at, &line);
  std::printf("limits:   at %02d:%02d, with no other client logged in: ", at.hour, at.minute);
  if (!tmpl) {
    std::printf("no template, so only the server maximum applies: %d (imaxc)\n",
                limit[static_cast<int>(store::LimitKind::ServerTotal) - 1]);
  } else if (line < 0) {
    std::printf(
        "no line of template '%s' covers the time, so every limit is the server "
        "maximum %u (imaxc)\n",
        tmpl->name.c_str(), imaxc);
  } else {
    const std::string_view text = store::split_lines(tmpl->szcl)[static_cast<size_t>(line)];
    std::printf("template '%s' line %s: total %d, per user %d, per ip %d, both %d, server %d\n",
                tmpl->name.c_str(), quoted(text).c_str(), limit[0], limit[1], limit[2], limit[3],
                limit[4]);
  }
  // The session's name is the login name (ftp taken as anonymous), as the server counts it.
  const std::string login = store::account_for_login(typed);
  store::LimitSession me;
  me.user = login;
  me.sztemp = account.sztemp;
  me.has_template = tmpl.has_value();
  me.addr = ip;
  const store::LimitDecision d = store::evaluate_client_limits(szcl, imaxc, at, me, {});
  if (d.accepted) return std::nullopt;
  return session::limit_refusal_reason(d, login, account.sztemp, vfs::format_ip_address(ip));
}

// "ip A.B.C.D: allowed by ...": the IP line that decides, as USER finds it.
bool print_ip(const store::UserRecord& account, const std::optional<store::TemplateRecord>& tmpl,
              const vfs::IpBytes& ip) {
  std::optional<std::string_view> tip;
  if (tmpl) tip = tmpl->szip;
  const bool default_allow = store::settings().ballowip != 0;
  const bool allowed = vfs::select_ip_decision(account.szip, tip, default_allow, ip);
  const vfs::IpMatch m = vfs::find_best_ip_entry(account.szip, tip, ip);
  std::printf("ip:       %s %s by ", vfs::format_ip_address(ip).c_str(),
              allowed ? "allowed" : "denied");
  if (m.source == vfs::IpMatch::Source::None) {
    std::printf("the server default %s (ballowip %d): no IP line matches\n",
                quoted(default_allow ? vfs::kDefaultAllowIpLine : vfs::kDefaultDenyIpLine).c_str(),
                default_allow ? 1 : 0);
  } else {
    const bool user = m.source == vfs::IpMatch::Source::User;
    const std::string_view text = user ? std::string_view(account.szip) : *tip;
    std::printf("%s line %s\n", user ? "the user's" : "the template's",
                quoted(store::split_lines(text)[m.line]).c_str());
  }
  return allowed;
}

std::optional<platform::LocalTime> parse_at(const std::string& text) {
  if (store::check_limit_time(text, true)) return std::nullopt;
  platform::LocalTime t = platform::clock().local_now();
  t.hour = (text[0] - '0') * 10 + (text[1] - '0');
  t.minute = (text[3] - '0') * 10 + (text[4] - '0');
  t.second = 0;
  return t;
}

}  // namespace

int run_check(const Context& ctx, const Args& args) {
  acct::ParsedArgs p;
  if (auto err = acct::parse_args(args, kOptions, p)) {
    std::fprintf(stderr, "qorda check: %s\n%s", err->c_str(), kUsage);
    return kExitUsage;
  }
  if (p.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (p.positional.empty()) {
    std::fprintf(stderr, "qorda check: give a user name\n%s", kUsage);
    return kExitUsage;
  }
  vfs::IpBytes ip{127, 0, 0, 1};
  platform::LocalTime at = platform::clock().local_now();
  for (const acct::Option& o : p.options) {
    if (o.name == "ip") {
      auto parsed = vfs::parse_ip_address(o.value);
      if (!parsed) {
        return acct::fail(kCmd, "--ip needs an address A.B.C.D, not '" + o.value + "'", kExitUsage);
      }
      ip = *parsed;
    } else {
      auto parsed = parse_at(o.value);
      if (!parsed) {
        return acct::fail(
            kCmd, "--at needs a time of day HH:MM from 00:00 to 23:59, not '" + o.value + "'",
            kExitUsage);
      }
      at = *parsed;
    }
  }

  auto reg = open_store(ctx, platform::Registry::Mode::ReadOnly);
  if (!reg) {
    return acct::fail(kCmd, "cannot open the store " + store_path(ctx) + ": " + reg.msg,
                      kExitFailure);
  }
  // The settings and drives as `serve` reads them at start.
  store::settings().load(**reg);
  if (platform::Status st = store::load_drive_table(**reg, ctx.home, platform::drive_table());
      !st) {
    return acct::fail(kCmd, "cannot load the drive table: " + st.msg, kExitFailure);
  }
  if (char d = platform::drive_table().startup_drive(); d != 0) store::startup().startup_drive = d;

  const std::string& typed = p.positional[0];
  store::UserRecord account;
  account.name = store::account_for_login(typed);
  if (!store::read_user(**reg, account, {.main_fields = true, .counters = true})) {
    std::printf("user:     %s%s: no such account\n", typed.c_str(),
                account.name != typed ? (" (the account " + account.name + ")").c_str() : "");
    std::printf("login:    refused (unknown user)\n");
    return kExitFailure;
  }
  if (auto names = store::list_users(**reg)) {  // the account's own spelling
    for (const std::string& n : *names) {
      if (platform::ascii_iequal(n, account.name)) account.name = n;
    }
  }
  const std::optional<store::TemplateRecord> tmpl = store::read_user_template(**reg, account);
  std::printf("user:     %s", typed.c_str());
  if (account.name != typed) std::printf(" (the account %s)", account.name.c_str());
  if (tmpl) {
    std::printf(", template '%s'\n", tmpl->name.c_str());
  } else if (store::has_template(account.sztemp)) {
    std::printf(", template %s does not exist, so none\n", account.sztemp.c_str());
  } else {
    std::printf(", no template\n");
  }

  // The checks in the order PASS takes them; the first that fails decides.
  std::optional<std::string> refusal;
  if (!print_ip(account, tmpl, ip)) refusal = "ip not allowed";
  if (account.bguest) {
    std::printf("password: any (guest account: the password is taken as an e-mail address)\n");
  } else if (account.szpass.empty()) {
    std::printf(
        "password: none is set, so every password is wrong ('qorda user passwd %s' "
        "sets one)\n",
        account.name.c_str());
    if (!refusal) refusal = "wrong password";
  } else {
    std::printf("password: required (not tested here)\n");
  }
  std::printf("account:  %s\n", account.bdisable ? "disabled (--disabled)" : "enabled");
  if (account.bdisable && !refusal) refusal = "account disabled";
  if (store::settings().btls != 0) {
    const bool required = store::settings().brequiretls != 0;
    platform::Result<platform::TlsContext> tls = session::load_tls_context(store::settings());
    if (tls.ok()) {
      std::printf("tls:      %s (the certificate and key load)\n",
                  required ? "AUTH TLS required before USER" : "AUTH TLS offered");
    } else {
      std::printf("tls:      AUTH TLS is refused (431): %s\n", tls.msg.c_str());
      if (required && !refusal) refusal = "TLS required but not available";
    }
  }
  std::optional<std::string> limit = print_limits(typed, account, tmpl, ip, at);
  if (limit && !refusal) refusal = *limit;

  vfs::RegistryLinks links(**reg);
  vfs::FsState st;
  std::optional<std::string_view> tfp;
  if (tmpl) tfp = tmpl->szfp;
  const session::LoginView view = session::build_login_view(st, account.szfp, tfp, &links);
  if (tmpl) print_missing(tmpl->szfp, "the template's");
  print_missing(account.szfp, "the user's");
  if (view == session::LoginView::NoPermissions) {
    std::printf("rights:   none: no line on \"/\" and no line on an existing directory\n");
    if (!refusal) refusal = "no file permissions";
  } else {
    print_view(st, view);
  }
  if (refusal) {
    std::printf("login:    refused (%s)\n", refusal->c_str());
  } else {
    std::printf("login:    would succeed\n");
  }
  if (view != session::LoginView::NoPermissions) {
    for (size_t i = 1; i < p.positional.size(); ++i) print_path(st, p.positional[i]);
  }
  return refusal ? kExitFailure : kExitOk;
}

}  // namespace qorda::app
