// The network engine: exists exactly while the server is switched on. Opening it starts the
// tick, opens the log file, learns the local host name and addresses and opens the listening
// socket; it owns the session table, routes every loop message to the session it concerns
// (dispatch_message) and runs the tick. It is the SessionHost of its sessions and the one
// interface a window or a control client uses: the figures, a read-only view of each connection,
// disconnect and examine by id. Closing it drops every client and undoes all of that.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/conn_table.h"
#include "engine/observer.h"
#include "engine/session_host.h"
#include "platform/event_loop.h"
#include "platform/socket.h"
#include "session/login_throttle.h"
#include "session/session.h"
#include "session/tls_setup.h"

namespace qorda::platform {
class Registry;
}

namespace qorda::engine {

// The listening socket; invalid socket when there is no listener.
struct ListenSocket {
  platform::Socket sock;
  platform::SockAddr addr;  // any local address, the configured port
};

// Where the engine runs: the loop that delivers its messages and the store it reads. Nothing
// here is owned by the engine. The view it reports to is the installed observer
// (install_observer).
struct EngineEnv {
  platform::EventLoop* loop = nullptr;
  // The store that user, template and link records are read from at USER, at each statistics
  // update and at each link lookup. May be null only in tests that never log in.
  platform::Registry* registry = nullptr;
};

// The engine's figures, as the quick-info window and `status` show them.
struct EngineFigures {
  bool listening = false;
  uint16_t port = 0;
  int clients = 0;
  int max_clients = 0;         // imaxc, 0: no limit
  double throughput_kbps = 0;  // all transfers together, as of the last tick
};

class NetModule final : public SessionHost {
 public:
  // Opens the engine (never fails as a whole: a failure is logged and leaves an engine without
  // listener) and publishes it as current(). The caller owns the result; destroying it closes.
  static std::unique_ptr<NetModule> open(const EngineEnv& env);
  ~NetModule();
  NetModule(const NetModule&) = delete;
  NetModule& operator=(const NetModule&) = delete;

  // Tears everything down (every client gets 421 and is freed). Idempotent.
  void close();
  bool is_open() const { return open_; }

  // The engine that is switched on, or null.
  static NetModule* current();

  // The loop message procedure: the five message kinds.
  void dispatch_message(const platform::Message& m);
  // The 250 ms tick, in its fixed order of steps; the observer's after_tick comes last.
  void timer_tick();

  bool listening() const { return listener_.sock.valid(); }
  uint16_t listen_port() const { return listener_.addr.port; }
  void disable_listener();
  // Why the last enable_listener ended without a socket: an errno value (0 for port 0 or none).
  int listen_error() const { return listen_error_; }
  // Closes and reopens the log file (log rotation); logs a failure to reopen.
  void reopen_log();

  // ---- what a window (or a control client) uses ----
  EngineFigures figures() const;
  // Every connection, in the session table's order, read at the current engine time.
  std::vector<session::ConnectionView> connections() const;
  std::optional<session::ConnectionView> connection(uint32_t id) const;
  // The administrator's disconnect: the client gets its farewell and the session is freed at
  // the next tick. False when there is no such connection or it is already closing.
  bool disconnect(uint32_t id);
  // Examine on or off: with it on, every command and reply line of the connection goes to the
  // observer's examine_line. False when there is no such connection.
  bool set_examined(uint32_t id, bool on);
  std::string tray_tip() const;

  // ---- the session table ----
  const ConnTable<session::Session>& sessions() const { return sessions_; }
  session::Session* find_session(int sock) const { return sessions_.find(sock); }
  // Data sockets whose events are routed to a session.
  size_t data_route_count() const { return data_routes_.size(); }

  const std::string& local_name() const { return local_name_; }

  // ---- SessionHost ----
  platform::EventLoop& loop() override { return *env_.loop; }
  platform::Registry* registry() override { return env_.registry; }
  uint32_t now() const override { return now_; }
  const store::ServerSettings& settings() const override;
  // szhostname when boverride is set, else the local name.
  std::string host_name() const override;
  int client_count() const override { return client_count_; }
  void for_each_session(const std::function<void(const session::Session&)>& visit) const override;
  session::LoginThrottle& login_throttle() override { return login_throttle_; }
  void route_data(int fd, session::Session& owner) override;
  void drop_data_route(int fd) override;
  Observer& observer() override;
  session::TlsContextCache& tls_contexts() override { return tls_contexts_; }

  // Whether the informational start-up lines are still to be logged (set at program start,
  // cleared by the first successful open). Exposed for tests.
  static void set_first_open(bool on);

 private:
  explicit NetModule(const EngineEnv& env) : env_(env) {}
  void do_open();
  void enable_listener(uint32_t port);
  void on_control(const platform::Message& m);
  void on_lookup(const platform::Message& m);
  void on_listen(const platform::Message& m);
  void on_data(const platform::Message& m);
  // Takes a session into the table and keeps the count and the tray current.
  void add_session(session::Session* s);
  // Unlinks and frees a session.
  void free_session(session::Session* s);
  session::Session* find_session_by_lookup(uint32_t handle) const;
  void refresh_tray();

  EngineEnv env_;
  bool open_ = false;
  // Sessions are owned by the engine: made on accept, freed by free_session.
  ConnTable<session::Session> sessions_;
  // Data socket handle -> the session that owns that data connection (not owned here).
  std::unordered_map<int, session::Session*> data_routes_;
  uint32_t now_ = 0;
  ListenSocket listener_;
  std::string local_name_;
  int client_count_ = 0;
  int listen_error_ = 0;
  double throughput_ = 0;
  session::LoginThrottle login_throttle_;
  session::TlsContextCache tls_contexts_;
};

// Maps the log-file setting to a local path through the drive table: an absolute path stays as
// it is; "x:\rest" is rest under drive x's directory. Empty when it cannot be mapped.
std::string local_log_path(const std::string& szlogf);

// Opens the log file `szlogf` names (see local_log_path) and logs "logging to file" or the
// failure, naming the setting as it stands. True when the file is open.
bool open_log_file(const std::string& szlogf);

}  // namespace qorda::engine
