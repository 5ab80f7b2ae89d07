// qorda get [NAME] / qorda set NAME VALUE: the server settings of the Setup key, read with their
// defaults and written through the settings page that owns each value, with that page's checks.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/account_cli.h"
#include "app/commands.h"
#include "store/settings.h"

namespace qorda::app {

namespace {

using store::ServerSettings;
using store::SettingField;
using store::SettingPage;

bool is_help(const Args& args) {
  return !args.empty() && (args[0] == "--help" || args[0] == "-h");
}

// Texts printed one setting per line: line feeds, carriage returns and backslashes escaped.
std::string escape_text(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (char c : t) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

// The inverse for the banners: \n, \r and \\ decoded; any other backslash stays as typed.
std::string decode_banner(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\\' && i + 1 < t.size()) {
      char n = t[i + 1];
      if (n == 'n' || n == 'r' || n == '\\') {
        out += n == 'n' ? '\n' : n == 'r' ? '\r' : '\\';
        ++i;
        continue;
      }
    }
    out += t[i];
  }
  return out;
}

std::string format_value(const ServerSettings& s, const SettingField& f) {
  if (f.is_text()) return escape_text(s.*(f.s));
  return std::to_string(s.*(f.u));
}

// The range of a numeric setting in words: "0 or 1", or "between 0 and 65535" (with `to` "-":
// "0-65535").
std::string range_words(const SettingField& f, const char* to = nullptr) {
  uint32_t lo = f.ranged ? f.min : 0, hi = f.ranged ? f.max : UINT32_MAX;
  if (lo == 0 && hi == 1) return "0 or 1";
  if (to) return std::to_string(lo) + to + std::to_string(hi);
  return "between " + std::to_string(lo) + " and " + std::to_string(hi);
}

// Reads a number as the settings page does; the refusal in the command line's words.
bool parse_uint(const SettingField& f, std::string_view text, uint32_t* out, std::string* err) {
  auto fault = store::parse_setting_number(f, text, out);
  if (!fault) return true;
  bool flag = f.ranged && f.min == 0 && f.max == 1;
  if (*fault == store::ValueFault::OutOfRange || flag) {
    *err = std::string(f.name) + " must be " + range_words(f);
  } else {
    *err = std::string(f.name) + " must be a whole number " + range_words(f);
  }
  return false;
}

// Opens the home's store with the key tree in place and loads the settings with their defaults.
bool open_and_load(const Context& ctx, const char* cmd, std::unique_ptr<platform::Registry>* reg,
                   ServerSettings* s) {
  auto r = open_store(ctx);
  if (!r) {
    acct::fail(cmd, acct::store_open_message(ctx, cmd, r.status()), kExitFailure);
    return false;
  }
  *reg = std::move(r.value);
  if (platform::Status st = store::create_key_tree(**reg); !st) {
    acct::fail(cmd, acct::store_failure(ctx, cmd, "cannot create the configuration keys", st),
               kExitFailure);
    return false;
  }
  s->load(**reg);
  return true;
}

void get_usage(FILE* out) {
  std::fprintf(out,
               "usage: qorda get [NAME]\n\n"
               "Prints every server setting, or the one named, as name=value, with the default\n"
               "of every value that is not stored. In texts, line feeds, carriage returns and\n"
               "backslashes are written as \\n, \\r and \\\\, so every setting is one line.\n"
               "Names are not case-sensitive. 'qorda set --help' lists the names.\n");
}

void set_usage(FILE* out) {
  std::fprintf(
      out,
      "usage: qorda set NAME VALUE\n\n"
      "Changes one server setting. The value is checked as the settings page checks it\n"
      "and saved together with the other values of that page, as the page's ok button\n"
      "does. A running server applies it on SIGHUP. Names are not case-sensitive.\n"
      "In the banners (szmsg1, szmsg2) \\n, \\r and \\\\ stand for a line feed, a carriage\n"
      "return and a backslash; other texts are taken as given.\n\n"
      "  %-12s %-7s %-13s %s\n",
      "NAME", "VALUES", "DEFAULT", "WHAT IT DOES");
  const ServerSettings defaults;
  for (const SettingField& f : store::setting_fields()) {
    std::string values = f.is_text() ? "text" : !f.ranged ? "number" : range_words(f, "-");
    std::string def = f.is_text() ? defaults.*(f.s) : std::to_string(defaults.*(f.u));
    std::fprintf(out, "  %-12s %-7s %-13s %s\n", f.name, values.c_str(),
                 def.empty() ? "(empty)" : def.c_str(), f.help);
  }
  std::fprintf(
      out,
      "\nnumber: 0 to 4294967295. GUI only: for the administration window; serve ignores it.\n"
      "Banner tokens: %%T time, %%R client, %%L site name, %%N clients, %%M maximum, and in\n"
      "message files also %%C directory, %%F free MB, %%U user. imaxc also stands in for the\n"
      "client limits a template leaves unset. A drive path such as c:\\qorda.log is mapped\n"
      "through the drive table. ballowport and ballowpasv cannot both be 0. bnoicon and\n"
      "bnorestore belong to no page and are written alone.\n"
      "The TLS settings btls, sztlscert, sztlskey, brequiretls and brequiretlsdata are\n"
      "described by 'qorda tls --help'.\n");
}

}  // namespace

