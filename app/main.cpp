// qorda [--home DIR] COMMAND ...: command-line parsing and dispatch to the subcommands.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/commands.h"
#include "store/keys.h"

namespace {

using qorda::app::Args;
using qorda::app::Context;

struct Command {
  const char* name;
  int (*run)(const Context&, const Args&);
  const char* summary;
};

int run_help(const Context&, const Args&);

// Every subcommand, in the order `qorda help` lists them.
const Command kCommands[] = {
    {"help", run_help, "show this list"},
    {"serve", qorda::app::run_serve, "run the FTP server without GUI"},
    {"init", qorda::app::run_init, "create a home (with --demo: an anonymous FTP site)"},
    {"get", qorda::app::run_get, "show the server settings (or one)"},
    {"set", qorda::app::run_set, "change one server setting"},
    {"user", qorda::app::run_user, "list, show, add, change or delete users"},
    {"template", qorda::app::run_template, "list, show, add, change or delete templates"},
    {"check", qorda::app::run_check, "explain a user's login and what each path allows"},
    {"link", qorda::app::run_link, "list, add or delete links"},
    {"drive", qorda::app::run_drive, "list, set or delete drive letters"},
    {"reg", qorda::app::run_reg, "export, import, query, set or delete registry keys and values"},
};

void usage(FILE* out) {
  std::fprintf(out, "usage: qorda [--home DIR] COMMAND [ARGS...]\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\nThe home holds qorda.db and, by default, drive c:. It defaults to $QORDA_HOME,\n"
               "else /var/lib/qorda for root, else $XDG_DATA_HOME/qorda (~/.local/share/qorda).\n"
               "Run 'qorda COMMAND --help' for a command's own options.\n");
}

int run_help(const Context&, const Args&) {
  usage(stdout);
  return qorda::app::kExitOk;
}

bool have_display() {
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (const char* v = std::getenv(var); v && *v) return true;
  }
  return false;
}

// With a display, plain `qorda` is meant to open the administration window; this build has none.
int no_command() {
  usage(stderr);
  if (have_display()) {
    std::fprintf(stderr,
                 "\nThe administration window is not built into this version of qorda; use the\n"
                 "commands above (the server itself: 'qorda serve').\n");
  }
  return qorda::app::kExitUsage;
}

std::string default_home() {
  if (const char* h = std::getenv("QORDA_HOME"); h && *h) return h;
  if (geteuid() == 0) return "/var/lib/qorda";
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/qorda";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/share/qorda";
  return "/var/lib/qorda";
}

}  // namespace


int main(int argc, char** argv) {
  Context ctx;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--home") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qorda: --home needs a directory\n");
        return qorda::app::kExitUsage;
      }
      ctx.home = argv[++i];
    } else if (std::strncmp(argv[i], "--home=", 7) == 0) {
      ctx.home = argv[i] + 7;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return qorda::app::kExitOk;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", qorda::store::kProductName, qorda::store::kVersion);
      return qorda::app::kExitOk;
    } else {
      break;
    }
  }
  if (ctx.home.empty()) ctx.home = default_home();
  // Drive c: defaults to <home>/c and drive directories must be absolute, so a relative home
  // (--home demo-home) is taken from the working directory once, here.
  if (std::error_code ec; ctx.home.front() != '/') {
    std::filesystem::path abs = std::filesystem::absolute(ctx.home, ec).lexically_normal();
    if (!ec) ctx.home = abs.string();
  }
  while (ctx.home.size() > 1 && ctx.home.back() == '/') ctx.home.pop_back();

  // SECURITY: with no command nothing is started: a server (as root: /var/lib/qorda on port 21,
  // every address) only ever runs when asked for by name.
  if (i >= argc) return no_command();
  std::string name = argv[i++];
  Args args(argv + i, argv + argc);
  for (const Command& c : kCommands) {
    if (name == c.name) return c.run(ctx, args);
  }
  std::fprintf(stderr, "qorda: unknown command '%s'\n", name.c_str());
  usage(stderr);
  return qorda::app::kExitUsage;
}
