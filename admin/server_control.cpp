#include "admin/server_control.h"

#include "app/server_home.h"
#include "store/settings.h"

namespace qorda::admin {

// The window's server for the control socket: the same calls the widgets make.
class ServerControl::Target final : public control::ControlTarget {
 public:
  explicit Target(ServerControl& c) : c_(c) {}
  bool is_on() const override { return c_.is_on(); }
  engine::EngineFigures figures() const override { return c_.figures(); }
  std::vector<session::ConnectionView> connections() const override { return c_.connections(); }
  std::optional<session::ConnectionView> connection(uint32_t id) const override {
    return c_.connection(id);
  }
  bool disconnect(uint32_t id) override { return c_.disconnect(id); }
  platform::Registry& store() override { return c_.store(); }
  bool switch_on(std::string* why) override {
    if (c_.switch_on()) return true;
    if (c_.net_) *why = app::listener_failure(*c_.net_, store::settings().iport);
    return false;
  }
  void switch_off() override { c_.switch_off(); }
  void stop(bool when_idle) override { Q_EMIT c_.stopRequested(when_idle); }
  bool stop_pending() const override { return c_.stop_pending_ && c_.stop_pending_(); }

 private:
  ServerControl& c_;
};

ServerControl::ServerControl(std::unique_ptr<platform::Registry> store,
                             std::unique_ptr<platform::EventLoop> loop, QObject* parent)
    : QObject(parent),
      store_(std::move(store)),
      loop_(std::move(loop)),
      target_(std::make_unique<Target>(*this)) {
  notifier_ = std::make_unique<QSocketNotifier>(loop_->epoll_fd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &ServerControl::dispatch);
}

ServerControl::~ServerControl() {
  notifier_.reset();
  switch_off();
  // Followers see the engine's last lines, then the end.
  control_server_.reset();
}

control::ControlTarget& ServerControl::target() {
  return *target_;
}

bool ServerControl::serve_control_socket(const std::string& home, std::string* error) {
  if (control_server_) return true;
  auto opened = control::ControlServer::open(*loop_, home, *target_);
  if (!opened.ok()) {
    *error = opened.msg;
    return false;
  }
  control_server_ = std::move(opened.value);
  return true;
}

void ServerControl::dispatch() {
  loop_->run_once(0);
}

bool ServerControl::switch_on() {
  if (!is_on()) net_ = engine::NetModule::open({loop_.get(), store_.get()});
  if (!net_->listening()) {
    net_->close();
    return false;
  }
  return true;
}

void ServerControl::switch_off() {
  if (net_) net_->close();
}

void ServerControl::close_listener() {
  if (is_on()) net_->disable_listener();
}

engine::ApplyOutcome ServerControl::apply_settings(store::ServerSettings fresh, bool reopen) {
  if (!reopen && is_on() && fresh.iport != store::settings().iport) switch_off();
  return engine::apply_settings(std::move(fresh), net_, {loop_.get(), store_.get()}, false);
}

engine::EngineFigures ServerControl::figures() const {
  if (is_on()) return net_->figures();
  engine::EngineFigures f;
  f.max_clients = static_cast<int>(store::settings().imaxc);
  return f;
}

std::vector<session::ConnectionView> ServerControl::connections() const {
  return is_on() ? net_->connections() : std::vector<session::ConnectionView>{};
}

std::optional<session::ConnectionView> ServerControl::connection(uint32_t id) const {
  return is_on() ? net_->connection(id) : std::nullopt;
}

bool ServerControl::disconnect(uint32_t id) {
  return is_on() && net_->disconnect(id);
}

bool ServerControl::set_examined(uint32_t id, bool on) {
  return is_on() && net_->set_examined(id, on);
}

}  // namespace qorda::admin
