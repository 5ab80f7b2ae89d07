// One window per home: a second start on the same home reaches the running window over the
// local socket and asks it to come forward; start-up asks before it touches the home; the
// program refuses a home that a server without a window holds.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <QSignalSpy>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "admin/application.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

namespace fs = std::filesystem;

bool pump_until(const std::function<bool()>& done) {
  for (int i = 0; i < 4000 && !done(); ++i) QCoreApplication::processEvents();
  return done();
}

TEST(SingleInstance, ASecondStartOnTheSameHomeReachesTheFirst) {
  TempDir dir;
  const std::string home = dir.path() + "/home";
  fs::create_directories(home);
  fs::create_directory_symlink(home, dir.path() + "/link");

  auto first = std::make_unique<admin::SingleInstance>(home);
  QSignalSpy restored(first.get(), &admin::SingleInstance::restoreRequested);
  // Nobody answers yet.
  EXPECT_FALSE(admin::SingleInstance(home).ask_running_instance());
  QString error;
  ASSERT_TRUE(first->listen(&error)) << error.toStdString();

  // Every spelling of the home, a link to it included, is the same home.
  for (const std::string& spelling :
       {home, home + "/", dir.path() + "/./home//", dir.path() + "/link"}) {
    admin::SingleInstance second(spelling);
    EXPECT_EQ(second.socket_path().toStdString(), first->socket_path().toStdString()) << spelling;
    const qsizetype before = restored.size();
    EXPECT_TRUE(second.ask_running_instance()) << spelling;
    EXPECT_TRUE(pump_until([&] { return restored.size() == before + 1; })) << spelling;
  }
  // Another home has a socket of its own, which nobody answers.
  TempDir other;
  admin::SingleInstance elsewhere(other.path());
  EXPECT_NE(elsewhere.socket_path().toStdString(), first->socket_path().toStdString());
  EXPECT_FALSE(elsewhere.ask_running_instance());

  // Once the first has gone, nobody answers on the home again.
  const QString path = first->socket_path();
  first.reset();
  EXPECT_FALSE(fs::exists(path.toStdString()));
  EXPECT_FALSE(admin::SingleInstance(home).ask_running_instance());
}

TEST(SingleInstance, OnlyTheRestoreRequestCountsAndALongLineIsCut) {
  TempDir home;
  admin::SingleInstance first(home.path());
  QSignalSpy restored(&first, &admin::SingleInstance::restoreRequested);
  ASSERT_TRUE(first.listen(nullptr));
  const QByteArray endless(4 * admin::kMaxInstanceRequestBytes, 'x');
  for (const QByteArray& request : {QByteArray("hello\n"), QByteArray("restore now\n"), endless}) {
    QLocalSocket peer;
    peer.connectToServer(first.socket_path());
    ASSERT_TRUE(peer.waitForConnected(1000));
    peer.write(request);
    ASSERT_TRUE(peer.waitForBytesWritten(1000));
    // The window hangs up on it, however much more it would send.
    EXPECT_TRUE(pump_until([&] { return peer.state() == QLocalSocket::UnconnectedState; }))
        << request.left(16).toStdString();
  }
  EXPECT_EQ(restored.size(), 0);
  EXPECT_TRUE(admin::SingleInstance(home.path()).ask_running_instance());
  EXPECT_TRUE(pump_until([&] { return restored.size() == 1; }));
}

TEST(SingleInstance, AStaleSocketIsReplacedAndAnyHomeGetsAUsableName) {
  TempDir dir;
  // What a window that was killed leaves behind: a file nobody answers on.
  admin::SingleInstance crashed(dir.path());
  { std::ofstream(crashed.socket_path().toStdString()) << "stale"; }
  EXPECT_FALSE(admin::SingleInstance(dir.path()).ask_running_instance());
  ASSERT_TRUE(crashed.listen(nullptr));
  EXPECT_TRUE(admin::SingleInstance(dir.path()).ask_running_instance());

  // A home far longer than a socket path may be.
  const std::string deep = dir.path() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') +
                           "/with space and 'quote'";
  admin::SingleInstance far(deep);
  QString error;
  EXPECT_TRUE(far.listen(&error)) << error.toStdString();
  EXPECT_TRUE(admin::SingleInstance(deep).ask_running_instance());
}

