#include "engine/netmodule.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "log/client_list.h"
#include "log/descriptors.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "session/csock.h"
#include "session/data_link.h"
#include "store/keys.h"
#include "store/settings.h"
#include "transfer/dsock.h"

namespace qorda::engine {

namespace {

using platform::Message;
using platform::MsgKind;
using session::csock_c;

constexpr const char* kAuthor = "the qorda developers";
constexpr unsigned kTickPeriodMs = 250;
constexpr uint32_t kLookupGraceMs = 60000;
// listen() clamps the backlog to the system's maximum (SOMAXCONN, net.core.somaxconn), so this
// asks for the largest queue the system allows: a burst of clients must not lose its SYNs.
constexpr int kListenBacklog = 65535;

NetModule* g_current = nullptr;
bool g_first_open = true;
uint32_t g_now = 0;

void elog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void elog(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log::logger().vlog(log::kEngine, 0, fmt, ap);
  va_end(ap);
}

}  // namespace

uint32_t now() {
  return g_now;
}
void set_now(uint32_t tick) {
  g_now = tick;
}

double transfer_rate_kbps(uint64_t moved_bytes, uint32_t elapsed_ms) {
  if (elapsed_ms < 55) elapsed_ms = 27;
  return (static_cast<double>(moved_bytes) / 1024.0) / (elapsed_ms * 0.001);
}

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
  data_.clear();
  log::client_list().clear();
  loop().set_handler([this](const Message& m) { nproc(m); });
  loop().start_timer(kTickPeriodMs);
  g_current = this;
  open_ = true;
  set_now(platform::clock().tick_ms());
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
    while (csock_c* s = sessions_.head(b)) {
      // A session already closing has said its farewell; it is only freed.
      if (s->state != session::Closing) s->close(session::CloseReason::ServerShutdown);
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
  const std::string path = local_log_path(s.szlogf);
  if (!log::logger().reopen_file().ok() && (path.empty() || !log::logger().open_file(path).ok())) {
    elog("error: can't open log file \"%s\".", log::escape_for_log(s.szlogf).c_str());
  }
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

void NetModule::add_session(csock_c* s) {
  sessions_.add(s);
  ++client_count_;
  refresh_tray();
}

void NetModule::remove_session(csock_c* s) {
  if (!sessions_.remove(s)) return;
  --client_count_;
  refresh_tray();
  log::client_list().remove(static_cast<uint32_t>(s->sock));
  observer().client_line_removed(static_cast<uint32_t>(s->sock));
}

csock_c* NetModule::find_session(int sock) const {
  return sessions_.find(sock);
}

csock_c* NetModule::find_session_by_lookup(uint32_t handle) const {
  if (handle == 0) return nullptr;
  for (int b = 0; b < kBuckets; ++b) {
    for (csock_c* s = sessions_.head(b); s != nullptr; s = s->next) {
      if (s->lookup_handle == handle) return s;
    }
  }
  return nullptr;
}

void NetModule::free_session(csock_c* s) {
  delete s;
}

void NetModule::nproc(const Message& m) {
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
  }
}

void NetModule::on_control(const Message& m) {
  csock_c* s = sessions_.find(m.handle);
  if (s == nullptr) return;
  switch (m.event) {
    case platform::FD_READ:
      s->receive();
      // A client that pipelined commands and closed is finished once its last line has run.
      if (s->peer_gone() && !s->holds_input()) on_peer_closed(s);
      break;
    case platform::FD_WRITE:
      s->writable_event();
      break;
    case platform::FD_CLOSE:
      if (s->holds_input()) {
        s->note_peer_gone();  // the lines it sent before closing are dispatched first
        break;
      }
      on_peer_closed(s);
      break;
    default:
      break;
  }
}

void NetModule::on_peer_closed(csock_c* s) {
  if (s->state != session::Closing) {
    if (s->examined) {
      observer().examine_caption(static_cast<uint32_t>(s->sock),
                                 "examining client (disconnected!)");
    }
    s->log(log::kSecurity, "Disconnected. (client close)");
    s->state = session::Closing;
    if (s->lookup_handle != 0) s->cancel_lookup();
  }
  if (s->lookup_handle != 0) return;  // the answer or the tick frees it
  s->delete_mark = true;
  free_session(s);
}

void NetModule::on_lookup(const Message& m) {
  csock_c* s = find_session_by_lookup(static_cast<uint32_t>(m.handle));
  if (s == nullptr) return;
  if (s->state == session::Closing) {
    s->delete_mark = true;
    s->lookup_handle = 0;
    return;
  }
  s->lookup_answered(m.error, m.host);
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
  auto* s = new csock_c(*this, std::move(*accepted), peer);  // owned by the session table
  s->start();
}

void NetModule::on_data(const Message& m) {
  transfer::dsock_c* d = data_.find(m.handle);
  if (d == nullptr) return;  // a data connection that is gone
  transfer::data_event(d, m.event, m.error);
}

void NetModule::timer_tick() {
  if (!open_) return;
  throughput_ = 0;
  set_now(platform::clock().tick_ms());
  transfer::note_deliveries(data_);
  const uint64_t idle_limit = uint64_t{store::settings().imaxt} * 1000;
  login_throttle_.prune(now());
  for (int b = 0; b < kBuckets; ++b) {
    csock_c* next = nullptr;
    for (csock_c* s = sessions_.head(b); s != nullptr; s = next) {
      next = s->next;
      const uint32_t idle = now() - s->last_activity;
      if (s->state != session::Closing && idle > idle_limit && s->lookup_handle == 0) {
        s->close(session::CloseReason::IdleTimeout);
      }
      s->resume_if_due(now());
      throughput_ += session::data_throughput(*s);
      if (s->delete_mark && (s->lookup_handle == 0 || idle > kLookupGraceMs)) free_session(s);
    }
  }
}

}  // namespace qorda::engine
