#include "admin/server_control.h"

#include "store/settings.h"

namespace qorda::admin {

ServerControl::ServerControl(std::unique_ptr<platform::Registry> store,
                             std::unique_ptr<platform::EventLoop> loop, QObject* parent)
    : QObject(parent), store_(std::move(store)), loop_(std::move(loop)) {
  notifier_ = std::make_unique<QSocketNotifier>(loop_->epoll_fd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &ServerControl::dispatch);
}

ServerControl::~ServerControl() {
  notifier_.reset();
  switch_off();
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
