// qorda template list|show|add|set|del: the template editor's work on the command line, with its
// checks and messages. Client-limit ranges go through the editor's range-insertion model.
#include <cstdio>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "store/limits.h"
#include "store/lines.h"
#include "store/records.h"
#include "vfs/ipmask.h"

namespace qorda::app {
namespace {

using acct::fail;
using acct::OptionDef;
using acct::ParsedArgs;
using acct::RecordKind;

const char kUsage[] =
    "usage: qorda template list\n"
    "       qorda template show NAME\n"
    "       qorda template add NAME [OPTIONS]\n"
    "       qorda template set NAME [OPTIONS] [--rename NEW]\n"
    "       qorda template del NAME\n"
    "\n"
    "options of add and set:\n"
    "  --perm \"[t] rwdlcxhms /c:/path/\"\n"
    "                           a file permission line (repeat for several; on set the given\n"
    "                           lines replace the list); --no-perms empties the list\n"
    "  --ip \"[t] a 10.0.0.*\"    an IP line, a (allow) or d (deny) and a mask (repeatable, as\n"
    "                           --perm); --no-ips empties the list\n"
    "  --limit START,END,TOTAL,PERUSER,PERIP,BOTH\n"
    "                           a client-limit range such as 08:00,17:59,10,2,-1,-1 (-1: no limit\n"
    "                           of its own, the server maximum applies); repeatable, later ranges\n"
    "                           split or replace earlier ones, a range past midnight is split in\n"
    "                           two; on set the given ranges replace the list; --no-limits "
    "empties\n"
    "  --ratio files=U:D|off    the file-count upload/download ratio (turns ratios on)\n"
    "  --ratio kbytes=U:D|off   the kilobyte ratio (turns ratios on)\n"
    "  --no-ratio               ratios not used\n"
    "  --per-session / --no-per-session   ratios count this session's transfers / the totals\n"
    "  --rename NEW             (set only) rename the template\n";

const std::vector<OptionDef> kEditOptions = {
    {"perm", true},         {"no-perms", false},       {"ip", true},     {"no-ips", false},
    {"limit", true},        {"no-limits", false},      {"ratio", true},  {"no-ratio", false},
    {"per-session", false}, {"no-per-session", false}, {"rename", true},
};

// "files=1:5", "kbytes=1:5" ("bytes=" also), or "files=off".
bool apply_ratio(std::string_view text, store::TemplateRecord& rec) {
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view what = text.substr(0, eq), value = text.substr(eq + 1);
  bool files = what == "files";
  if (!files && what != "kbytes" && what != "bytes") return false;
  bool& on = files ? rec.bfiles : rec.bbytes;
  if (value == "off") {
    on = false;
    return true;
  }
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return false;
  auto up = acct::number_arg(value.substr(0, colon));
  auto down = acct::number_arg(value.substr(colon + 1));
  if (!up || !down) return false;
  (files ? rec.iufiles : rec.iubytes) = *up;
  (files ? rec.idfiles : rec.idbytes) = *down;
  on = true;
  rec.bratio = true;
  return true;
}

struct Edit {
  std::optional<std::string> rename;
};

int apply_options(const std::string& cmd, const ParsedArgs& p, store::TemplateRecord& rec,
                  Edit& edit) {
  acct::AccessLines access('t');
  bool limits_given = false;
  store::LimitRangeList limits;
  std::string error;
  for (const acct::Option& o : p.options) {
    const std::string& n = o.name;
    if (access.take(o, error)) {
      if (!error.empty()) return fail(cmd, error, kExitUsage);
    } else if (n == "limit") {
      auto r = acct::limit_arg(o.value, error);
      if (!r) return fail(cmd, error, kExitUsage);
      limits.insert(*r);
      limits_given = true;
    } else if (n == "no-limits") {
      limits.clear();
      limits_given = true;
    } else if (n == "ratio") {
      if (!apply_ratio(o.value, rec)) {
        return fail(
            cmd, "invalid ratio '" + o.value + "': give files=U:D, kbytes=U:D or files|kbytes=off",
            kExitUsage);
      }
    } else if (n == "no-ratio") {
      rec.bratio = false;
    } else if (n == "per-session" || n == "no-per-session") {
      rec.bsession = n == "per-session";
    } else if (n == "rename") {
      edit.rename = o.value;
    }
  }
  access.apply(rec.szfp, rec.szip);
  if (limits_given) rec.szcl = limits.to_szcl();
  return 0;
}

// For show and set: the store and the template the one name argument names. Returns 0, or the
// exit status after reporting why either cannot be had.
int open_named(const Context& ctx, const std::string& cmd, const ParsedArgs& p,
               std::unique_ptr<platform::Registry>& reg, store::TemplateRecord& rec) {
  if (p.positional.size() != 1) return fail(cmd, "give one template name", kExitUsage);
  reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  rec.name = p.positional[0];
  if (!store::read_template(*reg, rec)) {
    return fail(cmd, "no template named '" + rec.name + "'", kExitFailure);
  }
  return 0;
}

// Users whose reference names the template; renaming or deleting it leaves them without one.
size_t users_of(platform::Registry& reg, std::string_view name) {
  size_t n = 0;
  auto users = store::list_users(reg);
  if (!users) return 0;
  for (const std::string& u : *users) {
    store::UserRecord rec;
    rec.name = u;
    if (store::read_user(reg, rec, {.main_fields = true, .counters = false}) &&
        platform::ascii_iequal(rec.sztemp, store::template_ref(name))) {
      ++n;
    }
  }
  return n;
}

void warn_users(platform::Registry& reg, const std::string& cmd, std::string_view name) {
  if (size_t n = users_of(reg, name)) {
    std::fprintf(stderr, "qorda %s: note: %zu user%s still refer%s to '[t] %.*s'\n", cmd.c_str(), n,
                 n == 1 ? "" : "s", n == 1 ? "s" : "", static_cast<int>(name.size()), name.data());
  }
}

int template_list(const Context& ctx, const ParsedArgs&) {
  auto reg = acct::open_or_report(ctx, "template list");
  if (!reg) return kExitFailure;
  auto names = store::list_templates(*reg);
  if (!names) return fail("template list", names.msg, kExitFailure);
  for (const std::string& n : *names) std::printf("%s\n", n.c_str());
  return kExitOk;
}

int template_show(const Context& ctx, const ParsedArgs& p) {
  std::unique_ptr<platform::Registry> reg;
  store::TemplateRecord rec;
  if (int st = open_named(ctx, "template show", p, reg, rec)) return st;
  // The key's own spelling of the name.
  if (auto stored = acct::stored_name(store::list_templates(*reg).value, rec.name)) {
    rec.name = *stored;
  }
  std::printf("template %s\n", rec.name.c_str());
  std::printf("  ratios:          %s\n",
              rec.bratio ? (rec.bsession ? "used, per session" : "used") : "not used");
  std::printf("  files ratio:     %u:%u%s\n", rec.iufiles, rec.idfiles, rec.bfiles ? "" : " (off)");
  std::printf("  kbytes ratio:    %u:%u%s\n", rec.iubytes, rec.idbytes, rec.bbytes ? "" : " (off)");
  std::printf("file permissions:\n");
  acct::print_lines(rec.szfp);
  std::printf("ip permissions:\n");
  acct::print_lines(rec.szip);
  bool allow = acct::setup_dword(*reg, "ballowip", 1) != 0;
  std::printf("  %s\n", allow ? vfs::kDefaultAllowIpLine : vfs::kDefaultDenyIpLine);
  std::printf("client limits:\n  %s\n", store::kLimitListHeader);
  uint32_t imaxc = acct::setup_dword(*reg, "imaxc", 20);
  for (const std::string& line : store::LimitRangeList::from_szcl(rec.szcl).display_lines(imaxc)) {
    std::printf("  %s\n", line.c_str());
  }
  for (std::string_view line : store::split_lines(rec.szcl)) {
    if (!line.empty() && !store::parse_limit_line(line)) {
      std::printf("  (malformed, never applies: %.*s)\n", static_cast<int>(line.size()),
                  line.data());
    }
  }
  return kExitOk;
}

int template_add(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "template add";
  if (p.positional.size() > 1) return fail(cmd, "give one template name", kExitUsage);
  store::TemplateRecord rec;
  rec.name = p.positional.empty() ? std::string() : p.positional[0];
  Edit edit;
  if (int st = apply_options(cmd, p, rec, edit)) return st;
  if (edit.rename) return fail(cmd, "--rename is an option of 'template set'", kExitUsage);
  auto reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  if (int st = acct::check_new_name(*reg, cmd, RecordKind::Template, rec.name, "")) return st;
  return acct::store_result(ctx, cmd, "cannot write the record", store::write_template(*reg, rec));
}

int template_set(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "template set";
  std::unique_ptr<platform::Registry> reg;
  store::TemplateRecord rec;
  if (int st = open_named(ctx, cmd, p, reg, rec)) return st;
  const std::string old_name = rec.name;
  Edit edit;
  if (int st = apply_options(cmd, p, rec, edit)) return st;
  platform::Status st;
  if (edit.rename) {
    if (int bad = acct::check_new_name(*reg, cmd, RecordKind::Template, *edit.rename, old_name)) {
      return bad;
    }
  }
  if (edit.rename && !platform::ascii_iequal(*edit.rename, old_name)) {
    rec.name = *edit.rename;
    st = store::rename_template(*reg, old_name, rec);
    if (st) warn_users(*reg, cmd, old_name);
  } else {
    st = store::write_template(*reg, rec);
  }
  return acct::store_result(ctx, cmd, "cannot write the record", st);
}

int template_del(const Context& ctx, const ParsedArgs& p) {
  const std::string cmd = "template del";
  if (p.positional.size() != 1) return fail(cmd, "give one template name", kExitUsage);
  auto reg = acct::open_or_report(ctx, cmd);
  if (!reg) return kExitFailure;
  if (!store::template_exists(*reg, p.positional[0])) {
    return fail(cmd, "no template named '" + p.positional[0] + "'", kExitFailure);
  }
  platform::Status st = store::delete_template(*reg, p.positional[0]);
  if (!st) return acct::store_result(ctx, cmd, "cannot delete the record", st);
  warn_users(*reg, cmd, p.positional[0]);
  return kExitOk;
}

}  // namespace

int run_template(const Context& ctx, const Args& args) {
  static const std::vector<acct::Subcommand> kSubs = {{"list", template_list, false},
                                                      {"show", template_show, false},
                                                      {"add", template_add, true},
                                                      {"set", template_set, true},
                                                      {"del", template_del, false}};
  return acct::dispatch_subcommand(ctx, args, "template", kUsage, kSubs, kEditOptions);
}

}  // namespace qorda::app
