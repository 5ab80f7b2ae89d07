// The window serves the control socket too: `who` reads the same connections the status tab
// shows, `switch off` moves the window's switch, and `stop` reaches the program as its
// stopRequested signal (the close rule's wait for --when-idle).
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <csignal>

#include "admin/main_window.h"
#include "control/protocol.h"
#include "platform/fileio.h"
#include "platform/local_socket.h"
#include "tests/admin/gui_support.h"

namespace qorda::test {
namespace {

// One request on the control socket; its answer lines, pumping the window meanwhile.
std::string ask(GuiServer& srv, const std::string& request) {
  auto fd = platform::connect_local(srv.home() + "/qorda.sock");
  EXPECT_TRUE(fd.ok()) << fd.err;
  if (!fd.ok()) return {};
  EXPECT_TRUE(platform::write_all(fd->get(), request).ok());
  std::string got;
  bool ended = false;
  srv.pump_until([&] {
    char buf[4096];
    const platform::IoResult r = platform::read_waiting(fd->get(), buf, sizeof buf, 0);
    if (r.err == ETIMEDOUT) return false;
    if (!r.ok() || r.n == 0) return ended = true;
    got.append(buf, r.n);
    return false;
  });
  EXPECT_TRUE(ended) << got;
  return got;
}

TEST(ControlSocketInTheWindow, WhoSwitchAndStopGoThroughServerControl) {
  std::signal(SIGPIPE, SIG_IGN);
  GuiServer srv;
  admin::ServerControl& ctl = srv.control();
  std::string error;
  ASSERT_TRUE(ctl.serve_control_socket(srv.home(), &error)) << error;
  ASSERT_TRUE(ctl.switch_on());
  auto c = gui_client(srv);
  ASSERT_EQ(c->reply().substr(0, 4), "220 ");

  std::optional<control::JsonValue> who = control::parse_json(ask(srv, "who\n"));
  ASSERT_TRUE(who);
  const control::JsonValue* list = who->get("connections");
  ASSERT_TRUE(list != nullptr && list->items.size() == 1);
  EXPECT_EQ(list->items[0].num("id"), ctl.connections().at(0).id);
  EXPECT_EQ(list->items[0].str("user"), "[unknown]");

  QSignalSpy switched(&ctl.observer(), &admin::QtObserver::switchPosition);
  EXPECT_EQ(ask(srv, "switch off\n"), "{\"ok\":true,\"on\":false}\n");
  EXPECT_FALSE(ctl.is_on());
  ASSERT_EQ(switched.size(), 1);
  EXPECT_FALSE(switched.at(0).at(0).toBool());
  EXPECT_EQ(c->reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(ask(srv, "switch on\n"), "{\"ok\":true,\"on\":true}\n");
  EXPECT_TRUE(ctl.is_on());

  // The program's wiring of `stop`: --when-idle takes the close rule's wait.
  admin::MainWindow w(ctl);
  ctl.set_stop_pending_query([&w] { return w.shutdown_pending(); });
  QObject::connect(&ctl, &admin::ServerControl::stopRequested, &w, [&w](bool when_idle) {
    if (when_idle) w.shut_down_when_idle();
  });
  QSignalSpy stops(&ctl, &admin::ServerControl::stopRequested);
  QSignalSpy closed(&w, &admin::MainWindow::closed);
  auto d = gui_client(srv);
  ASSERT_EQ(d->reply().substr(0, 4), "220 ");
  EXPECT_NE(ask(srv, "stop when-idle\n").find("\"stopping\":\"when-idle\",\"clients\":1"),
            std::string::npos);
  ASSERT_EQ(stops.size(), 1);
  EXPECT_TRUE(stops.at(0).at(0).toBool());
  EXPECT_TRUE(w.shutdown_pending());
  EXPECT_NE(ask(srv, "status\n").find("\"listening\":false"), std::string::npos);
  EXPECT_NE(ask(srv, "switch off\n").find("\"error\":\"stopping\""), std::string::npos);
  EXPECT_EQ(d->cmd("QUIT").substr(0, 4), "221 ");
  srv.tick();
  srv.pump();
  EXPECT_EQ(closed.size(), 1);
}

}  // namespace
}  // namespace qorda::test
