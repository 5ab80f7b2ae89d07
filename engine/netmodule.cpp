#include "engine/netmodule.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "log/descriptors.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::engine {

namespace {

using platform::Message;
using platform::MsgKind;
using session::Session;

constexpr const char* kAuthor = "the qorda developers";
constexpr unsigned kTickPeriodMs = 250;
// listen() clamps the backlog to the system's maximum (SOMAXCONN, net.core.somaxconn), so this
// asks for the largest queue the system allows: a burst of clients must not lose its SYNs.
constexpr int kListenBacklog = 65535;

NetModule* g_current = nullptr;
bool g_first_open = true;

void elog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void elog(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log::logger().vlog(log::Level::Engine, 0, fmt, ap);
  va_end(ap);
}

}  // namespace

std::string local_log_path(const std::string& szlogf) {
  platform::Result<std::string> local = platform::map_setting_path(szlogf);
  return local.ok() ? *local : std::string();
}

bool open_log_file(const std::string& szlogf) {
  // Both lines name the file as the administrator configured it, not the local path it maps to.
  const std::string shown = log::escape_for_log(szlogf);
  const std::string path = local_log_path(szlogf);
  if (!path.empty() && log::logger().open_file(path).ok()) {
    elog("logging to file \"%s\".", shown.c_str());
    return true;
  }
  elog("error: can't open log file \"%s\".", shown.c_str());
  return false;
}

NetModule* NetModule::current() {
  return g_current;
}
void NetModule::set_first_open(bool on) {
  g_first_open = on;
}

std::unique_ptr<NetModule> NetModule::open(const EngineEnv& env) {
  std::unique_ptr<NetModule> m(new NetModule(env));
  m->do_open();
  return m;
}

NetModule::~NetModule() {
  close();
}

void NetModule::do_open() {
  store::ServerSettings& s = store::settings();
  sessions_.clear();
  data_routes_.clear();
  loop().set_handler([this](const Message& m) { dispatch_message(m); });
  loop().start_timer(kTickPeriodMs);
  g_current = this;
  open_ = true;
  now_ = platform::clock().tick_ms();
  log::logger().set_levels(static_cast<int>(s.ilogls), static_cast<int>(s.iloglf));

  if (g_first_open) elog("%s %s by %s", store::kProductName, store::kVersion, kAuthor);
  if (s.iloglf > 0) {
    open_log_file(s.szlogf);
  }
  if (g_first_open) elog("network opened, max. sockets: %d.", platform::max_sockets());

  local_name_ = platform::local_host_name();
  if (s.szhostname.empty() && s.boverride == 0) s.szhostname = local_name_;
  if (g_first_open) elog(" local name: '%s'.", local_name_.c_str());

  std::vector<uint32_t> addrs = platform::local_ipv4_addresses(local_name_);
  if (addrs.empty()) {
    elog("error: can't access local ip configuration.");
    observer().switch_position(false);
    refresh_tray();
    return;
  }
  if (g_first_open) {
    for (size_t i = 0; i < addrs.size(); ++i) {
      platform::SockAddr a{addrs[i], 0};
      elog(" local ip(%d): %d.%d.%d.%d", static_cast<int>(i), a.byte(0), a.byte(1), a.byte(2),
           a.byte(3));
    }
  }

  enable_listener(s.iport);
  if (!log::logger().file_open()) elog("logging to screen only.");
  // A certificate that cannot be loaded is reported now, not first at a client's AUTH.
  std::string tls_unavailable;
  if (s.btls != 0) tls_contexts_.get(s, &tls_unavailable);
  g_first_open = false;
  observer().switch_position(true);
  refresh_tray();
}

void NetModule::enable_listener(uint32_t port) {
  listener_ = ListenSocket{};
  listen_error_ = 0;
  if (port == 0) return;
  listener_.addr = platform::SockAddr::any(static_cast<uint16_t>(port));
  auto sock = platform::Socket::tcp(&loop());
  bool ok = false;
  if (port > 65535 || !sock.ok()) {
    listen_error_ = port > 65535 ? EINVAL : sock.err;
    elog("error: can't bind to port %d.", static_cast<int>(port));
  } else {
    sock->set_reuse_addr(true);
    if (platform::Status st = sock->bind(listener_.addr); !st.ok()) {
      listen_error_ = st.err;
      elog("error: can't bind to port %d.", static_cast<int>(port));
    } else {
      sock->select(MsgKind::Listen, platform::FD_ACCEPT);
      if (platform::Status ls = sock->listen(kListenBacklog); ls.ok()) {
        elog("%s enabled on port %d.", store::kShortName, static_cast<int>(port));
        ok = true;
      } else {
        listen_error_ = ls.err;
        elog("error: can't listen on port %d.", static_cast<int>(port));
      }
    }
  }
  if (ok) {
    listener_.sock = std::move(*sock);
  } else if (sock.ok()) {
    sock->select(MsgKind::Listen, 0);
    sock->shutdown_send();
    sock->close();
  }
}

void NetModule::disable_listener() {
  if (!listener_.sock.valid()) return;
  listener_.sock.select(MsgKind::Listen, 0);
  listener_.sock.shutdown_send();
  listener_.sock.close();
  elog("%s disabled.", store::kShortName);
}

void NetModule::close() {
  if (!open_) return;
  loop().stop_timer();
  timer_tick();  // frees the sessions already marked
  observer().switch_position(false);
  disable_listener();
  for (int b = 0; b < kBuckets; ++b) {
    while (session::Session* s = sessions_.head(b)) {
      s->shut_down();
      free_session(s);
    }
  }
  log::logger().close_file();
  // Nothing queued after this point may reach a closed engine.
  loop().set_handler([](const Message&) {});
  if (g_current == this) g_current = nullptr;
  open_ = false;
  refresh_tray();
}

