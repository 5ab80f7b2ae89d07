#include "app/server_home.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/volume.h"
#include "store/drives.h"
#include "store/settings.h"

namespace qorda::app {

namespace {

std::string reason(const platform::Status& st) {
  return st.msg.empty() ? std::strerror(st.err) : st.msg;
}

ServerHome refuse(ServerHome home, HomeStep step, int err, std::string text) {
  home.failed = step;
  home.status = platform::Status::error(err, std::move(text));
  return home;
}

}  // namespace

bool parse_port(const std::string& text, uint32_t* port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 65535) return false;
  *port = v;
  return true;
}

ServerHome prepare_server_home(const Context& ctx, std::optional<uint32_t> port) {
  ServerHome home;
  auto reg = open_store(ctx);
  if (!reg.ok() && reg.err == ENOENT) {
    return refuse(std::move(home), HomeStep::Store, reg.err, reg.msg);
  }
  if (!reg.ok()) {
    return refuse(std::move(home), HomeStep::Store, reg.err,
                  "can't open the store " + store_path(ctx) + ": " + reason(reg.status()));
  }
  home.store = std::move(reg.value);
  // One server per home: a second one would share the store and the port setting.
  auto lock = platform::InstanceLock::acquire_home(ctx.home);
  if (!lock.ok()) return refuse(std::move(home), HomeStep::Lock, lock.err, reason(lock.status()));
  home.lock = std::move(lock.value);
  if (platform::Status st = store::create_key_tree(*home.store); !st.ok()) {
    return refuse(std::move(home), HomeStep::KeyTree, st.err,
                  "can't create the key tree: " + reason(st));
  }
  store::ServerSettings& settings = store::settings();
  settings.load(*home.store);
  if (port) settings.iport = *port;
  if (platform::Status st = store::load_drive_table(*home.store, ctx.home, platform::drive_table());
      !st.ok()) {
    return refuse(std::move(home), HomeStep::DriveTable, st.err,
                  "can't load the drive table: " + reason(st));
  }

  store::StartupInfo& start = store::startup();
  start.start_time = static_cast<int64_t>(platform::clock().now());
  start.start_tick = platform::clock().tick_ms();
  if (char d = platform::drive_table().startup_drive(); d != 0) start.startup_drive = d;
  return home;
}

std::string listener_failure(const engine::NetModule& net, uint32_t port) {
  if (port == 0) return "the port is 0, so no listener was opened (set iport or use --port)";
  const int err = net.listen_error();
  char buf[512];
  if (err == 0) {
    return "no listener: the local IP configuration could not be read (the host needs an IPv4 "
           "address)";
  } else if (err == EADDRINUSE) {
    std::snprintf(buf, sizeof buf,
                  "port %u is already in use: stop the program that listens there (ss -ltnp "
                  "shows it), or choose another port with 'qorda set iport N' or --port N",
                  port);
  } else if (err == EACCES || err == EPERM) {
    std::snprintf(buf, sizeof buf,
                  "no permission to listen on port %u: ports below 1024 need root or "
                  "CAP_NET_BIND_SERVICE (the systemd unit grants it; for a test run: sudo "
                  "setcap cap_net_bind_service=+ep /path/to/qorda), or choose a port of 1024 "
                  "or more with 'qorda set iport N' or --port N",
                  port);
  } else {
    std::snprintf(buf, sizeof buf, "can't listen on port %u: %s", port, std::strerror(err));
  }
  return buf;
}

}  // namespace qorda::app
