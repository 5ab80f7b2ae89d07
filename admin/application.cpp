#include "admin/application.h"

#include <QApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "admin/examine_window.h"
#include "admin/main_window.h"
#include "admin/quick_info.h"
#include "admin/server_control.h"
#include "admin/user_editor.h"
#include "platform/event_loop.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::admin {

namespace {

// "pid 1234" from the lock's message "another qorda is already running on this home (pid 1234)".
std::string holder_of(const std::string& lock_message) {
  const size_t open = lock_message.rfind('(');
  const size_t close = lock_message.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return lock_message.substr(open + 1, close - open - 1);
}

}  // namespace

Startup start_up(SingleInstance& instance, const GuiOptions& options) {
  Startup start;
  if (instance.ask_running_instance()) {
    start.outcome = Startup::Outcome::Restored;
    return start;
  }
  start.home = app::prepare_server_home(app::Context{options.home}, options.port);
  if (!start.home.ok()) {
    const platform::Status& st = start.home.status;
    if (start.home.failed == app::HomeStep::Lock && st.err == EWOULDBLOCK) {
      // Another window may have taken the home since the first question; it answers now.
      if (instance.ask_running_instance()) {
        start.outcome = Startup::Outcome::Restored;
        return start;
      }
      const std::string who = holder_of(st.msg);
      start.message = "a server already runs on this home (qorda serve" +
                      (who.empty() ? "" : ", " + who) + "); stop it first";
    } else {
      start.message = st.msg;
    }
    start.outcome = Startup::Outcome::Refused;
    return start;
  }
  QString error;
  if (!instance.listen(&error)) {
    // The window works without it; only a second start would not find it.
    std::fprintf(stderr, "qorda-gui: a second start will not find this window: %s\n",
                 error.toLocal8Bit().constData());
  }
  start.outcome = Startup::Outcome::Run;
  return start;
}

int run_gui(const GuiOptions& options) {
  SingleInstance instance(options.home);
  Startup start = start_up(instance, options);
  if (start.outcome == Startup::Outcome::Restored) return app::kExitOk;
  if (start.outcome == Startup::Outcome::Refused) {
    std::fprintf(stderr, "qorda-gui: %s\n", start.message.c_str());
    return app::kExitFailure;
  }
  auto loop = platform::EventLoop::create();
  if (!loop.ok()) {
    std::fprintf(stderr, "qorda-gui: can't create the event loop: %s\n", std::strerror(loop.err));
    return app::kExitFailure;
  }
  // The lock stays in `start.home` for the whole run; the store goes to the control.
  ServerControl control(std::move(start.home.store), std::move(loop.value));
  // SIGTERM and SIGINT end the run as closing the window does: every client gets its 421.
  if (platform::Status st =
          control.loop().watch_signals({SIGTERM, SIGINT}, [](int) { QApplication::quit(); });
      !st.ok()) {
    std::fprintf(stderr, "qorda-gui: can't watch signals: %s\n", std::strerror(st.err));
    return app::kExitFailure;
  }

  // The control socket (`qorda status`, `who`, `kick`, `log`, `stop`, `switch`) from before the
  // engine starts, so it sees the start-up lines; the home's lock is held.
  if (std::string error; !control.serve_control_socket(options.home, &error)) {
    std::fprintf(stderr,
                 "qorda-gui: no control socket (qorda status and the like won't work): %s\n",
                 error.c_str());
  }

  // ---- The windows. ------------------------------------------------------------------------
  // The main window's status page switches the server on (a server that cannot listen stays
  // off; the log says why and the switch can try again). The quick-info window exists hidden
  // for the main window's whole life.
  MainWindow window(control);
  QuickInfoWindow quick_info(control);
  QObject::connect(&instance, &SingleInstance::restoreRequested, &window,
                   &MainWindow::bring_forward);
  QObject::connect(&window, &MainWindow::quickInfoRequested, &quick_info, [&quick_info] {
    if (!quick_info.isVisible()) quick_info.popup();
  });
  QObject::connect(
      &window, &MainWindow::examineRequested, &window,
      [&control, &window](quint32 id) { ExamineWindow::examine(control, id, &window); });
  // `qorda stop`: now as quitting does (every client gets its 421), or as the close rule's wait.
  control.set_stop_pending_query([&window] { return window.shutdown_pending(); });
  QObject::connect(&control, &ServerControl::stopRequested, &window, [&window](bool when_idle) {
    if (when_idle) {
      window.shut_down_when_idle();
    } else {
      QApplication::quit();
    }
  });
  // A hidden window that closes (shutdown when idle) is not Qt's "last window closed".
  QObject::connect(&window, &MainWindow::closed, &window, [] { QApplication::quit(); });
  // The status tab's "&edit": the user editor on the client's account (the accounts list is
  // not refreshed on this path).
  QObject::connect(&window, &MainWindow::editRequested, &window, [&control, &window](quint32 id) {
    (void)edit_client_account(control, &window, id, default_dialog_runner(),
                              default_editor_warner());
  });
  window.show_at_start();
  // ---- End of the windows. -----------------------------------------------------------------

  const int status = QApplication::exec();
  control.switch_off();
  return status;
}

}  // namespace qorda::admin
