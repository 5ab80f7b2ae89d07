// qorda-screenshots DIR: renders the administration window's windows and tabs to PNG files in
// DIR (main-status.png ... main-about.png, user-editor.png, template-editor.png, quick-info.png,
// examine.png) for the documentation.
// It runs the demo site of `qorda init --demo` in a temporary home on a free loopback port,
// inside this process as qorda-gui does, with a few clients connected over loopback, and grabs
// the widgets as they paint themselves, so no display is needed (QT_QPA_PLATFORM=offscreen).
// The clock is a fixed one that this program advances, so the times in the pictures do not
// change from one run to the next.
#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QHostAddress>
#include <QListWidget>
#include <QPixmap>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admin/examine_window.h"
#include "admin/main_window.h"
#include "admin/quick_info.h"
#include "admin/server_control.h"
#include "admin/status_page.h"
#include "admin/template_editor.h"
#include "admin/user_editor.h"
#include "app/commands.h"
#include "app/server_home.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "store/settings.h"

namespace {

using namespace qorda;

// How long one step (a reply, a listing) may take before the run gives up.
constexpr auto kStepDeadline = std::chrono::seconds(10);
// The pictures' moment: Saturday 14 March 2026, 10:30:00 UTC.
constexpr std::time_t kPictureEpoch = 1773484200;
// The host name the server gives itself in banners and replies, whatever the machine is called.
constexpr const char* kPictureHostName = "ftp.example.org";
// The port `qorda init --demo` gives the site.
constexpr uint16_t kDemoPort = 2121;

class Run {
 public:
  explicit Run(admin::ServerControl& control) : control_(control) {}

  // Processes Qt events and the engine's ready descriptors until `done` holds; false when the
  // deadline passed first.
  bool pump_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kStepDeadline;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
      control_.loop().run_once(2);
    }
    return true;
  }
  // A few rounds of event processing, so that painting and layout catch up.
  void settle() {
    for (int i = 0; i < 20; ++i) {
      QCoreApplication::processEvents();
      control_.loop().run_once(0);
    }
  }

 private:
  admin::ServerControl& control_;
};

// One FTP control connection, read and written through Qt's event processing.
class Client {
 public:
  Client(Run& run, uint16_t port) : run_(run), port_(port) {}

  // Connects and waits for the greeting; the connection's id is the one that was not there
  // before.
  bool connect_and_greet(admin::ServerControl& control) {
    std::vector<uint32_t> before;
    for (const auto& v : control.connections()) before.push_back(v.id);
    socket_.connectToHost(QHostAddress::LocalHost, port_);
    if (!reply().startsWith("220")) return false;
    for (const auto& v : control.connections()) {
      if (std::find(before.begin(), before.end(), v.id) == before.end()) id_ = v.id;
    }
    return id_ != 0;
  }

  // Sends one command and returns its whole reply (empty when none came in time).
  QByteArray command(const QByteArray& line) {
    socket_.write(line + "\r\n");
    return reply();
  }

  // LIST over a passive data connection; the listing, or nothing on failure.
  std::optional<QByteArray> list(const QByteArray& path) {
    const QByteArray pasv = command("PASV");
    static const QRegularExpression kAddress(
        QStringLiteral("\\((\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)\\)"));
    const QRegularExpressionMatch m = kAddress.match(QString::fromLatin1(pasv));
    if (!pasv.startsWith("227") || !m.hasMatch()) return std::nullopt;
    const auto data_port =
        static_cast<uint16_t>(m.captured(5).toUInt() * 256 + m.captured(6).toUInt());
    QTcpSocket data;
    QByteArray listing;
    data.connectToHost(QHostAddress::LocalHost, data_port);
    if (!run_.pump_until([&] { return data.state() == QAbstractSocket::ConnectedState; })) {
      return std::nullopt;
    }
    if (!command(path.isEmpty() ? QByteArray("LIST") : "LIST " + path).startsWith("150")) {
      return std::nullopt;
    }
    const bool closed = run_.pump_until([&] {
      listing += data.readAll();
      return data.state() == QAbstractSocket::UnconnectedState;
    });
    listing += data.readAll();
    if (!closed || !reply().startsWith("226")) return std::nullopt;
    return listing;
  }

