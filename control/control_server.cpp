#include "control/control_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "control/disconnect_rules.h"
#include "control/limits.h"
#include "log/limits.h"
#include "platform/fileio.h"
#include "platform/process_times.h"

namespace qorda::control {

namespace {

using platform::FD_ACCEPT;
using platform::FD_CLOSE;
using platform::FD_READ;
using platform::FD_WRITE;
using platform::MsgKind;

const char* ban_word(vfs::BanOutcome o) {
  switch (o) {
    case vfs::BanOutcome::NotRequested:
      return "not-requested";
    case vfs::BanOutcome::UnknownUser:
      return "unknown-user";
    case vfs::BanOutcome::Banned:
      return "banned";
    case vfs::BanOutcome::AlreadyDenied:
      return "already-denied";
    case vfs::BanOutcome::NoMatchingEntry:
      return "no-matching-entry";
  }
  return "not-requested";
}

std::string exit_event() {
  return JsonObject().add("event", "exit").add("message", "the server has stopped").str();
}

}  // namespace

platform::Result<std::unique_ptr<ControlServer>> ControlServer::open(platform::EventLoop& loop,
                                                                     const std::string& home,
                                                                     ControlTarget& target) {
  const std::string path = home + "/" + kSocketName;
  auto probe = platform::probe_local_socket(path);
  if (!probe.ok()) {
    return platform::Status::error(probe.err,
                                   "can't look at " + path + ": " + std::strerror(probe.err));
  }
  // SECURITY: only a socket file that nobody answers on is replaced: a file of another kind
  // (a symbolic link planted in the home among them) is never removed or followed, and a live
  // socket belongs to a process this one must not cut off.
  if (*probe == platform::LocalProbe::NotASocket) {
    return platform::Status::error(EEXIST, path + " exists and is not a socket; remove it");
  }
  if (*probe == platform::LocalProbe::Live) {
    return platform::Status::error(EADDRINUSE, "another process answers on " + path);
  }
  std::unique_ptr<ControlServer> s(new ControlServer(loop, path, target));
  auto sock = platform::listen_local(&loop, path, kBacklog, &s->file_id_);
  if (!sock.ok()) {
    return platform::Status::error(
        sock.err, "can't make the control socket " + path + ": " + std::strerror(sock.err));
  }
  s->listener_ = std::move(*sock);
  if (platform::Status st = s->listener_.select(MsgKind::Local, FD_ACCEPT); !st.ok()) {
    return platform::Status::error(
        st.err, "can't watch the control socket: " + std::string(std::strerror(st.err)));
  }
  ControlServer* self = s.get();
  loop.set_local_handler([self](const platform::Message& m) { self->on_message(m); });
  return s;
}

ControlServer::ControlServer(platform::EventLoop& loop, std::string path, ControlTarget& target)
    : loop_(loop),
      path_(std::move(path)),
      target_(target),
      tee_(*this, engine::installed_observer()),
      installed_(std::make_unique<engine::ObserverInstallation>(tee_)) {}

ControlServer::~ControlServer() {
  loop_.set_local_handler({});
  installed_.reset();
  for (auto& [fd, c] : clients_) {
    if (c->phase == Phase::Follow || c->phase == Phase::AwaitExit) {
      c->out += exit_event();
      c->out += '\n';
    }
    // One last try; what the socket does not take now is lost with the process.
    if (!c->out.empty()) (void)c->sock.send(c->out.data(), c->out.size());
  }
  clients_.clear();
  if (listener_.valid()) {
    listener_.close();
    platform::remove_local_socket(path_, file_id_);
  }
}

void ControlServer::Tee::screen_line(std::string_view line) {
  inner_.screen_line(line);
  server_.logged(line);
}

void ControlServer::Tee::after_tick() {
  inner_.after_tick();
  server_.last_usage_ = server_.meter_.take(platform::read_process_times(), ms_since_start());
  server_.target_.after_tick();
}

int ControlServer::cpu_usage() {
  // While the engine ticks, the usage over the last tick; otherwise since the last reading.
  if (target_.is_on() && last_usage_ >= 0) return last_usage_;
  last_usage_ = meter_.take(platform::read_process_times(), ms_since_start());
  return last_usage_;
}

void ControlServer::on_message(const platform::Message& m) {
  if (m.handle == listener_.fd()) {
    if (m.event == FD_ACCEPT) accept_one();
    return;
  }
  auto it = clients_.find(m.handle);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  if (m.event == FD_READ) {
    on_read(c);
  } else if (m.event == FD_WRITE) {
    flush(c);
  } else if (m.event == FD_CLOSE) {
    drop(m.handle);
  }
}

void ControlServer::accept_one() {
  auto accepted = listener_.accept(nullptr);
  if (!accepted.ok()) return;  // EAGAIN, or out of descriptors: the loop offers it again
  auto c = std::make_unique<Client>();
  c->sock = std::move(*accepted);
  const int fd = c->sock.fd();
  // SECURITY: the file's mode already keeps other users out; the peer's credentials are checked
  // as well, so a mode changed by hand, or a descriptor passed on, gives nobody else control.
  const auto cred = platform::peer_credentials(c->sock);
  const uint32_t own = platform::effective_uid();
  std::string refusal;
  if (!cred.ok()) {
    refusal = error_answer("refused",
                           "can't tell who connected: " + std::string(std::strerror(cred.err)));
  } else if (cred->uid != own && cred->uid != 0) {
    refusal = error_answer("refused", "uid " + std::to_string(cred->uid) +
                                          " may not control this server (only uid " +
                                          std::to_string(own) + " and root may)");
  } else if (clients_.size() >= kMaxClients && !evict_silent()) {
    refusal = error_answer("busy", "too many control connections (" + std::to_string(kMaxClients) +
                                       "); try again later");
  }
  if (!refusal.empty()) {
    refusal += '\n';
    (void)c->sock.send(refusal.data(), refusal.size());
    return;  // closed here
  }
  if (!c->sock.select(MsgKind::Local, FD_READ | FD_WRITE | FD_CLOSE).ok()) return;
  c->serial = ++accepted_;
  clients_.emplace(fd, std::move(c));
}

bool ControlServer::evict_silent() {
  Client* oldest = nullptr;
  for (const auto& [fd, c] : clients_) {
    // Still sending nothing, or still not taking an answer too big for the socket's buffer.
    const bool idle = c->phase == Phase::Request || c->phase == Phase::Answer;
    if (idle && (oldest == nullptr || c->serial < oldest->serial)) {
      oldest = c.get();
    }
  }
  if (oldest == nullptr) return false;
  // SECURITY: connections that never send a request, or never read their answer, would
  // otherwise hold every place for good; the one that came first makes way. Its error line is sent
  // at once (nothing else is queued for it), so the place is free now.
  const int fd = oldest->sock.fd();
  if (oldest->phase == Phase::Request) {
    fail(*oldest, "dropped", "no request came, and another control connection needed the place");
  }
  if (clients_.count(fd) != 0) drop(fd);
  return true;
}

void ControlServer::on_read(Client& c) {
  char buf[kReadChunkBytes];
  const platform::IoResult r = c.sock.recv(buf, sizeof buf);
  if (r.would_block()) return;
  if (!r.ok() || r.n == 0) {
    drop(c.sock.fd());
    return;
  }
  // Once the request is in, what else arrives is read and dropped, so the end of the
  // connection is still seen.
  if (c.phase != Phase::Request) return;
  const std::string_view got(buf, r.n);
  const size_t nl = got.find('\n');
  const size_t take = nl == std::string_view::npos ? got.size() : nl;
  if (c.in.size() + take > kMaxRequestBytes) {
    fail(c, "bad-request",
         "the request line is longer than " + std::to_string(kMaxRequestBytes) + " bytes");
    return;
  }
  c.in.append(got.substr(0, take));
  if (nl == std::string_view::npos) return;
  const std::string line = std::move(c.in);
  c.in.clear();
  handle(c, line);
}

void ControlServer::fail(Client& c, std::string_view code, std::string_view message) {
  c.phase = Phase::Answer;
  c.out.clear();
  queue(c, error_answer(code, message));
}

void ControlServer::handle(Client& c, const std::string& line) {
  const ParsedRequest parsed = parse_request(line);
  if (!parsed.request) {
    fail(c, "bad-request", parsed.error);
    return;
  }
  const Request& r = *parsed.request;
  c.phase = Phase::Answer;
  switch (r.verb) {
    case Verb::Status:
      queue(c, status_answer());
      break;
    case Verb::Who:
      queue(c, who_answer());
      break;
    case Verb::Kick:
      queue(c, kick_answer(r));
      break;
    case Verb::Switch:
      queue(c, switch_answer(r));
      break;
    case Verb::Log: {
      const auto& lines = screen_log_.lines();
      const size_t n = std::min(r.lines, lines.size());
      if (r.follow) c.phase = Phase::Follow;
      for (size_t i = lines.size() - n; i < lines.size(); ++i) {
        c.out += JsonObject().add("line", lines[i]).str();
        c.out += '\n';
      }
      queue(c, JsonObject().add("ok", true).add("lines", n).add("following", r.follow).str());
      break;
    }
    case Verb::Stop: {
      const int clients = target_.figures().clients;
      const bool idle_wait = r.when_idle && target_.is_on() && clients > 0;
      if (!idle_wait) c.phase = Phase::AwaitExit;
      queue(c, JsonObject()
                   .add("ok", true)
                   .add("stopping", idle_wait ? "when-idle" : "now")
                   .add("clients", clients)
                   .str());
      // The answer is out (or queued) before the target acts: a stop now ends the loop.
      target_.stop(idle_wait);
      break;
    }
  }
}

std::string ControlServer::status_answer() {
  const engine::EngineFigures f = target_.figures();
  const int usage = cpu_usage();
  JsonObject o;
  o.add("ok", true)
      .add("on", target_.is_on())
      .add("listening", f.listening)
      .add("port", static_cast<int>(f.port))
      .add("clients", f.clients)
      .add("max_clients", f.max_clients)
      .add_real("rate_kbps", f.throughput_kbps, 2);
  if (usage == kUsageUnknown) {
    o.add_null("cpu_percent");
  } else {
    o.add("cpu_percent", usage);
  }
  o.add("uptime_ms", ms_since_start()).add("stop_pending", target_.stop_pending());
  return o.str();
}

std::string ControlServer::who_answer() {
  std::string list = "[";
  for (const session::ConnectionView& v : target_.connections()) {
    if (list.size() > 1) list += ',';
    list += connection_json(v);
  }
  list += ']';
  return JsonObject().add("ok", true).add_raw("connections", list).str();
}

std::string ControlServer::kick_answer(const Request& r) {
  const std::optional<session::ConnectionView> view = target_.connection(r.id);
  const DisconnectChoice choice{r.disable, r.ban};
  const DisconnectResult d =
      disconnect_client(target_, r.id, [&choice](const std::array<uint8_t, 4>&) { return choice; });
  if (d.outcome == DisconnectOutcome::Nothing || !view) {
    return error_answer("unknown-id", "no connection " + id_text(r.id) +
                                          " (it has left, is leaving, or never was; see 'who')");
  }
  char address[16];
  std::snprintf(address, sizeof address, "%u.%u.%u.%u", view->address[0], view->address[1],
                view->address[2], view->address[3]);
  JsonObject o;
  o.add("ok", true)
      .add("id", r.id)
      .add("user", view->user)
      .add("address", std::string_view(address))
      .add("outcome", d.outcome == DisconnectOutcome::AtOnce ? "at-once" : "confirmed")
      .add("disable_requested", r.disable)
      .add("ban_requested", r.ban)
      .add("disabled", d.ban.disabled)
      .add("ban", ban_word(d.ban.outcome));
  if (!d.ban.status.ok()) {
    o.add("store_error", d.ban.status.msg.empty() ? std::string(std::strerror(d.ban.status.err))
                                                  : d.ban.status.msg);
  }
  return o.str();
}

std::string ControlServer::switch_answer(const Request& r) {
  if (target_.stop_pending()) {
    return error_answer("stopping",
                        "the server stops once the last client has left; 'qorda stop' ends it now");
  }
  if (r.on) {
    std::string why;
    if (!target_.is_on() && !target_.switch_on(&why)) {
      return error_answer("no-listener", why.empty() ? "the server could not listen" : why);
    }
  } else if (target_.is_on()) {
    target_.switch_off();
  }
  return JsonObject().add("ok", true).add("on", target_.is_on()).str();
}

void ControlServer::queue(Client& c, std::string_view line) {
  c.out.append(line);
  c.out += '\n';
  flush(c);
}

bool ControlServer::flush(Client& c) {
  while (!c.out.empty()) {
    const platform::IoResult r = c.sock.send(c.out.data(), c.out.size());
    if (r.would_block()) return true;  // FD_WRITE comes when it can take more
    if (!r.ok()) {
      drop(c.sock.fd());
      return false;
    }
    c.out.erase(0, r.n);
  }
  if (c.phase == Phase::Answer) {
    drop(c.sock.fd());
    return false;
  }
  return true;
}

void ControlServer::drop(int fd) {
  clients_.erase(fd);
}

void ControlServer::logged(std::string_view line) {
  screen_log_.screen_line(line);
  std::vector<int> followers;
  for (const auto& [fd, c] : clients_) {
    if (c->phase == Phase::Follow) followers.push_back(fd);
  }
  if (followers.empty()) return;  // the usual case: nothing to format per line
  const std::string json = JsonObject().add("line", line).str();
  for (int fd : followers) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) continue;
    Client& c = *it->second;
    if (c.out.size() + json.size() > kMaxFollowPendingBytes) {
      fail(c, "too-slow",
           "dropped: the log lines were not read (more than " +
               std::to_string(kMaxFollowPendingBytes) + " bytes waited)");
      continue;
    }
    queue(c, json);
  }
}

}  // namespace qorda::control