void NetModule::reopen_log() {
  const store::ServerSettings& s = store::settings();
  if (!open_ || s.iloglf == 0) return;
  // Rotation reopens quietly; only a file that cannot be had back is told, as any open is.
  if (!log::logger().reopen_file().ok()) open_log_file(s.szlogf);
}

std::string NetModule::tray_tip() const {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s %s (%d user%s)", store::kProductName, store::kVersion,
                client_count_, client_count_ == 1 ? "" : "s");
  return buf;
}

void NetModule::refresh_tray() {
  observer().client_count(client_count_, tray_tip());
}

std::string NetModule::host_name() const {
  const store::ServerSettings& s = store::settings();
  return s.boverride != 0 ? s.szhostname : local_name_;
}

const store::ServerSettings& NetModule::settings() const {
  return store::settings();
}

Observer& NetModule::observer() {
  return installed_observer();
}

void NetModule::for_each_session(const std::function<void(const session::Session&)>& visit) const {
  for (int b = 0; b < kBuckets; ++b) {
    for (const session::Session* s = sessions_.head(b); s != nullptr; s = s->next) visit(*s);
  }
}

void NetModule::route_data(int fd, session::Session& owner) {
  data_routes_[fd] = &owner;
}

void NetModule::drop_data_route(int fd) {
  data_routes_.erase(fd);
}

EngineFigures NetModule::figures() const {
  return {.listening = listening(),
          .port = listen_port(),
          .clients = client_count_,
          .max_clients = static_cast<int>(store::settings().imaxc),
          .throughput_kbps = throughput_};
}

std::vector<session::ConnectionView> NetModule::connections() const {
  std::vector<session::ConnectionView> out;
  for_each_session([this, &out](const session::Session& s) { out.push_back(s.view(now_)); });
  return out;
}

std::optional<session::ConnectionView> NetModule::connection(uint32_t id) const {
  const session::Session* s = sessions_.find(static_cast<int>(id));
  if (s == nullptr) return std::nullopt;
  return s->view(now_);
}

bool NetModule::disconnect(uint32_t id) {
  session::Session* s = sessions_.find(static_cast<int>(id));
  if (s == nullptr || s->closing()) return false;
  s->disconnect();
  return true;
}

bool NetModule::set_examined(uint32_t id, bool on) {
  session::Session* s = sessions_.find(static_cast<int>(id));
  if (s == nullptr) return false;
  s->set_examined(on);
  return true;
}

void NetModule::add_session(session::Session* s) {
  sessions_.add(s);
  ++client_count_;
  refresh_tray();
}

session::Session* NetModule::find_session_by_lookup(uint32_t handle) const {
  if (handle == 0) return nullptr;
  for (int b = 0; b < kBuckets; ++b) {
    for (session::Session* s = sessions_.head(b); s != nullptr; s = s->next) {
      if (s->lookup_handle() == handle) return s;
    }
  }
  return nullptr;
}

void NetModule::free_session(session::Session* s) {
  const auto id = static_cast<uint32_t>(s->sock);
  if (sessions_.remove(s)) {
    --client_count_;
    refresh_tray();
    observer().client_line_removed(id);
  }
  delete s;
}

void NetModule::dispatch_message(const Message& m) {
  switch (m.kind) {
    case MsgKind::Timer:
      timer_tick();
      break;
    case MsgKind::Control:
      on_control(m);
      break;
    case MsgKind::Lookup:
      on_lookup(m);
      break;
    case MsgKind::Listen:
      on_listen(m);
      break;
    case MsgKind::Data:
      on_data(m);
      break;
    case MsgKind::Local:  // the loop hands these to its local handler
      break;
  }
}

void NetModule::on_control(const Message& m) {
  session::Session* s = sessions_.find(m.handle);
  if (s != nullptr && s->control_event(m.event)) free_session(s);
}

void NetModule::on_lookup(const Message& m) {
  session::Session* s = find_session_by_lookup(static_cast<uint32_t>(m.handle));
  if (s != nullptr) s->lookup_answered(m.error, m.host);
}

void NetModule::on_listen(const Message& m) {
  if (m.error != 0 || !listener_.sock.valid()) return;
  platform::SockAddr peer;
  auto accepted = listener_.sock.accept(&peer);
  // A failed accept (EMFILE among others) is skipped; the loop offers the pending connection
  // again once descriptors are free.
  if (!accepted.ok()) {
    log::report_open_failure(accepted.err, "accept");
    return;
  }
  // Every reply is written whole in one send, so there is nothing for Nagle's algorithm to
  // gather; with it, a reply that follows another without a command in between ("150" then
  // "226") waited for the client's delayed acknowledgement, some 40 ms per transfer. Should
  // the option fail, replies are only slower.
  (void)accepted->set_nodelay(true);
  auto* s = new session::Session(*this, std::move(*accepted), peer);  // freed by free_session
  add_session(s);
  s->start();
}

void NetModule::on_data(const Message& m) {
  auto it = data_routes_.find(m.handle);
  if (it == data_routes_.end()) return;  // a data connection that is gone
  it->second->data_event(m.event, m.error);
}

void NetModule::timer_tick() {
  if (!open_) return;
  throughput_ = 0;
  now_ = platform::clock().tick_ms();
  login_throttle_.prune(now_);
  for (int b = 0; b < kBuckets; ++b) {
    session::Session* next = nullptr;
    for (session::Session* s = sessions_.head(b); s != nullptr; s = next) {
      next = s->next;
      const bool finished = s->tick(now_);
      throughput_ += s->transfer_rate();
      if (finished) free_session(s);
    }
  }
  observer().after_tick();
}

}  // namespace qorda::engine