TEST(StartUp, ASecondStartAsksTheFirstBeforeTouchingTheHome) {
  TempDir dir;
  const std::string home = dir.path() + "/site";
  qorda_cli(home, "init");
  const admin::GuiOptions options{home, std::nullopt};

  admin::SingleInstance first_instance(home);
  QSignalSpy restored(&first_instance, &admin::SingleInstance::restoreRequested);
  admin::Startup first = admin::start_up(first_instance, options);
  ASSERT_EQ(first.outcome, admin::Startup::Outcome::Run) << first.message;
  EXPECT_TRUE(first.home.lock.held());
  EXPECT_TRUE(first_instance.listening());

  // Without the store a start that looked at the home would refuse it; this one never does.
  fs::rename(home + "/qorda.db", home + "/qorda.db.away");
  admin::SingleInstance second_instance(home);
  admin::Startup second = admin::start_up(second_instance, options);
  EXPECT_EQ(second.outcome, admin::Startup::Outcome::Restored) << second.message;
  EXPECT_FALSE(second_instance.listening());
  EXPECT_TRUE(pump_until([&] { return restored.size() == 1; }));
  fs::rename(home + "/qorda.db.away", home + "/qorda.db");
}

// The program itself: its exit status and its message on standard error.
struct Outcome {
  int status = -1;
  std::string line;  // the line that starts with `prefix`
};
Outcome run_program(const std::string& program, const std::string& args,
                    const std::string& prefix) {
  int st = 0;
  // In the sanitizer build, what Qt's platform plugins keep until exit is not counted as a leak
  // of the program's (the tests in this process check the program's own code for leaks).
  const std::string out = run_command("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" timeout 20 '" +
                                          program + "' " + args + " </dev/null",
                                      &st);
  Outcome r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  for (size_t at = 0; at < out.size();) {
    const size_t end = std::min(out.find('\n', at), out.size());
    if (out.compare(at, prefix.size(), prefix) == 0) r.line = out.substr(at, end - at);
    at = end + 1;
  }
  return r;
}

TEST(GuiProgram, RefusesAHomeAsServeDoesAndOneThatServeHolds) {
  TempDir dir;
  // No store: the same status and text as `qorda serve`, in the program's own name.
  for (const std::string& home : {dir.path() + "/typo", dir.path()}) {
    const Outcome serve = run_program(QORDA_BINARY, "--home '" + home + "' serve", "qorda serve: ");
    const Outcome gui = run_program(QORDA_GUI_BINARY, "--home '" + home + "'", "qorda-gui: ");
    EXPECT_EQ(serve.status, 1);
    EXPECT_EQ(gui.status, 1);
    ASSERT_FALSE(serve.line.empty());
    EXPECT_EQ(gui.line, "qorda-gui: " + serve.line.substr(13));
  }
  EXPECT_FALSE(fs::exists(dir.path() + "/typo"));

  EXPECT_EQ(run_program(QORDA_GUI_BINARY, "--port 65536", "qorda-gui: ").status, 2);
  EXPECT_EQ(run_program(QORDA_GUI_BINARY, "--home", "qorda-gui: ").status, 2);

  // A server without a window on the home: nobody answers the second start, the lock is held.
  const std::string home = dir.path() + "/site";
  qorda_cli(home, "init");
  ServeChild srv(home, "--port " + std::to_string(serve_port()));
  ASSERT_TRUE(srv.wait_up()) << srv.output();
  const Outcome gui = run_program(QORDA_GUI_BINARY, "--home '" + home + "'", "qorda-gui: ");
  EXPECT_EQ(gui.status, 1);
  EXPECT_EQ(gui.line.rfind("qorda-gui: a server already runs on this home (qorda serve, pid ", 0),
            0u)
      << gui.line;
  EXPECT_NE(gui.line.find("); stop it first"), std::string::npos) << gui.line;
  EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
}  // namespace qorda::test
