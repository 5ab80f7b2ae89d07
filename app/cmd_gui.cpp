// qorda gui [--home DIR] [--port N], and plain `qorda` where a display is available: the
// administration window is a program of its own, qorda-gui (qorda never links Qt), installed
// beside qorda. This process becomes it (exec), so its exit status is the window's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/server_home.h"
#include "platform/process.h"

namespace qorda::app {

namespace {

constexpr const char* kGuiProgram = "qorda-gui";

void gui_usage(std::FILE* out) {
  std::fprintf(out,
               "usage: qorda gui [--home DIR] [--port N]\n\n"
               "Opens the administration window: runs qorda-gui from the directory of this\n"
               "program on the home, with the server switched on (the window has its switch).\n"
               "A second start on the same home brings the running window forward. 'qorda'\n"
               "with no command does the same when a display ($DISPLAY or $WAYLAND_DISPLAY)\n"
               "is available. Exits 1 when qorda-gui is not installed or the home holds no\n"
               "store.\n\n"
               "  --home DIR   the home (the same as 'qorda --home DIR gui')\n"
               "  --port N     listen on port N for this run instead of the configured iport\n");
}

// Hands over to qorda-gui; returns only when it could not be started. `who` starts every
// message ("qorda" or "qorda gui").
int exec_gui(const char* who, const std::string& home, std::optional<uint32_t> port) {
  auto self = platform::own_executable();
  if (!self.ok()) {
    std::fprintf(stderr, "%s: %s\n", who, self.msg.c_str());
    return kExitFailure;
  }
  const std::string gui = (std::filesystem::path(*self).parent_path() / kGuiProgram).string();
  std::vector<std::string> args = {kGuiProgram, "--home", home};
  if (port) {
    args.push_back("--port");
    args.push_back(std::to_string(*port));
  }
  platform::Status st = platform::exec_program(gui, args);
  if (std::error_code ec; st.err == ENOENT && !std::filesystem::exists(gui, ec)) {
    std::fprintf(stderr,
                 "%s: the administration window is not installed: there is no %s beside this "
                 "program.\n"
                 "To get it, build qorda with Qt 6 (scripts/deps.sh installs it; CMake then "
                 "builds qorda-gui,\n"
                 "or configure with -DQORDA_GUI=ON) or install the package that provides "
                 "qorda-gui.\n"
                 "Without a window the server runs with 'qorda serve'; 'qorda help' lists the "
                 "commands.\n",
                 who, gui.c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "%s: can't run %s: %s\n", who, gui.c_str(), std::strerror(st.err));
  return kExitFailure;
}

}  // namespace

int run_gui(const Context& ctx, const Args& args) {
  std::string home = ctx.home;
  std::optional<uint32_t> port;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      gui_usage(stdout);
      return kExitOk;
    }
    const bool is_home = a == "--home" || a.rfind("--home=", 0) == 0;
    const bool is_port = a == "--port" || a.rfind("--port=", 0) == 0;
    if (!is_home && !is_port) {
      std::fprintf(stderr, "qorda gui: unknown argument '%s'\n", a.c_str());
      gui_usage(stderr);
      return kExitUsage;
    }
    std::string value;
    if (a.find('=') != std::string::npos) {
      value = a.substr(a.find('=') + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      std::fprintf(stderr, "qorda gui: %s needs %s\n", a.c_str(),
                   is_home ? "a directory" : "a number");
      return kExitUsage;
    }
    if (is_home) {
      if (value.empty()) {
        std::fprintf(stderr, "qorda gui: --home needs a directory\n");
        return kExitUsage;
      }
      home = resolve_home(value);
      continue;
    }
    uint32_t n = 0;
    if (!parse_port(value, &n)) {
      std::fprintf(stderr, "qorda gui: '%s' is not a port number (0 to 65535)\n", value.c_str());
      return kExitUsage;
    }
    port = n;
  }
  return exec_gui("qorda gui", home, port);
}

int run_gui_without_command(const Context& ctx) {
  return exec_gui("qorda", ctx.home, std::nullopt);
}

}  // namespace qorda::app
