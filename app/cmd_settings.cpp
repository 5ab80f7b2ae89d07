// qorda get [NAME] / qorda set NAME VALUE: the server settings of the Setup key, read with their
// defaults and written through the settings page that owns each value, with that page's checks.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/commands.h"
#include "store/settings.h"

namespace qorda::app {

namespace {

using store::ServerSettings;
using store::SettingField;
using store::SettingPage;

constexpr const char* kMsgPositive = "Please enter a positive integer.";

bool is_help(const Args& args) {
  return !args.empty() && (args[0] == "--help" || args[0] == "-h");
}

const char* page_name(SettingPage p) {
  switch (p) {
    case SettingPage::Setup:
      return "setup";
    case SettingPage::Banners:
      return "banners";
    case SettingPage::Extras:
      return "extras";
    case SettingPage::None:
      break;
  }
  return "none";
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

// Reads a digits-only field as the setup page does. Returns the page's message on refusal.
bool parse_uint(const SettingField& f, std::string_view text, uint32_t* out, std::string* err) {
  bool digits = !text.empty();
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  uint64_t v = 0;
  bool overflow = false;
  if (digits) {
    for (char c : text) {
      v = v * 10 + static_cast<uint64_t>(c - '0');
      if (v > UINT32_MAX) {
        overflow = true;
        break;
      }
    }
  }
  if (!digits || (overflow && !f.ranged)) {
    *err = kMsgPositive;
    return false;
  }
  if (f.ranged && (overflow || v < f.min || v > f.max)) {
    *err = "Please enter an integer between " + std::to_string(f.min) + " and " +
           std::to_string(f.max) + ".";
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

// Opens the home's store with the key tree in place and loads the settings with their defaults.
bool open_and_load(const Context& ctx, const char* cmd, std::unique_ptr<platform::Registry>* reg,
                   ServerSettings* s) {
  auto r = open_store(ctx);
  if (!r) {
    std::fprintf(stderr, "qorda %s: %s\n", cmd,
                 r.msg.empty() ? "can't open the store" : r.msg.c_str());
    return false;
  }
  *reg = std::move(r.value);
  if (platform::Status st = store::create_key_tree(**reg); !st) {
    std::fprintf(stderr, "qorda %s: can't create the configuration keys: %s\n", cmd,
                 st.msg.c_str());
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
      "  %-13s %-8s %s\n",
      "NAME", "PAGE", "VALUE");
  for (const SettingField& f : store::setting_fields()) {
    std::string range;
    if (f.is_text()) {
      range = "text";
    } else if (f.ranged) {
      range = std::to_string(f.min) + " to " + std::to_string(f.max);
    } else {
      range = "0 to 4294967295";
    }
    std::fprintf(out, "  %-13s %-8s %s\n", f.name, page_name(f.page), range.c_str());
  }
  std::fprintf(out,
               "\nballowport and ballowpasv cannot both be 0. bnoicon and bnorestore belong to no\n"
               "page and are written alone.\n");
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
    if (!parse_uint(*f, args[1], &number, &err)) {
      std::fprintf(stderr, "qorda set: %s: %s\n", f->name, err.c_str());
      return kExitUsage;
    }
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
    std::fprintf(stderr,
                 "qorda set: %s: ballowport and ballowpasv cannot both be 0 (transfer modes are "
                 "port, pasv or both).\n",
                 f->name);
    return kExitUsage;
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
    std::fprintf(stderr, "qorda set: can't save %s: %s\n", f->name,
                 st.msg.empty() ? std::strerror(st.err) : st.msg.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qorda::app
