// qorda-gui [--home DIR] [--port N]: the administration window with the server in-process.
// `qorda gui` (and plain `qorda` on a display) runs this program.
#include <QApplication>
#include <QIcon>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin/application.h"
#include "app/commands.h"
#include "app/server_home.h"
#include "store/keys.h"

namespace {

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: qorda-gui [--home DIR] [--port N]\n\n"
               "The administration window of qorda: the activity log, the connected clients and\n"
               "the server's switch, with the server running in this program. One window runs\n"
               "per home; a second start on the same home brings it forward and exits 0.\n"
               "Exits 1 when the home holds no store ('qorda init' makes one) or a server\n"
               "without a window (qorda serve) already runs on it.\n\n"
               "  --home DIR   the home; defaults to $QORDA_HOME, else /var/lib/qorda for root,\n"
               "               else $XDG_DATA_HOME/qorda (~/.local/share/qorda)\n"
               "  --port N     listen on port N for this run instead of the configured iport\n");
}

bool have_display() {
  for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    if (const char* v = std::getenv(var); v && *v) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  qorda::admin::GuiOptions options;
  std::string home;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return qorda::app::kExitOk;
    }
    if (a == "--version") {
      std::printf("%s %s\n", qorda::store::kProductName, qorda::store::kVersion);
      return qorda::app::kExitOk;
    }
    const bool is_home = a == "--home" || a.rfind("--home=", 0) == 0;
    const bool is_port = a == "--port" || a.rfind("--port=", 0) == 0;
    if (!is_home && !is_port) {
      std::fprintf(stderr, "qorda-gui: unknown argument '%s'\n", a.c_str());
      usage(stderr);
      return qorda::app::kExitUsage;
    }
    std::string value;
    if (a.find('=') != std::string::npos) {
      value = a.substr(a.find('=') + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      std::fprintf(stderr, "qorda-gui: %s needs %s\n", a.c_str(),
                   is_home ? "a directory" : "a number");
      return qorda::app::kExitUsage;
    }
    if (is_home) {
      home = value;
      continue;
    }
    uint32_t port = 0;
    if (!qorda::app::parse_port(value, &port)) {
      std::fprintf(stderr, "qorda-gui: '%s' is not a port number (0 to 65535)\n", value.c_str());
      return qorda::app::kExitUsage;
    }
    options.port = port;
  }
  options.home = qorda::app::resolve_home(home);

  // Without a display Qt would end the program with a message about platform plugins.
  if (!have_display()) {
    std::fprintf(stderr,
                 "qorda-gui: no display ($DISPLAY and $WAYLAND_DISPLAY are not set); without a "
                 "window the server runs with 'qorda serve'\n");
    return qorda::app::kExitFailure;
  }
  QApplication app(argc, argv);
  // Qt sets the process locale from the environment; the server's replies and log lines
  // ("%01.2f kb/s") must not turn into a decimal comma under some locales.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("qorda"));
  QApplication::setApplicationVersion(QString::fromLatin1(qorda::store::kVersion));
  // The desktop entry names the icon; a window system that maps windows to entries finds it.
  QGuiApplication::setDesktopFileName(QStringLiteral("qorda"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("qorda")));
  return qorda::admin::run_gui(options);
}
