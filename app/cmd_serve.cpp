// qorda serve [--port N]: the server without GUI. The screen log goes to standard output;
// SIGTERM/SIGINT close the engine (every client gets its 421) and end the run; SIGHUP reloads
// the drive table and the settings from the store and reopens the log file. The control socket
// (<home>/qorda.sock) takes `qorda status`, `who`, `kick`, `log`, `stop` and `switch`.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/reload.h"
#include "app/server_home.h"
#include "control/control_server.h"
#include "control/target.h"
#include "engine/netmodule.h"
#include "engine/observer.h"
#include "log/log.h"
#include "platform/event_loop.h"
#include "store/settings.h"

namespace qorda::app {

namespace {

void serve_usage(std::FILE* out) {
  std::fprintf(out,
               "usage: qorda serve [--port N]\n\n"
               "Runs the FTP server without GUI until SIGTERM or SIGINT, which close every\n"
               "connection and exit 0. The activity log goes to standard output.\n"
               "SIGHUP reloads the drive table and the settings from the store (a new iport\n"
               "restarts the server and drops its clients; other changes keep them) and reopens\n"
               "the log file.\n"
               "While it runs, the control socket HOME/qorda.sock (mode 0600) answers\n"
               "'qorda status', 'who', 'kick', 'log', 'stop' and 'switch' from this user\n"
               "and root; 'qorda stop' ends the run as SIGTERM does, 'qorda stop\n"
               "--when-idle' once the last client has left (exit 0 either way).\n"
               "Exits 1 when the home holds no store (it is never created here: 'qorda init'\n"
               "makes one) and when the server has no listener (at start or after a new port).\n\n"
               "  --port N   listen on port N for this run instead of the configured iport\n"
               "             (also across SIGHUP reloads)\n");
}

// The server of this run as the control socket drives it.
class ServeTarget final : public control::ControlTarget {
 public:
  ServeTarget(platform::EventLoop& loop, platform::Registry& reg, const engine::EngineEnv& env,
              std::unique_ptr<engine::NetModule>& net)
      : loop_(loop), reg_(reg), env_(env), net_(net) {}

  bool is_on() const override { return net_ && net_->is_open(); }
  engine::EngineFigures figures() const override {
    if (is_on()) return net_->figures();
    engine::EngineFigures f;
    f.max_clients = static_cast<int>(store::settings().imaxc);
    return f;
  }
  std::vector<session::ConnectionView> connections() const override {
    return is_on() ? net_->connections() : std::vector<session::ConnectionView>{};
  }
  std::optional<session::ConnectionView> connection(uint32_t id) const override {
    return is_on() ? net_->connection(id) : std::nullopt;
  }
  bool disconnect(uint32_t id) override { return is_on() && net_->disconnect(id); }
  platform::Registry& store() override { return reg_; }
  bool switch_on(std::string* why) override {
    if (!is_on()) net_ = engine::NetModule::open(env_);
    if (net_->listening()) return true;
    *why = listener_failure(*net_, store::settings().iport);
    net_->close();
    return false;
  }
  void switch_off() override {
    if (net_) net_->close();
  }
  void stop(bool when_idle) override {
    if (when_idle && is_on() && net_->client_count() > 0) {
      // Nobody new gets in; the clients already here finish their work.
      stop_pending_ = true;
      net_->disable_listener();
      return;
    }
    loop_.stop();
  }
  bool stop_pending() const override { return stop_pending_; }
  void after_tick() override {
    if (stop_pending_ && (!is_on() || net_->client_count() == 0)) loop_.stop();
  }

 private:
  platform::EventLoop& loop_;
  platform::Registry& reg_;
  engine::EngineEnv env_;
  std::unique_ptr<engine::NetModule>& net_;
  bool stop_pending_ = false;
};

}  // namespace

int run_serve(const Context& ctx, const Args& args) {
  bool have_port = false;
  uint32_t port = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      serve_usage(stdout);
      return kExitOk;
    }
    std::string value;
    if (a == "--port") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "qorda serve: --port needs a number\n");
        return kExitUsage;
      }
      value = args[++i];
    } else if (a.rfind("--port=", 0) == 0) {
      value = a.substr(7);
    } else {
      std::fprintf(stderr, "qorda serve: unknown argument '%s'\n", a.c_str());
      serve_usage(stderr);
      return kExitUsage;
    }
    if (!parse_port(value, &port)) {
      std::fprintf(stderr, "qorda serve: '%s' is not a port number (0 to 65535)\n", value.c_str());
      return kExitUsage;
    }
    have_port = true;
  }

  const std::optional<uint32_t> port_override =
      have_port ? std::optional<uint32_t>(port) : std::nullopt;
  ServerHome home = prepare_server_home(ctx, port_override);
  if (!home.ok()) {
    std::fprintf(stderr, "qorda serve: %s\n", home.status.msg.c_str());
    return kExitFailure;
  }
  platform::Registry& reg = *home.store;
  store::ServerSettings& settings = store::settings();

  auto loop = platform::EventLoop::create();
  if (!loop.ok()) {
    std::fprintf(stderr, "qorda serve: can't create the event loop: %s\n", std::strerror(loop.err));
    return kExitFailure;
  }

  engine::ConsoleObserver console(stdout);
  auto installed = std::make_unique<engine::ObserverInstallation>(console);

  std::unique_ptr<engine::NetModule> net;
  const engine::EngineEnv env{loop->get(), &reg};
  bool lost_listener = false;
  // SIGPIPE is taken too: a console pipe whose reader went away must not end the server (the
  // write fails with EPIPE instead).
  platform::Status sig = (*loop)->watch_signals({SIGTERM, SIGINT, SIGHUP, SIGPIPE}, [&](int signo) {
    if (signo == SIGHUP) {
      if (!net || !net->is_open()) return;
      // The drives first: a log file named by a drive path then opens through the new table.
      reload_drive_table(reg, ctx.home);
      if (!reload_settings(reg, port_override, net, env).server_on) {
        lost_listener = true;
        (*loop)->stop();
      }
    } else if (signo == SIGTERM || signo == SIGINT) {
      (*loop)->stop();
    }
  });
  if (!sig.ok()) {
    std::fprintf(stderr, "qorda serve: can't watch signals: %s\n", std::strerror(sig.err));
    return kExitFailure;
  }

  // The control socket sees the start-up lines too, so it comes before the engine; the home's
  // lock is held, so a socket file nobody answers on is a crashed run's and is replaced. The
  // server works without it (the reason is told).
  ServeTarget target(**loop, reg, env, net);
  auto control = control::ControlServer::open(**loop, ctx.home, target);
  if (!control.ok()) {
    std::fprintf(stderr,
                 "qorda serve: no control socket (qorda status and the like won't work): %s\n",
                 control.msg.c_str());
  }
  auto end_run = [&] {
    control.value.reset();  // the observer installed after the console goes first
    installed.reset();
  };

  net = engine::NetModule::open(env);
  if (!net->listening()) {
    std::string why = listener_failure(*net, settings.iport);
    net->close();
    end_run();
    std::fprintf(stderr, "qorda serve: %s\n", why.c_str());
    return kExitFailure;
  }
  (*loop)->run();
  net->close();
  end_run();
  if (lost_listener) {
    // The reload closed the engine again; say why as at start-up.
    std::fprintf(stderr, "qorda serve: %s\n", listener_failure(*net, settings.iport).c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qorda::app
