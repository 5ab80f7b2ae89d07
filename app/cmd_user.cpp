// qorda user list|show|add|set|del|passwd: the user editor's work on the command line, with its
// checks and messages. Passwords are stored only as their encoding.
#include <cstdio>
#include <iostream>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "store/password.h"
#include "store/records.h"
#include "vfs/ipmask.h"

namespace qorda::app {
namespace {

using acct::fail;
using acct::OptionDef;
using acct::ParsedArgs;
using acct::RecordKind;

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
  acct::AccessLines access('u');
  std::string error;
  for (const acct::Option& o : p.options) {
    const std::string& n = o.name;
    if (access.take(o, error)) {
      if (!error.empty()) return fail(cmd, error, kExitUsage);
    } else if (n == "password") {
      edit.password_given = true;
      edit.password = o.value;
    } else if (n == "template") {
      auto stored = acct::stored_name(store::list_templates(reg).value, o.value);
      if (!stored) return fail(cmd, "no template named '" + o.value + "'", kExitUsage);
      rec.sztemp = store::template_ref(*stored);
    } else if (n == "no-template") {
      rec.sztemp = store::kNoTemplateRef;
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
  access.apply(rec.szfp, rec.szip);
  return 0;
}

// For show and set: the store and the whole record of the user the one name argument names.
// Returns 0, or the exit status after reporting why either cannot be had.
int open_named(const Context& ctx, const std::string& cmd, const ParsedArgs& p,
               std::unique_ptr<platform::Registry>& reg, store::UserRecord& rec) {
  if (p.positional.size() != 1) return fail(cmd, "give one user name", kExitUsage);
  reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  rec.name = p.positional[0];
  if (!store::read_user(*reg, rec, {.main_fields = true, .counters = true})) {
    return fail(cmd, "no user named '" + rec.name + "'", kExitFailure);
  }
  return 0;
}

int user_list(const Context& ctx, const ParsedArgs&) {
  auto reg = acct::open_or_report(ctx, "user list");
  if (!reg) return kExitFailure;
  auto names = store::list_users(*reg);
  if (!names) return fail("user list", names.msg, kExitFailure);
  for (const std::string& n : *names) std::printf("%s\n", n.c_str());
  return kExitOk;
}

const char* yes_no(bool b) {
  return b ? "yes" : "no";
}

int user_show(const Context& ctx, const ParsedArgs& p) {
  std::unique_ptr<platform::Registry> reg;
  store::UserRecord rec;
  if (int st = open_named(ctx, "user show", p, reg, rec)) return st;
  // The key's own spelling of the name.
  if (auto stored = acct::stored_name(store::list_users(*reg).value, rec.name)) rec.name = *stored;
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
  acct::print_lines(rec.szcomment);
  std::printf("file permissions:\n");
  acct::print_lines(rec.szfp);
  if (tmpl) acct::print_lines(tmpl->szfp);
  std::printf("ip permissions:\n");
  acct::print_lines(rec.szip);
  if (tmpl) acct::print_lines(tmpl->szip);
  bool allow = acct::setup_dword(*reg, "ballowip", 1) != 0;
  std::printf("  %s\n", allow ? vfs::kDefaultAllowIpLine : vfs::kDefaultDenyIpLine);
  return kExitOk;
}

int user_add(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user add";
  if (p.positional.size() > 1) return fail(cmd, "give one user name", kExitUsage);
  store::UserRecord rec;
  rec.name = p.positional.empty() ? std::string() : p.positional[0];
  auto reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  Edit edit;
  if (int st = apply_options(*reg, cmd, p, rec, edit)) return st;
  if (edit.rename) return fail(cmd, "--rename is an option of 'user set'", kExitUsage);
  if (int st = acct::check_new_name(*reg, cmd, RecordKind::User, rec.name, "")) return st;
  // A new account's password is always stored encoded, the empty one included.
  rec.szpass = store::encode_password(edit.password);
  platform::Status st =
      store::write_user(*reg, rec, {.main_fields = true, .counters = store::kCountAll});
  return acct::store_result(ctx, cmd, "cannot write the record", st);
}

int user_set(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user set";
  std::unique_ptr<platform::Registry> reg;
  store::UserRecord rec;
  if (int st = open_named(ctx, cmd, p, reg, rec)) return st;
  const std::string old_name = rec.name;
  Edit edit;
  if (int st = apply_options(*reg, cmd, p, rec, edit)) return st;
  if (edit.rename) {
    if (int st = acct::check_new_name(*reg, cmd, RecordKind::User, *edit.rename, old_name)) {
      return st;
    }
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
  return acct::store_result(ctx, cmd, "cannot write the record", st);
}

int user_del(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "user del";
  if (p.positional.size() != 1) return fail(cmd, "give one user name", kExitUsage);
  auto reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  if (!store::user_exists(*reg, p.positional[0])) {
    return fail(cmd, "no user named '" + p.positional[0] + "'", kExitFailure);
  }
  platform::Status st = store::delete_user(*reg, p.positional[0]);
  return acct::store_result(ctx, cmd, "cannot delete the record", st);
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
  auto reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  store::UserRecord rec;
  rec.name = p.positional[0];
  if (!store::read_user(*reg, rec, {.main_fields = true, .counters = false})) {
    return fail(cmd, "no user named '" + rec.name + "'", kExitFailure);
  }
  rec.szpass = store::encode_password(password);
  platform::Status st = store::write_user(*reg, rec, {.main_fields = true, .counters = 0});
  return acct::store_result(ctx, cmd, "cannot write the record", st);
}

}  // namespace

int run_user(const Context& ctx, const Args& args) {
  static const std::vector<acct::Subcommand> kSubs = {
      {"list", user_list, false}, {"show", user_show, false}, {"add", user_add, true},
      {"set", user_set, true},    {"del", user_del, false},   {"passwd", user_passwd, false}};
  return acct::dispatch_subcommand(ctx, args, "user", kUsage, kSubs, kEditOptions);
}

}  // namespace qorda::app
