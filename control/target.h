// What the control channel (and the window) act on: the running server as its owner sees it.
// `qorda serve` and the administration window each implement it over their engine, so a
// command on the control socket and a click in the window go through the same calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/netmodule.h"
#include "platform/registry.h"
#include "session/session.h"

namespace qorda::control {

class ControlTarget {
 public:
  virtual ~ControlTarget() = default;

  // The server switch: on means the engine is open.
  virtual bool is_on() const = 0;
  // The quick-info figures (listening, port, clients, maximum, combined rate).
  virtual engine::EngineFigures figures() const = 0;
  virtual std::vector<session::ConnectionView> connections() const = 0;
  virtual std::optional<session::ConnectionView> connection(uint32_t id) const = 0;
  // The administrator's disconnect; false when there is no such connection or it is closing.
  virtual bool disconnect(uint32_t id) = 0;
  // The store the accounts live in (disable and ban write there).
  virtual platform::Registry& store() = 0;

  // Switches the server on; false, with the reason in `why`, when it could not listen (it is
  // off again then).
  virtual bool switch_on(std::string* why) = 0;
  virtual void switch_off() = 0;
  // Ends the server: now (every client gets its 421), or once the last client has left (the
  // listener closes at once, connected clients finish their work).
  virtual void stop(bool when_idle) = 0;
  // A stop once idle is under way.
  virtual bool stop_pending() const = 0;
  // Called after every engine tick (from the observer's after_tick), where a stop once idle
  // can see that the last client has gone.
  virtual void after_tick() {}
};

}  // namespace qorda::control
