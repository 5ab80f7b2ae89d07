// The network engine: exists exactly while the server is switched on. Opening it starts the
// tick, opens the log file, learns the local host name and addresses and opens the listening
// socket; it owns the session table and the data-connection table and routes every loop message
// (nproc). Closing it drops every client and undoes all of that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/conn_table.h"
#include "engine/observer.h"
#include "platform/event_loop.h"
#include "platform/socket.h"
#include "session/login_throttle.h"

namespace qorda::platform {
class Registry;
}
namespace qorda::session {
class csock_c;
}
namespace qorda::transfer {
class dsock_c;
}

namespace qorda::engine {

// The listening socket; invalid socket when there is no listener.
struct ListenSocket {
  platform::Socket sock;
  platform::SockAddr addr;  // any local address, the configured port
};

// Where the engine runs: the loop that delivers its messages and the views it reports to.
// Nothing here is owned by the engine.
struct EngineEnv {
  platform::EventLoop* loop = nullptr;
  Observer* observer = nullptr;
  // The store that user, template and link records are read from at USER, at each statistics
  // update and at each link lookup. May be null only in tests that never log in.
  platform::Registry* registry = nullptr;
};

class NetModule {
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
  void nproc(const platform::Message& m);
  // The 250 ms tick, in its fixed order of steps.
  void timer_tick();

  bool listening() const { return listener_.sock.valid(); }
  uint16_t listen_port() const { return listener_.addr.port; }
  void disable_listener();
  // Why the last enable_listener ended without a socket: an errno value (0 for port 0 or none).
  int listen_error() const { return listen_error_; }
  // Closes and reopens the log file (log rotation); logs a failure to reopen.
  void reopen_log();

  // Session table. add/remove keep the client count, tray tip and client list current.
  void add_session(session::csock_c* s);
  void remove_session(session::csock_c* s);
  session::csock_c* find_session(int sock) const;
  session::csock_c* find_session_by_lookup(uint32_t handle) const;
  const ConnTable<session::csock_c>& sessions() const { return sessions_; }
  // Destroys and frees a session (it unlinks itself from the table).
  void free_session(session::csock_c* s);

  // Data-connection table, filled by data connections as they are made.
  ConnTable<transfer::dsock_c>& data_table() { return data_; }

  int client_count() const { return client_count_; }
  std::string tray_tip() const;
  // Refreshes the client count and tray tip in the views.
  void refresh_tray();

  const std::string& local_name() const { return local_name_; }
  // The host name shown to clients: szhostname when boverride is set, else the local name.
  std::string host_name() const;

  platform::EventLoop& loop() { return *env_.loop; }
  platform::Registry* registry() { return env_.registry; }
  Observer& observer() { return *env_.observer; }

  // How fast each client address may have its passwords checked.
  session::LoginThrottle& login_throttle() { return login_throttle_; }

  // Total transfer rate in KiB/s, recomputed at every tick.
  double throughput() const { return throughput_; }

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
  // The client closed the control connection: log, mark and free the session (or leave it to
  // its reverse look-up's answer).
  void on_peer_closed(session::csock_c* s);

  EngineEnv env_;
  bool open_ = false;
  ConnTable<session::csock_c> sessions_;  // sessions are owned by the engine (new/delete)
  ConnTable<transfer::dsock_c> data_;     // data connections are owned by their sessions
  ListenSocket listener_;
  std::string local_name_;
  int client_count_ = 0;
  int listen_error_ = 0;
  double throughput_ = 0;
  session::LoginThrottle login_throttle_;
};

// The engine clock: the tick count read at the start of every timer tick (and at open). All
// session and transfer times are taken from it.
uint32_t now();
void set_now(uint32_t tick);

// Rate of a transfer in KiB/s; a measured time below 55 ms counts as 27 ms.
double transfer_rate_kbps(uint64_t moved_bytes, uint32_t elapsed_ms);

// Maps the log-file setting to a local path through the drive table: an absolute path stays as
// it is; "x:\rest" is rest under drive x's directory. Empty when it cannot be mapped.
std::string local_log_path(const std::string& szlogf);

// Opens the log file `szlogf` names (see local_log_path) and logs "logging to file" or the
// failure, naming the setting as it stands. True when the file is open.
bool open_log_file(const std::string& szlogf);

}  // namespace qorda::engine