  uint32_t id() const { return id_; }

 private:
  // The next reply: lines up to the one that starts with the first line's code and a space.
  QByteArray reply() {
    QByteArray text;
    const bool complete = run_.pump_until([&] {
      buffer_ += socket_.readAll();
      for (;;) {
        const qsizetype end = buffer_.indexOf("\r\n");
        if (end < 0) return false;
        const QByteArray line = buffer_.left(end);
        buffer_.remove(0, end + 2);
        text += line + "\n";
        if (line.size() >= 4 && line[3] == ' ' && text.startsWith(line.left(3))) return true;
      }
    });
    return complete ? text : QByteArray();
  }

  Run& run_;
  uint16_t port_;
  QTcpSocket socket_;
  QByteArray buffer_;
  uint32_t id_ = 0;
};

// The demo's own port when nobody listens on it now (the log then names the port the demo
// site has), else any free one.
uint16_t free_loopback_port() {
  QTcpServer probe;
  if (probe.listen(QHostAddress::LocalHost, kDemoPort)) return kDemoPort;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  return probe.serverPort();
}

// The application font, when the machine has it: the pictures then look the same on any desktop.
void use_fixed_font() {
  const QString family = QStringLiteral("DejaVu Sans");
  if (QFontDatabase::families().contains(family)) QApplication::setFont(QFont(family, 9));
}

class Pictures {
 public:
  explicit Pictures(QString dir) : dir_(std::move(dir)) {}

