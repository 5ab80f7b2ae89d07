// qorda user list|show|add|set|del|passwd: the user editor's work on the command line, with its
// checks and messages. Passwords are stored only as their encoding.
#include <cstdio>
#include <iostream>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "store/lines.h"
#include "store/password.h"
#include "store/records.h"
#include "vfs/ipmask.h"

namespace qorda::app {
namespace {

using acct::fail;
using acct::OptionDef;
using acct::ParsedArgs;

const char kUsage[] =
    "usage: qorda user list\n"
    "       qorda user show NAME\n"
    "       qorda user add NAME [OPTIONS]\n"
    "       qorda user set NAME [OPTIONS] [--rename NEW]\n"
    "       qorda user del NAME\n"
    "       qorda user passwd NAME [PASSWORD]   (without PASSWORD: one line from standard input)\n"
    "\n"
    "options of add and set:\n"
    "  --password TEXT          the password (stored only as its encoding)\n"
    "  --template NAME          use the template NAME; --no-template for none\n"
    "  --perm \"[u] rwdlcxhms /c:/path/\"\n"
    "                           a file permission line (repeat for several; on set the given\n"
    "                           lines replace the list); --no-perms empties the list\n"
    "  --ip \"[u] a 10.0.0.*\"    an IP line, a (allow) or d (deny) and a mask (repeatable, as\n"
    "                           --perm); --no-ips empties the list\n"
    "  --guest / --no-guest     guest account (any password accepted as an e-mail address)\n"
    "  --disabled / --enabled   refuse / allow logins\n"
    "  --ignore-limits / --no-ignore-limits   priority logins: client limits not applied\n"
    "  --ignore-ratio / --no-ignore-ratio     upload/download ratios not enforced\n"
    "  --comment TEXT           notes\n"
    "  --ulfiles N --ulkb N --dlfiles N --dlkb N   transfer statistics (stored, retrieved)\n"
    "  --rename NEW             (set only) rename the account\n";

const std::vector<OptionDef> kEditOptions = {
    {"password", true},
    {"template", true},
    {"no-template", false},
    {"perm", true},
    {"no-perms", false},
    {"ip", true},
    {"no-ips", false},
    {"guest", false},
    {"no-guest", false},
    {"disabled", false},
    {"enabled", false},
    {"ignore-limits", false},
    {"no-ignore-limits", false},
    {"ignore-ratio", false},
    {"no-ignore-ratio", false},
    {"comment", true},
    {"ulfiles", true},
    {"ulkb", true},
    {"dlfiles", true},
    {"dlkb", true},
    {"rename", true},
};

std::unique_ptr<platform::Registry> open_or_report(const Context& ctx, const std::string& cmd,
                                                   platform::Registry::Mode mode) {
  auto reg = open_store(ctx, mode);
  if (!reg) {
    fail(cmd, acct::store_open_message(ctx, cmd, reg.status()), kExitFailure);
    return nullptr;
  }
  return std::move(reg.value);
}

// The template's name as stored, found ignoring case; nullopt when there is no such template.
std::optional<std::string> stored_template_name(platform::Registry& reg, std::string_view name) {
  auto names = store::list_templates(reg);
  if (!names) return std::nullopt;
  for (const std::string& n : *names) {
    if (platform::ascii_iequal(n, name)) return n;
  }
  return std::nullopt;
}

// Applies the options to a record; validation only, nothing is written. Returns 0 or the exit
// status after reporting the error.
struct Edit {
  bool password_given = false;
  std::string password;
  unsigned counter_mask = 0;
  std::optional<std::string> rename;
};

int apply_options(platform::Registry& reg, const std::string& cmd, const ParsedArgs& p,
                  store::UserRecord& rec, Edit& edit) {
  std::vector<std::string> perms, ips;
  bool perms_given = false, ips_given = false;
  std::string error;
  for (const acct::Option& o : p.options) {
    const std::string& n = o.name;
    if (n == "password") {
      edit.password_given = true;
      edit.password = o.value;
    } else if (n == "template") {
      auto stored = stored_template_name(reg, o.value);
      if (!stored) return fail(cmd, "no template named '" + o.value + "'", kExitUsage);
      rec.sztemp = store::template_ref(*stored);
    } else if (n == "no-template") {
      rec.sztemp = store::kNoTemplateRef;
    } else if (n == "perm") {
      auto line = acct::permission_arg(o.value, 'u', error);
      if (!line) return fail(cmd, error, kExitUsage);
      perms.push_back(*line);
      perms_given = true;
    } else if (n == "no-perms") {
      perms.clear();
      perms_given = true;
    } else if (n == "ip") {
      auto line = acct::ip_arg(o.value, 'u', error);
      if (!line) return fail(cmd, error, kExitUsage);
      ips.push_back(*line);
      ips_given = true;
    } else if (n == "no-ips") {
      ips.clear();
      ips_given = true;
    } else if (n == "guest" || n == "no-guest") {
      rec.bguest = n == "guest";
    } else if (n == "disabled" || n == "enabled") {
      rec.bdisable = n == "disabled";
    } else if (n == "ignore-limits" || n == "no-ignore-limits") {
      rec.bignore = n == "ignore-limits";
    } else if (n == "ignore-ratio" || n == "no-ignore-ratio") {
      rec.bratio = n == "ignore-ratio";
    } else if (n == "comment") {
      rec.szcomment = o.value;
    } else if (n == "ulfiles" || n == "ulkb" || n == "dlfiles" || n == "dlkb") {
      auto v = acct::number_arg(o.value);
      if (!v) return fail(cmd, "--" + n + " needs a number from 0 to 4294967295", kExitUsage);
      if (n == "ulfiles") rec.iulfiles = *v, edit.counter_mask |= store::kCountUlFiles;
      if (n == "dlfiles") rec.idlfiles = *v, edit.counter_mask |= store::kCountDlFiles;
      if (n == "ulkb") rec.iulkb = *v, edit.counter_mask |= store::kCountUlKb;
      if (n == "dlkb") rec.idlkb = *v, edit.counter_mask |= store::kCountDlKb;
    } else if (n == "rename") {
      edit.rename = o.value;
    }
  }
  if (perms_given) rec.szfp = store::join_lines(perms);
  if (ips_given) rec.szip = store::join_lines(ips);
  return 0;
}

// The editor's name checks for a new name. `old_name` is empty for a new account.
int check_new_name(platform::Registry& reg, const std::string& cmd, const std::string& name,
                   const std::string& old_name) {
  if (auto fault = store::new_user_name_fault(reg, name, old_name)) {
    auto names = store::list_users(reg);
    return fail(cmd, acct::name_fault_message(*fault, "user", name, names.value), kExitUsage);
  }
  return 0;
}

int user_list(const Context& ctx, const ParsedArgs&) {
  auto reg = open_or_report(ctx, "user list", platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  auto names = store::list_users(*reg);
  if (!names) return fail("user list", names.msg, kExitFailure);
  for (const std::string& n : *names) std::printf("%s\n", n.c_str());
  return kExitOk;
}

const char* yes_no(bool b) {
  return b ? "yes" : "no";
}

void print_lines(std::string_view text) {
  for (std::string_view line : store::split_lines(text)) {
    if (!line.empty()) std::printf("  %.*s\n", static_cast<int>(line.size()), line.data());
  }
}

int user_show(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user show";
  if (p.positional.size() != 1) return fail(cmd, "give one user name", kExitUsage);
  auto reg = open_or_report(ctx, cmd, platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  store::UserRecord rec;
  rec.name = p.positional[0];
  if (!store::read_user(*reg, rec, {.main_fields = true, .counters = true})) {
    return fail(cmd, "no user named '" + rec.name + "'", kExitFailure);
  }
  // The key's own spelling of the name.
  if (auto names = store::list_users(*reg)) {
    for (const std::string& n : *names) {
      if (platform::ascii_iequal(n, rec.name)) rec.name = n;
    }
  }
  std::optional<store::TemplateRecord> tmpl = store::read_user_template(*reg, rec);
  std::string password = rec.szpass.empty()                         ? "not set"
                         : rec.szpass == store::encode_password("") ? "empty"
                                                                    : "set";
  std::printf("user %s\n", rec.name.c_str());
  std::printf("  password:        %s%s\n", password.c_str(),
              rec.bguest ? " (guest account: any password is accepted)" : "");
  std::printf("  template:        %s%s\n", rec.sztemp.c_str(),
              store::has_template(rec.sztemp) && !tmpl ? " (no such template)" : "");
  std::printf("  disabled:        %s\n", yes_no(rec.bdisable));
  std::printf("  guest:           %s\n", yes_no(rec.bguest));
  std::printf("  priority logins: %s\n", yes_no(rec.bignore));
  std::printf("  ignore ratio:    %s (template ratios: %s)\n", yes_no(rec.bratio),
              store::ratio_description(tmpl ? &*tmpl : nullptr).c_str());
  std::printf("  stored:          %u files, %u kb\n", rec.iulfiles, rec.iulkb);
  std::printf("  retrieved:       %u files, %u kb\n", rec.idlfiles, rec.idlkb);
  std::printf("notes:\n");
  print_lines(rec.szcomment);
  std::printf("file permissions:\n");
  print_lines(rec.szfp);
  if (tmpl) print_lines(tmpl->szfp);
  std::printf("ip permissions:\n");
  print_lines(rec.szip);
  if (tmpl) print_lines(tmpl->szip);
  bool allow = acct::setup_dword(*reg, "ballowip", 1) != 0;
  std::printf("  %s\n", allow ? vfs::kDefaultAllowIpLine : vfs::kDefaultDenyIpLine);
  return kExitOk;
}

int user_add(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user add";
  if (p.positional.size() > 1) return fail(cmd, "give one user name", kExitUsage);
  store::UserRecord rec;
  rec.name = p.positional.empty() ? std::string() : p.positional[0];
  auto reg = open_or_report(ctx, cmd, platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  Edit edit;
  if (int st = apply_options(*reg, cmd, p, rec, edit)) return st;
  if (edit.rename) return fail(cmd, "--rename is an option of 'user set'", kExitUsage);
  if (int st = check_new_name(*reg, cmd, rec.name, "")) return st;
  // A new account's password is always stored encoded, the empty one included.
  rec.szpass = store::encode_password(edit.password);
  platform::Status st =
      store::write_user(*reg, rec, {.main_fields = true, .counters = store::kCountAll});
  if (!st)
    return fail(cmd, acct::store_failure(ctx, cmd, "cannot write the record", st), kExitFailure);
  return kExitOk;
}

int user_set(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user set";
  if (p.positional.size() != 1) return fail(cmd, "give one user name", kExitUsage);
  auto reg = open_or_report(ctx, cmd, platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  store::UserRecord rec;
  rec.name = p.positional[0];
  if (!store::read_user(*reg, rec, {.main_fields = true, .counters = true})) {
    return fail(cmd, "no user named '" + rec.name + "'", kExitFailure);
  }
  const std::string old_name = rec.name;
  Edit edit;
  if (int st = apply_options(*reg, cmd, p, rec, edit)) return st;
  if (edit.rename) {
    if (int st = check_new_name(*reg, cmd, *edit.rename, old_name)) return st;
  }
  // An edited password, and a stored one that is empty, are stored encoded.
  if (edit.password_given || rec.szpass.empty()) rec.szpass = store::encode_password(edit.password);

  platform::Status st;
  if (edit.rename && !platform::ascii_iequal(*edit.rename, old_name)) {
    rec.name = *edit.rename;
    st = store::rename_user(*reg, old_name, rec);
  } else {
    st = store::write_user(*reg, rec, {.main_fields = true, .counters = edit.counter_mask});
  }
  if (!st)
    return fail(cmd, acct::store_failure(ctx, cmd, "cannot write the record", st), kExitFailure);
  return kExitOk;
}

int user_del(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user del";
  if (p.positional.size() != 1) return fail(cmd, "give one user name", kExitUsage);
  auto reg = open_or_report(ctx, cmd, platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  if (!store::user_exists(*reg, p.positional[0])) {
    return fail(cmd, "no user named '" + p.positional[0] + "'", kExitFailure);
  }
  platform::Status st = store::delete_user(*reg, p.positional[0]);
  if (!st)
    return fail(cmd, acct::store_failure(ctx, cmd, "cannot delete the record", st), kExitFailure);
  return kExitOk;
}

int user_passwd(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user passwd";
  if (p.positional.empty() || p.positional.size() > 2) {
    return fail(cmd, "give a user name and, optionally, the password", kExitUsage);
  }
  std::string password;
  if (p.positional.size() == 2) {
    password = p.positional[1];
  } else {
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  auto reg = open_or_report(ctx, cmd, platform::Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  store::UserRecord rec;
  rec.name = p.positional[0];
  if (!store::read_user(*reg, rec, {.main_fields = true, .counters = false})) {
    return fail(cmd, "no user named '" + rec.name + "'", kExitFailure);
  }
  rec.szpass = store::encode_password(password);
  platform::Status st = store::write_user(*reg, rec, {.main_fields = true, .counters = 0});
  if (!st)
    return fail(cmd, acct::store_failure(ctx, cmd, "cannot write the record", st), kExitFailure);
  return kExitOk;
}

}  // namespace

int run_user(const Context& ctx, const Args& args) {
  static const std::vector<acct::Subcommand> kSubs = {
      {"list", user_list, false}, {"show", user_show, false}, {"add", user_add, true},
      {"set", user_set, true},    {"del", user_del, false},   {"passwd", user_passwd, false}};
  return acct::dispatch_subcommand(ctx, args, "user", kUsage, kSubs, kEditOptions);
}

}  // namespace qorda::app
