// qorda reg: the registry store in its REGEDIT4 text form, and single keys and values.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "platform/fileio.h"
#include "platform/limits.h"
#include "platform/registry.h"
#include "store/settings.h"

namespace qorda::app {

namespace {

using platform::Registry;
using platform::Status;

struct Sub {
  const char* name;
  int (*run)(const Context&, const Args&);
  const char* usage;  // the argument synopsis
  const char* help;   // what it does
};

int reg_export(const Context& ctx, const Args& args);
int reg_import(const Context& ctx, const Args& args);
int reg_query(const Context& ctx, const Args& args);
int reg_set(const Context& ctx, const Args& args);
int reg_delete(const Context& ctx, const Args& args);

const Sub kSubs[] = {
    {"export", reg_export, "[FILE|-]",
     "Writes the whole store as REGEDIT4 text to FILE (replaced atomically, mode 0600) or to\n"
     "standard output (no FILE, or -)."},
    {"import", reg_import, "FILE|-",
     "Merges REGEDIT4 text from FILE or standard input (-) into the store: [KEY] creates a key\n"
     "and selects it, [-KEY] deletes a key with its subkeys, \"name\"=\"text\" and\n"
     "\"name\"=dword:XXXXXXXX set values, \"name\"=- deletes one. A malformed line is reported\n"
     "with its number and nothing of the file is applied (exit status 2). A server setting\n"
     "given a number outside the range 'qorda set' accepts is kept as given, with a warning."},
    {"query", reg_query, "KEY [NAME]",
     "Prints the values of KEY, or its value NAME, one per line in the text form."},
    {"set", reg_set, "KEY NAME sz|dword VALUE",
     "Sets the value NAME of KEY (created with its parents when missing). A dword is decimal\n"
     "or 0x hexadecimal, 0 to 4294967295."},
    {"delete", reg_delete, "KEY [NAME]", "Deletes KEY with all its subkeys, or its value NAME."},
};

constexpr const char* kKeyNote =
    "KEY is a path below HKEY_LOCAL_MACHINE with backslashes between names, with or without\n"
    "the HKEY_LOCAL_MACHINE\\ prefix; names compare without regard to case.\n";

void reg_usage(FILE* out) {
  std::fprintf(out, "usage:");
  bool first = true;
  for (const Sub& s : kSubs) {
    std::fprintf(out, "%s qorda reg %s %s\n", first ? "" : "      ", s.name, s.usage);
    first = false;
  }
  std::fprintf(out, "\n%sRun 'qorda reg COMMAND --help' for one command.\n", kKeyNote);
}

void sub_usage(const Sub& s, FILE* out) {
  std::fprintf(out, "usage: qorda reg %s %s\n\n%s\n", s.name, s.usage, s.help);
  if (std::string_view(s.usage).find("KEY") != std::string_view::npos) {
    std::fprintf(out, "\n%s", kKeyNote);
  }
}

const Sub& sub(const char* name) {
  for (const Sub& s : kSubs) {
    if (std::string_view(s.name) == name) return s;
  }
  return kSubs[0];
}

int fail(const char* cmd, const std::string& msg, int status = kExitFailure) {
  std::fprintf(stderr, "qorda reg %s: %s\n", cmd, msg.c_str());
  return status;
}

// Malformed input and invalid names are the caller's fault (2); anything else is ours (1).
int fail(const char* cmd, const Status& s) {
  return fail(cmd, s.msg.empty() ? std::string(std::strerror(s.err)) : s.msg,
              s.err == EINVAL ? kExitUsage : kExitFailure);
}

// A write the store refused: access errors say who owns the home and what to do.
int fail_write(const Context& ctx, const char* cmd, const Status& s) {
  if (s.err != EACCES && s.err != EPERM && s.err != EROFS) return fail(cmd, s);
  return fail(cmd,
              acct::store_failure(ctx, std::string("reg ") + cmd, "cannot write the store", s));
}

int help(const char* cmd) {
  sub_usage(sub(cmd), stdout);
  return kExitOk;
}

int usage_error(const char* cmd, const std::string& msg) {
  std::fprintf(stderr, "qorda reg %s: %s\n", cmd, msg.c_str());
  sub_usage(sub(cmd), stderr);
  return kExitUsage;
}

// The positional words of a subcommand; --help (or -h) asks for help, and "--" ends the options
// so that a value such as "-h" can still be given.
struct Parsed {
  Args words;
  bool help = false;
  std::string bad_option;
};

Parsed parse(const Args& args) {
  Parsed p;
  bool options = true;
  for (const std::string& a : args) {
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      p.help = true;
    } else if (options && a.size() > 2 && a.compare(0, 2, "--") == 0) {
      p.bad_option = a;
    } else {
      p.words.push_back(a);
    }
  }
  return p;
}

// KEY as typed, without the optional root name.
std::string key_arg(const std::string& k) {
  constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
  if (!platform::ascii_istarts_with(k, kRoot)) return k;
  if (k.size() == kRoot.size()) return "";
  if (k[kRoot.size()] == '\\') return k.substr(kRoot.size() + 1);
  return k;
}

// Opens the store, or says why not.
std::unique_ptr<Registry> open(const Context& ctx, const char* cmd, Registry::Mode mode) {
  auto r = open_store(ctx, mode);
  if (!r) {
    fail(cmd, acct::store_open_message(ctx, std::string("reg ") + cmd, r.status()));
    return nullptr;
  }
  return std::move(r.value);
}

// The server settings as the server would load them from the store now.
store::ServerSettings loaded_settings(Registry& reg) {
  store::ServerSettings s;
  s.load(reg);
  return s;
}

// Warns about every server setting the command changed to a number its settings page refuses.
// The value is kept: the store holds any 32-bit number, an export must import back unchanged,
// and the server uses stored values as they are without harm (a port it cannot listen on ends
// `qorda serve` with the reason; a larger limit or level is simply larger, a switch not 0 is on).
void warn_out_of_range(const char* cmd, const store::ServerSettings& before,
                       const store::ServerSettings& after) {
  for (const store::SettingField& f : store::setting_fields()) {
    if (f.is_text()) continue;
    const uint32_t v = after.*(f.u);
    if (v == before.*(f.u) || f.in_range(v)) continue;
    const bool port = f.u == &store::ServerSettings::iport;
    std::fprintf(stderr,
                 "qorda reg %s: warning: %s is now %u, outside %u to %u (the range 'qorda set' "
                 "accepts); stored as given: %s\n",
                 cmd, f.name, v, f.min, f.max,
                 port ? "'qorda serve' cannot listen on it and stops with the reason"
                      : "the server uses it as it is");
  }
}

int reg_export(const Context& ctx, const Args& args) {
  Parsed p = parse(args);
  if (p.help) return help("export");
  if (!p.bad_option.empty()) return usage_error("export", "unknown option " + p.bad_option);
  if (p.words.size() > 1) return usage_error("export", "too many arguments");
  auto reg = open(ctx, "export", Registry::Mode::ReadOnly);
  if (!reg) return kExitFailure;
  auto text = platform::export_text(*reg);
  if (!text) return fail("export", text.status());
  std::string dest = p.words.empty() ? "-" : p.words[0];
  // SECURITY: an export holds password encodings, so the file is readable by its owner only.
  Status s = dest == "-" ? platform::write_all(platform::kStdoutFd, *text)
                         : platform::replace_file(dest, *text, 0600);
  if (!s) return fail("export", s.msg, kExitFailure);
  return kExitOk;
}

int reg_import(const Context& ctx, const Args& args) {
  Parsed p = parse(args);
  if (p.help) return help("import");
  if (!p.bad_option.empty()) return usage_error("import", "unknown option " + p.bad_option);
  if (p.words.size() != 1) return usage_error("import", "give one FILE, or - for standard input");
  // Read everything before touching the store: the import is one transaction, and a reader
  // that stalls must not hold the store's write lock.
  const std::string& src = p.words[0];
  auto text = src == "-"
                  ? platform::read_all_bounded(platform::kStdinFd, platform::kMaxRegTextBytes)
                  : platform::read_file_bounded(src, platform::kMaxRegTextBytes);
  if (!text) return fail("import", text.msg, text.err == EFBIG ? kExitUsage : kExitFailure);
  auto reg = open(ctx, "import", Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  const store::ServerSettings before = loaded_settings(*reg);
  Status s = platform::import_text(*reg, *text);
  if (!s) return fail_write(ctx, "import", s);
  warn_out_of_range("import", before, loaded_settings(*reg));
  return kExitOk;
}

int reg_query(const Context& ctx, const Args& args) {
  Parsed p = parse(args);
  if (p.help) return help("query");
  if (!p.bad_option.empty()) return usage_error("query", "unknown option " + p.bad_option);
  if (p.words.empty() || p.words.size() > 2) return usage_error("query", "give KEY and maybe NAME");
  auto reg = open(ctx, "query", Registry::Mode::ReadOnly);
  if (!reg) return kExitFailure;
  std::string key = key_arg(p.words[0]);
  std::string out;
  if (p.words.size() == 2) {
    auto v = reg->query(key, p.words[1]);
    if (!v) return fail("query", v.status());
    out = platform::value_line(*v) + "\n";
  } else {
    auto vals = reg->values(key);
    if (!vals) return fail("query", vals.status());
    for (const platform::RegValue& v : *vals) out += platform::value_line(v) + "\n";
  }
  if (Status s = platform::write_all(platform::kStdoutFd, out); !s) {
    return fail("query", s.msg, kExitFailure);
  }
  return kExitOk;
}

// Decimal, or 0x followed by hexadecimal digits; nothing else (no sign, no blanks).
bool parse_dword(const std::string& s, uint32_t* out) {
  bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  std::string_view digits = hex ? std::string_view(s).substr(2) : std::string_view(s);
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > UINT32_MAX) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

int reg_set(const Context& ctx, const Args& args) {
  Parsed p = parse(args);
  if (p.help) return help("set");
  if (!p.bad_option.empty()) return usage_error("set", "unknown option " + p.bad_option);
  if (p.words.size() != 4) return usage_error("set", "give KEY, NAME, a type and a VALUE");
  const std::string key = key_arg(p.words[0]);
  const std::string& name = p.words[1];
  const std::string& type = p.words[2];
  const std::string& value = p.words[3];
  uint32_t dword = 0;
  if (type == "dword") {
    if (!parse_dword(value, &dword)) {
      return usage_error("set", "bad dword \"" + value + "\" (0 to 4294967295, or 0x hexadecimal)");
    }
  } else if (type != "sz") {
    return usage_error("set", "the type must be sz or dword");
  }
  auto reg = open(ctx, "set", Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  const store::ServerSettings before = loaded_settings(*reg);
  auto tx = reg->begin();
  if (!tx) return fail_write(ctx, "set", tx.status());
  Status s = reg->create_key(key);
  if (s) s = type == "sz" ? reg->set_sz(key, name, value) : reg->set_dword(key, name, dword);
  if (s) s = (*tx)->commit();
  if (!s) return fail_write(ctx, "set", s);
  warn_out_of_range("set", before, loaded_settings(*reg));
  return kExitOk;
}

int reg_delete(const Context& ctx, const Args& args) {
  Parsed p = parse(args);
  if (p.help) return help("delete");
  if (!p.bad_option.empty()) return usage_error("delete", "unknown option " + p.bad_option);
  if (p.words.empty() || p.words.size() > 2)
    return usage_error("delete", "give KEY and maybe NAME");
  auto reg = open(ctx, "delete", Registry::Mode::ReadWrite);
  if (!reg) return kExitFailure;
  std::string key = key_arg(p.words[0]);
  Status s = p.words.size() == 2 ? reg->delete_value(key, p.words[1]) : reg->delete_key(key);
  if (!s) return fail_write(ctx, "delete", s);
  return kExitOk;
}

}  // namespace

int run_reg(const Context& ctx, const Args& args) {
  if (args.empty()) {
    reg_usage(stderr);
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    reg_usage(stdout);
    return kExitOk;
  }
  for (const Sub& s : kSubs) {
    if (name == s.name) return s.run(ctx, Args(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "qorda reg: unknown command '%s'\n", name.c_str());
  reg_usage(stderr);
  return kExitUsage;
}

}  // namespace qorda::app