  bool save(QWidget& w, const char* name) {
    const QString path =
        dir_ + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    if (!w.grab().save(path, "PNG")) {
      std::fprintf(stderr, "qorda-screenshots: can't write %s\n", path.toLocal8Bit().constData());
      ok_ = false;
      return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
  }
  bool ok() const { return ok_; }

 private:
  QString dir_;
  bool ok_ = true;
};

int fail(const char* what) {
  std::fprintf(stderr, "qorda-screenshots: %s\n", what);
  return app::kExitFailure;
}

// Everything after the home exists; the home is removed by the caller.
int take_pictures(const std::string& home, const QString& out_dir) {
  platform::ManualClock clock;
  clock.epoch = kPictureEpoch;
  clock.tick = 1000000;
  platform::set_clock(&clock);
  struct ClockBack {
    ~ClockBack() { platform::set_clock(nullptr); }
  } clock_back;

  const uint16_t port = free_loopback_port();
  if (port == 0) return fail("no free loopback port");
  app::ServerHome prepared = app::prepare_server_home(app::Context{home}, port);
  if (!prepared.ok()) return fail(prepared.status.msg.c_str());
  // No name look-ups (they would leave the machine), and one host name for every machine.
  store::ServerSettings& s = store::settings();
  s.benabledns = 0;
  s.boverride = 1;
  s.szhostname = kPictureHostName;

  auto loop = platform::EventLoop::create();
  if (!loop.ok()) return fail("can't create the event loop");
  admin::ServerControl control(std::move(prepared.store), std::move(loop.value));
  Run run(control);
  // The engine times online and idle by the tick count it took at its last tick; the log shows
  // the time of day.
  auto advance = [&clock, &control](uint32_t seconds) {
    clock.tick += seconds * 1000;
    clock.epoch += seconds;
    control.tick_now();
  };
  Pictures pictures(out_dir);
  int status = app::kExitOk;
  {
    admin::MainWindow window(control);
    admin::QuickInfoWindow quick_info(control);
    if (!control.is_on()) return fail("the demo server did not switch on");
    window.show_at_start();
    run.settle();

    // Two guests logged in, one at the login prompt, one that looks around under examination.
    std::vector<std::unique_ptr<Client>> clients;
    auto connect_client = [&]() -> Client* {
      clients.push_back(std::make_unique<Client>(run, port));
      advance(17);
      return clients.back()->connect_and_greet(control) ? clients.back().get() : nullptr;
    };
    auto log_in = [&](Client* c, const char* user, const char* mail) {
      return c != nullptr && c->command(QByteArray("USER ") + user).startsWith("331") &&
             c->command(QByteArray("PASS ") + mail).startsWith("230");
    };
    Client* first = connect_client();
    if (!log_in(first, "anonymous", "someone@example.org")) return fail("first login failed");
    advance(48);
    Client* second = connect_client();
    if (!log_in(second, "ftp", "visitor@example.net")) return fail("second login failed");
    advance(29);
    Client* explorer = connect_client();
    if (explorer == nullptr) return fail("third connection failed");
    auto examine = std::make_unique<admin::ExamineWindow>(control, explorer->id(), &window);
    examine->setModal(false);
    examine->show();
    if (!log_in(explorer, "anonymous", "someone@example.org")) return fail("third login failed");
    advance(6);
    if (!explorer->command("CWD /pub").startsWith("250")) return fail("CWD failed");
    advance(3);
    if (!explorer->list("").has_value()) return fail("the listing failed");
    advance(11);
    if (connect_client() == nullptr) return fail("fourth connection failed");
    advance(9);
    control.tick_now();
    run.settle();

    // The client list with the examined client selected, as when examine was clicked.
    QListWidget* list = window.status_page().client_list();
    for (int row = 0; row < list->count(); ++row) {
      list->setCurrentRow(row);
      if (window.status_page().selected_id() == explorer->id()) break;
    }
    struct Tab {
      admin::MainWindow::Tab tab;
      const char* name;
    };
    for (const Tab& t : {Tab{admin::MainWindow::StatusTab, "main-status"},
                         Tab{admin::MainWindow::SetupTab, "main-setup"},
                         Tab{admin::MainWindow::ExtrasTab, "main-extras"},
                         Tab{admin::MainWindow::BannersTab, "main-banners"},
                         Tab{admin::MainWindow::AccountsTab, "main-accounts"},
                         Tab{admin::MainWindow::AboutTab, "main-about"}}) {
      window.sheet().setCurrentIndex(t.tab);
      run.settle();
      pictures.save(window, t.name);
    }
    window.sheet().setCurrentIndex(admin::MainWindow::StatusTab);

    // The two editors on the demo's first account and first template.
    {
      store::UserRecord user;
      if (auto users = store::list_users(control.store()); users.ok() && !users.value.empty()) {
        user.name = users.value.front();
        (void)store::read_user(control.store(), user, store::UserParts{true, true});
      }
      admin::UserEditor user_editor(control, user, &window);
      user_editor.adjustSize();
      run.settle();
      pictures.save(user_editor, "user-editor");
      store::TemplateRecord tmpl;
      if (auto names = store::list_templates(control.store()); names.ok() && !names.value.empty()) {
        tmpl.name = names.value.front();
        (void)store::read_template(control.store(), tmpl);
      }
      admin::TemplateEditor template_editor(control, tmpl, &window);
      template_editor.adjustSize();
      run.settle();
      pictures.save(template_editor, "template-editor");
    }

    examine->refresh();
    run.settle();
    pictures.save(*examine, "examine");
    examine->done(0);
    examine.reset();

    quick_info.popup();
    run.settle();
    pictures.save(quick_info, "quick-info");
    quick_info.hide();

    clients.clear();
    run.settle();
    if (!pictures.ok()) status = app::kExitFailure;
  }
  control.switch_off();
  return status;
}

// The offscreen platform says so for each window asked to come forward; nothing is wrong.
void quiet_platform_notes(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.startsWith(QStringLiteral("This plugin does not support"))) return;
  std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, msg).toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(quiet_platform_notes);
  QApplication app(argc, argv);
  // Qt sets the process locale from the environment; the server's numbers keep the C one.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("qorda"));
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: qorda-screenshots DIR\n\n"
                 "Writes the administration window's pictures as PNG files into DIR.\n");
    return app::kExitUsage;
  }
  const QString out_dir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(out_dir)) return fail("can't create the output directory");
  use_fixed_font();

  char pattern[] = "/tmp/qorda-screenshots-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return fail("can't create a temporary home");
  const std::string home = pattern;
  int status = app::run_init(app::Context{home}, {"--demo"});
  if (status == app::kExitOk) status = take_pictures(home, out_dir);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return status;
}
