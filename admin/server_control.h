// The server as the window drives it: the event loop, the home's store and the network module
// (open while the server is switched on), all on the GUI's one thread. The loop's descriptor is
// watched by one QSocketNotifier whose activation runs the loop's non-blocking dispatch; the
// engine's own 250 ms timer stays in the loop, and its after-tick reaches the widgets as the
// observer's tick signal. Nothing polls: an idle window sleeps until a descriptor is ready.
//
// This is the whole interface the widgets call: switch the server on and off, close the
// listener alone, the figures, the connection views, disconnect and examine by id, the store.
// ServerControl owns the loop, the store, the engine and the observer's installation.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admin/qt_observer.h"
#include "control/control_server.h"
#include "control/target.h"
#include "engine/netmodule.h"
#include "engine/settings_apply.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "session/session.h"

namespace qorda::admin {

class ServerControl final : public QObject {
  Q_OBJECT

 public:
  // Takes the home's open store (settings and drive table already loaded) and a new loop.
  ServerControl(std::unique_ptr<platform::Registry> store,
                std::unique_ptr<platform::EventLoop> loop, QObject* parent = nullptr);
  ~ServerControl() override;
  ServerControl(const ServerControl&) = delete;
  ServerControl& operator=(const ServerControl&) = delete;

  // The server switch. switch_on opens the network module and closes it again when it has no
  // listener (the reason is in the activity log); true when the server is on afterwards.
  bool switch_on();
  void switch_off();
  bool is_on() const { return net_ != nullptr && net_->is_open(); }
  // Closes the listening socket alone (shutdown when idle): connected clients stay.
  void close_listener();

  engine::EngineFigures figures() const;
  int client_count() const { return is_on() ? net_->client_count() : 0; }
  std::vector<session::ConnectionView> connections() const;
  std::optional<session::ConnectionView> connection(uint32_t id) const;
  bool disconnect(uint32_t id);
  bool set_examined(uint32_t id, bool on);
  // Makes `fresh` the settings record and lets the engine react as a reload of `serve` does (one
  // code path for both): a new port closes the network module, dropping every client, and opens
  // it again on that port unless `reopen` is false (a shutdown when idle is pending: the server
  // then stays off); the log file opens or closes by the new file level and path.
  engine::ApplyOutcome apply_settings(store::ServerSettings fresh, bool reopen);
  // The machine's host name as found when the network module started; empty when there is none.
  std::string local_name() const { return is_on() ? net_->local_name() : std::string(); }
  // The engine clock (ms ticks), for the times a view shows.
  uint32_t now() const { return is_on() ? net_->now() : 0; }

  platform::Registry& store() { return *store_; }
  platform::EventLoop& loop() { return *loop_; }
  QtObserver& observer() { return observer_; }

  // Runs what the loop has ready without waiting (the notifier's work).
  void dispatch();
  // Runs one engine tick now, as the 250 ms timer does (for tests on a manual clock).
  void tick_now() {
    if (is_on()) net_->timer_tick();
  }

  // ---- the control socket (`qorda status`, `who`, `kick`, `log`, `stop`, `switch`) ----
  // Serves <home>/qorda.sock from now on; call it holding the home's lock. False, with the
  // reason in `error`, when the socket cannot be made (the window works without it).
  bool serve_control_socket(const std::string& home, std::string* error);
  control::ControlServer* control_server() { return control_server_.get(); }
  // The server as the control socket and the shared disconnect rules act on it.
  control::ControlTarget& target();
  // Whether the window waits for the last client before it closes (the control socket's
  // `stop_pending`); false until set.
  void set_stop_pending_query(std::function<bool()> query) { stop_pending_ = std::move(query); }

 Q_SIGNALS:
  // `qorda stop` asked the program to end: now (as quitting does) or once the last client has
  // left (the window's "wait until all clients have logged off").
  void stopRequested(bool whenIdle);

 private:
  QtObserver observer_;
  engine::ObserverInstallation installed_{observer_};
  std::unique_ptr<platform::Registry> store_;
  std::unique_ptr<platform::EventLoop> loop_;
  std::unique_ptr<engine::NetModule> net_;
  std::unique_ptr<QSocketNotifier> notifier_;
  // Declared last: the control socket's observer is installed after (and so removed before)
  // the window's, and it goes before the engine it reports on.
  class Target;
  std::function<bool()> stop_pending_;
  std::unique_ptr<Target> target_;
  std::unique_ptr<control::ControlServer> control_server_;
};

}  // namespace qorda::admin