int run_get(const Context& ctx, const Args& args) {
  if (is_help(args)) {
    get_usage(stdout);
    return kExitOk;
  }
  if (args.size() > 1) {
    get_usage(stderr);
    return kExitUsage;
  }
  const SettingField* one = nullptr;
  if (!args.empty()) {
    one = store::find_setting(args[0]);
    if (!one) {
      std::fprintf(stderr, "qorda get: unknown setting '%s' (see 'qorda set --help')\n",
                   args[0].c_str());
      return kExitUsage;
    }
  }
  std::unique_ptr<platform::Registry> reg;
  ServerSettings s;
  if (!open_and_load(ctx, "get", &reg, &s)) return kExitFailure;
  for (const SettingField& f : store::setting_fields()) {
    if (one && one != &f) continue;
    std::printf("%s=%s\n", f.name, format_value(s, f).c_str());
  }
  // The TLS values are listed by 'qorda tls show'; here only when named.
  for (const SettingField& f : store::tls_setting_fields()) {
    if (one == &f) std::printf("%s=%s\n", f.name, format_value(s, f).c_str());
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int run_set(const Context& ctx, const Args& args) {
  if (is_help(args)) {
    set_usage(stdout);
    return kExitOk;
  }
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: qorda set NAME VALUE ('qorda set --help' lists the names)\n");
    return kExitUsage;
  }
  const SettingField* f = store::find_setting(args[0]);
  if (!f) {
    std::fprintf(stderr, "qorda set: unknown setting '%s' (see 'qorda set --help')\n",
                 args[0].c_str());
    return kExitUsage;
  }
  // Checked before the store is opened: a refused value changes nothing.
  uint32_t number = 0;
  std::string text;
  if (f->is_text()) {
    text = f->page == SettingPage::Banners ? decode_banner(args[1]) : args[1];
  } else {
    std::string err;
    if (!parse_uint(*f, args[1], &number, &err)) return acct::fail("set", err, kExitUsage);
  }

  std::unique_ptr<platform::Registry> reg;
  ServerSettings s;
  if (!open_and_load(ctx, "set", &reg, &s)) return kExitFailure;
  if (f->is_text()) {
    s.*(f->s) = text;
  } else {
    s.*(f->u) = number;
  }
  // The page offers "port", "pasv" or "both"; with neither, no transfer could ever be made.
  if ((f->u == &ServerSettings::ballowport || f->u == &ServerSettings::ballowpasv) &&
      s.ballowport == 0 && s.ballowpasv == 0) {
    return acct::fail("set",
                      "ballowport and ballowpasv cannot both be 0: transfers need the port mode, "
                      "the pasv mode or both",
                      kExitUsage);
  }

  platform::Status st;
  switch (f->page) {
    case SettingPage::Setup:
      st = s.save_setup(*reg);
      break;
    case SettingPage::Banners:
      st = s.save_banners(*reg);
      break;
    case SettingPage::Extras:
      st = s.save_extras(*reg);
      break;
    case SettingPage::None:
      st = s.save_value(*reg, f->name);
      break;
  }
  if (!st) {
    return acct::fail("set",
                      acct::store_failure(ctx, "set", std::string("cannot save ") + f->name, st),
                      kExitFailure);
  }
  return kExitOk;
}

}  // namespace qorda::app
