// What a session may ask of the engine that runs it: the loop, the store, the clock, the
// settings, the host name, the other sessions (for the client limits), the routing of its data
// socket's events and the observer. The engine implements it; sessions see nothing else of the
// engine, and the engine reaches a session only through the session's own event entry points.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/observer.h"

namespace qorda::platform {
class EventLoop;
class Registry;
}  // namespace qorda::platform
namespace qorda::store {
struct ServerSettings;
}
namespace qorda::session {
class Session;
class LoginThrottle;
class TlsContextCache;
}  // namespace qorda::session

namespace qorda::engine {

class SessionHost {
 public:
  virtual platform::EventLoop& loop() = 0;
  // The store that user, template and link records are read from and counters written to.
  // Null only in tests that never log in.
  virtual platform::Registry* registry() = 0;
  // The engine clock: the tick count read at the start of every timer tick (and at open). All
  // session and transfer times are taken from it.
  virtual uint32_t now() const = 0;
  // The server's settings as they stand (replaced as a whole when the administrator saves).
  virtual const store::ServerSettings& settings() const = 0;
  // The host name shown to clients.
  virtual std::string host_name() const = 0;
  virtual int client_count() const = 0;
  // Calls `visit` for every session, the asking one included.
  virtual void for_each_session(
      const std::function<void(const session::Session&)>& visit) const = 0;
  // How fast each client address may have its passwords checked.
  virtual session::LoginThrottle& login_throttle() = 0;
  // Events of data socket `fd` go to `owner` (replacing any earlier route of that handle) until
  // the route is dropped; a session routes its data socket while it has one.
  virtual void route_data(int fd, session::Session& owner) = 0;
  virtual void drop_data_route(int fd) = 0;
  virtual Observer& observer() = 0;
  // The TLS context of AUTH TLS, loaded from the settings' certificate and key when first used.
  virtual session::TlsContextCache& tls_contexts() = 0;

 protected:
  ~SessionHost() = default;
};

}  // namespace qorda::engine
