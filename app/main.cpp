// qorda [--home DIR] COMMAND ...: command-line parsing and dispatch to the subcommands.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    {"status", qorda::app::run_status, "show the running server's figures"},
    {"who", qorda::app::run_who, "list the running server's connections"},
    {"kick", qorda::app::run_kick, "disconnect a client (with --disable, --ban)"},
    {"log", qorda::app::run_log, "show (or --follow) the running server's activity log"},
    {"stop", qorda::app::run_stop, "stop the running server (now or --when-idle)"},
    {"switch", qorda::app::run_switch, "switch the running server on or off"},
    {"gui", qorda::app::run_gui, "open the administration window (runs qorda-gui)"},
    {"init", qorda::app::run_init, "create a home (with --demo: an anonymous FTP site)"},
    {"get", qorda::app::run_get, "show the server settings (or one)"},
    {"set", qorda::app::run_set, "change one server setting"},
    {"user", qorda::app::run_user, "list, show, add, change or delete users"},
    {"template", qorda::app::run_template, "list, show, add, change or delete templates"},
    {"check", qorda::app::run_check, "explain a user's login and what each path allows"},
    {"link", qorda::app::run_link, "list, add or delete links"},
    {"drive", qorda::app::run_drive, "list, set or delete drive letters"},
    {"reg", qorda::app::run_reg, "export, import, query, set or delete registry keys and values"},
    {"tls", qorda::app::run_tls, "show the TLS settings, or make a certificate (tls init)"},
};

void usage(FILE* out) {
  std::fprintf(out, "usage: qorda [--home DIR] COMMAND [ARGS...]\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\nThe home holds qorda.db and, by default, drive c:. It defaults to $QORDA_HOME,\n"
               "else /var/lib/qorda for root, else $XDG_DATA_HOME/qorda (~/.local/share/qorda).\n"
               "Run 'qorda COMMAND --help' for a command's own options.\n"
               "With no COMMAND and a display ($DISPLAY or $WAYLAND_DISPLAY), qorda opens the\n"
               "administration window as 'qorda gui' does.\n");
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

// Without a display plain `qorda` only explains itself; with one it opens the window.
int no_command(const Context& ctx) {
  if (have_display()) return qorda::app::run_gui_without_command(ctx);
  usage(stderr);
  return qorda::app::kExitUsage;
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
  ctx.home = qorda::app::resolve_home(ctx.home);

  // SECURITY: with no command and no display nothing is started: a server (as root:
  // /var/lib/qorda on port 21, every address) runs only when asked for by name, or in the window
  // on the administrator's display, which shows it and has its switch.
  if (i >= argc) return no_command(ctx);
  std::string name = argv[i++];
  Args args(argv + i, argv + argc);
  for (const Command& c : kCommands) {
    if (name == c.name) return c.run(ctx, args);
  }
  std::fprintf(stderr, "qorda: unknown command '%s'\n", name.c_str());
  usage(stderr);
  return qorda::app::kExitUsage;
}
